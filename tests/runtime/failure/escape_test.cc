// The runtime's one escaper, in its two styles.
#include <gtest/gtest.h>

#include <string>

#include "runtime/failure/escape.h"

namespace {

std::string escaped(std::string_view text, Zef::EscapeStyle style = {}) {
  std::string out = "[";
  Zef::appendEscaped(out, text, style);
  return out;
}

TEST(Escape, AppendsToWhatIsThere) {
  EXPECT_EQ(escaped("plain text"), "[plain text");
  EXPECT_EQ(escaped(""), "[");
}

TEST(Escape, ThePlainStyleNamesOnlyTheNewline) {
  EXPECT_EQ(escaped("a\\b\nc\td\re\x01\x7f"), "[a\\\\b\\nc\\x09d\\x0de\\x01\\x7f");
  // Quotes are left alone, and bytes beyond ASCII pass as they are.
  EXPECT_EQ(escaped("'\"\xc3\xa9"), "['\"\xc3\xa9");
}

TEST(Escape, TheQuotedStyleEscapesItsQuoteAndNamesTabAndReturn) {
  Zef::EscapeStyle const single{.quote = '\'', .namedTabAndReturn = true};
  EXPECT_EQ(escaped("it's\t\r\n\\\x1f\"", single), "[it\\'s\\t\\r\\n\\\\\\x1f\"");
  Zef::EscapeStyle const dbl{.quote = '"'};
  EXPECT_EQ(escaped("say \"hi\"\t'", dbl), "[say \\\"hi\\\"\\x09'");
}

}  // namespace
