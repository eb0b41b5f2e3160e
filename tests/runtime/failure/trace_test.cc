// Trace handles, the coverage stream and trace records.
#include <gtest/gtest.h>

#include <sstream>

#include "runtime/failure/trace.h"

namespace {

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override { Zef::Trace::sinkIs(&sink); }
  void TearDown() override {
    Zef::Trace::sinkIs(nullptr);
    Zef::coverageStreamIs(nullptr);
  }
  std::ostringstream sink;
};

TEST_F(TraceTest, LevelsAreOffUntilTheProcessSwitchesThemOn) {
  Zef::TraceHandle handle("TraceTestFacility");
  EXPECT_FALSE(handle.enabled(9));
  Zef::Trace::levelIs("TraceTestFacility", 9, true);
  EXPECT_TRUE(handle.enabled(9));
  EXPECT_FALSE(handle.enabled(8));
  // A handle made later sees the same facility's levels.
  Zef::TraceHandle later("TraceTestFacility");
  EXPECT_TRUE(later.enabled(9));
  Zef::Trace::levelIs("TraceTestFacility", 9, false);
  EXPECT_FALSE(handle.enabled(9));
  EXPECT_FALSE(handle.enabled(-1));
  EXPECT_FALSE(handle.enabled(32));
}

TEST_F(TraceTest, FacilitiesAreIndependent) {
  Zef::TraceHandle a("TraceTestA"), b("TraceTestB");
  Zef::Trace::levelIs("TraceTestA", 3, true);
  EXPECT_TRUE(a.enabled(3));
  EXPECT_FALSE(b.enabled(3));
  EXPECT_EQ(a.text(), "TraceTestA");
}

TEST_F(TraceTest, RecordsGoToTheConfiguredSink) {
  Zef::formatAndWriteTraceString("Fac", "model.toml", 161, "doInitialize", "<unknown>", "hello", 9);
  EXPECT_EQ(sink.str(), "Fac L9 model.toml:161 doInitialize <unknown>: hello\n");
}

TEST_F(TraceTest, EscapingKeepsARecordOnOneLine) {
  EXPECT_EQ(Zef::escapedTraceString("plain text"), "plain text");
  EXPECT_EQ(Zef::escapedTraceString("a\nb\\c\x01"), "a\\nb\\\\c\\x01");
}

TEST_F(TraceTest, CoverageStreamIsAbsentUntilSet) {
  EXPECT_EQ(Zef::_coverageStream(), nullptr);
  std::ostringstream cov;
  Zef::coverageStreamIs(&cov);
  EXPECT_EQ(Zef::_coverageStream(), &cov);
}

}  // namespace
