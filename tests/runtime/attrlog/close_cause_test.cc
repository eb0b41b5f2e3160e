// Why a connection ended: the causes as error codes, and the causes a
// connection keeps whatever comes after.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "runtime/attrlog/close_cause.h"
#include "runtime/attrlog/connection.h"

namespace {

using Zef::NboAttrLog::CloseCause;
using Zef::NboAttrLog::Connection;

TEST(CloseCause, EveryCauseHasANameOfItsOwnThatItsErrorCodeSays) {
  std::set<std::string> names;
  for (int v = 0; v <= static_cast<int>(CloseCause::connectFailed); ++v) {
    auto const c = static_cast<CloseCause>(v);
    std::string const name = Zef::NboAttrLog::closeCauseName(c);
    EXPECT_NE(name, "unknown") << v;
    EXPECT_TRUE(names.insert(name).second) << name << " twice";
    std::error_code const ec = c;  // through is_error_code_enum
    EXPECT_EQ(ec.message(), name);
    EXPECT_EQ(&ec.category(), &Zef::NboAttrLog::closeCauseCategory());
    EXPECT_EQ(ec == c, true);
  }
  EXPECT_EQ(std::string(Zef::NboAttrLog::closeCauseName(static_cast<CloseCause>(999))), "unknown");
  EXPECT_STREQ(Zef::NboAttrLog::closeCauseName(CloseCause::endOfStream), "endOfStream");
}

TEST(CloseCause, OnlyStillOpenIsNoError) {
  EXPECT_FALSE(std::error_code(CloseCause::none));
  EXPECT_TRUE(std::error_code(CloseCause::closedHere));
  // Another category's 2 is not endOfStream.
  EXPECT_NE(std::error_code(CloseCause::endOfStream), std::error_code(2, std::generic_category()));
}

TEST(CloseCause, AConnectionKeepsTheFirstCauseAsItKeepsTheFirstReason) {
  Zef::Ptr<Connection> conn = Connection::ConnectionIs();
  EXPECT_EQ(conn->closeCause(), CloseCause::none);
  conn->closedIs("the test is over");
  EXPECT_EQ(conn->closeCause(), CloseCause::closedHere);
  conn->closedIs("end of stream", CloseCause::endOfStream);
  EXPECT_EQ(conn->closeCause(), CloseCause::closedHere);
  EXPECT_EQ(conn->closeReason(), "the test is over");
}

TEST(CloseCause, ASendBufferThatOverflowedIsOverloadWhateverEndsTheStreamAfter) {
  Zef::Ptr<Connection> conn = Connection::ConnectionIs(4096);
  std::vector<unsigned char> payload(512, 7);
  bool overflowed = false;
  for (int i = 0; i < 1000 && !overflowed; ++i) {
    try {
      conn->out()->nextHeaderIs({3, 258});
      conn->out()->writeBytes(payload.data(), payload.size());
    } catch (Zef::Exception const&) {
      overflowed = true;
    }
  }
  ASSERT_TRUE(overflowed);
  EXPECT_TRUE(conn->isClosed());
  EXPECT_EQ(conn->closeCause(), CloseCause::overloaded);
  conn->closedIs("end of stream", CloseCause::endOfStream);
  EXPECT_EQ(conn->closeCause(), CloseCause::overloaded);
  EXPECT_EQ(conn->closeReason(), "end of stream") << "the reason keeps its words";
}

}  // namespace
