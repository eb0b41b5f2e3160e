// Records that open with an extension section: a newer writer's member and
// child records, which this version reads for the ids it knows and skips
// where the section says, and refuses when the section claims more than the
// record holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "model/phy_bcm54980_dirs.h"
#include "model/phy_bcm54980_status.h"
#include "replication/replication_testing.h"

namespace {

using namespace Hardware::Phy;
using namespace phytest;
using Zef::Ptr;
using Zef::NboAttrLog::Connection;
using Zef::NboAttrLog::MemoryPair;
using Zef::NboAttrLog::MsgHeader;
using Zef::NboAttrLog::Out;

// A payload written field by field, big-endian, as the log writes.
class Bytes {
 public:
  Bytes& u16(unsigned v) { return num(v, 2); }
  Bytes& u32(std::uint32_t v) { return num(v, 4); }
  Bytes& u64(std::uint64_t v) { return num(v, 8); }
  Bytes& id(Zef::AttributeId a) { return u32(static_cast<std::uint32_t>(a)); }
  Bytes& str(std::string const& s) {
    u32(static_cast<std::uint32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& junk(std::size_t n) {
    b.insert(b.end(), n, 0xEE);
    return *this;
  }
  std::size_t size() const { return b.size(); }
  std::vector<unsigned char> b;

 private:
  Bytes& num(std::uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
    return *this;
  }
};

// The head of a section: L, M and the ids, padded with junk up to L.
Bytes section(std::size_t l, std::size_t m, std::initializer_list<Zef::AttributeId> ids) {
  Bytes s;
  s.u16(static_cast<unsigned>(l)).u16(static_cast<unsigned>(m));
  for (auto a : ids) s.id(a);
  if (s.size() < l) s.junk(l - s.size());
  return s;
}

class ExtensionSectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir->phyChipConfigIs("a");
    pair.a()->rootIs(dir);
    pair.pump();
    for (auto const& e : pair.b()->mounted()) {
      if (auto* d = dynamic_cast<PhyBcm54980ChipConfigDir*>(e.ptr())) copy = Ptr<PhyBcm54980ChipConfigDir>(d);
    }
    ASSERT_NE(copy, nullptr);
    ASSERT_EQ(namesOf(copy), (std::set<std::string>{"a"}));
  }

  Zef::EntityId dirEid() { return dir->zefNboAttrLogSa(Ptr<Out const>(pair.a()->out()))->entityId(); }
  // Hands the mount one record of `aid` on the directory.
  void send(Zef::AttributeId aid, Bytes const& payload) {
    auto out = Out::OutIs();
    out->nextHeaderIs(MsgHeader{dirEid(), aid});
    out << Zef::NboAttrLog::TransactToken{1};
    out->writeBytes(payload.b.data(), payload.size());
    out << Zef::NboAttrLog::TransactToken{3};
    pair.b()->bytesReceived(out->bytes());
  }
  Ptr<Connection> const& mount() { return pair.b(); }

  MemoryPair pair;
  Ptr<PhyBcm54980ChipConfigDir> dir = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
  Ptr<PhyBcm54980ChipConfigDir> copy;
};

TEST_F(ExtensionSectionTest, TheDirectorysOwnCollectionIdIsFoundInTheList) {
  // Ids of a newer version come first; 258 is the first one this one knows.
  Bytes r = section(16, 0, {900, 901, 258});
  r.u32(0xCAFE).str("x").u64(1001);
  send(144, r);
  EXPECT_EQ(mount()->framesRefused(), 0u) << mount()->lastRefusal();
  EXPECT_EQ(namesOf(copy), (std::set<std::string>{"a", "x"}));
  ASSERT_NE(copy->phyChipConfig("x"), nullptr);
  EXPECT_EQ(copy->phyChipConfig("x")->zefNboAttrLogSa(Ptr<Out const>(mount()->out()))->entityId(), 1001u)
      << "the member takes the id after the skipped part";
}

TEST_F(ExtensionSectionTest, TheReaderSkipsToLAfterItsIdAndToMAfterTheName) {
  // 258 first: the ids after it and the padding up to L are never read.
  Bytes r = section(20, 0, {258, -1, 0x7FFFFFFF});
  r.u32(7).str("y");
  // What a newer writer adds after the name ends at M.
  std::size_t m = r.size() + 9;
  r.b[2] = static_cast<unsigned char>(m >> 8);
  r.b[3] = static_cast<unsigned char>(m);
  r.junk(9).u64(1003);
  send(144, r);
  EXPECT_EQ(mount()->framesRefused(), 0u) << mount()->lastRefusal();
  EXPECT_EQ(namesOf(copy), (std::set<std::string>{"a", "y"}));
}

TEST_F(ExtensionSectionTest, AGoneMemberThroughASectionHasNoDroppedValueAndIgnoresM) {
  Bytes r = section(8, 40, {-258});
  r.str("a");
  send(-144, r);
  EXPECT_EQ(mount()->framesRefused(), 0u) << mount()->lastRefusal();
  EXPECT_TRUE(namesOf(copy).empty());
}

TEST_F(ExtensionSectionTest, ASectionForNoneOfTheDirectorysIdsIsSkippedWhole) {
  Bytes r = section(12, 0, {900, 259});
  r.u32(1).str("z").u64(1005);
  send(144, r);
  EXPECT_EQ(mount()->framesRefused(), 0u) << mount()->lastRefusal();
  EXPECT_EQ(namesOf(copy), (std::set<std::string>{"a"}));
  // The most negative id, which has no magnitude, names none of them either
  // (the undefined-behaviour sanitizer fails this where it is negated).
  Zef::AttributeId const lowestId = std::numeric_limits<Zef::AttributeId>::min();
  Bytes lowest = section(12, 0, {lowestId, 901});
  lowest.u32(1).str("w").u64(1006);
  send(144, lowest);
  EXPECT_EQ(mount()->framesRefused(), 0u) << mount()->lastRefusal();
  EXPECT_EQ(namesOf(copy), (std::set<std::string>{"a"}));
  // Nor does it as a record's own id.
  Bytes member;
  member.u32(1).str("v").u64(1007);
  send(lowestId, member);
  EXPECT_EQ(namesOf(copy), (std::set<std::string>{"a"}));
}

TEST_F(ExtensionSectionTest, ASectionThatClaimsMoreThanTheRecordIsRefusedAndChangesNothing) {
  auto refusedWith = [&](Bytes const& r, Zef::AttributeId aid, char const* what) {
    auto before = mount()->framesRefused();
    send(aid, r);
    EXPECT_EQ(mount()->framesRefused(), before + 1) << what;
    EXPECT_NE(mount()->lastRefusal().str().find("extension section"), std::string::npos)
        << what << ": " << mount()->lastRefusal();
    EXPECT_EQ(namesOf(copy), (std::set<std::string>{"a"})) << what;
    EXPECT_FALSE(mount()->isClosed()) << what;
  };
  Bytes l = section(8, 0, {258});
  l.b[1] = 200;  // L far past the record's end
  l.u32(0).str("x").u64(1001);
  refusedWith(l, 144, "L past the end");
  Bytes m = section(8, 250, {258});
  m.u32(0).str("x").u64(1001);
  refusedWith(m, 144, "M past the end");
  Bytes inside = section(8, 10, {258});
  inside.u32(0).str("xyz").u64(1001);
  refusedWith(inside, 144, "M inside the name");
  Bytes crossing = section(6, 0, {258});
  crossing.u32(0).str("x").u64(1001);
  refusedWith(crossing, 144, "an id across L");
  Bytes tiny = section(2, 0, {});
  refusedWith(tiny, -144, "L shorter than its own fields");
}

TEST(ExtensionSectionChildTest, AStatusReadsItsChildRecordThroughASection) {
  MemoryPair pair;
  auto status = PhyBcm54980Status::PhyBcm54980StatusIs("port0", Hardware::Phy::mdioClause45, nullptr,
                                                       Interface::EthPhyIntfStatus::EthPhyIntfStatusIs("et0"));
  pair.a()->rootIs(status);
  pair.pump();
  Ptr<PhyBcm54980Status> copy;
  for (auto const& e : pair.b()->mounted()) {
    if (auto* s = dynamic_cast<PhyBcm54980Status*>(e.ptr())) copy = Ptr<PhyBcm54980Status>(s);
  }
  ASSERT_NE(copy, nullptr);
  ASSERT_EQ(copy->bcmStats(), nullptr);
  auto eid = status->zefNboAttrLogSa(Ptr<Out const>(pair.a()->out()))->entityId();
  Bytes r = section(12, 0, {258, 386});
  r.u32(0).str("stats0").u64(1101);
  auto out = Out::OutIs();
  out->nextHeaderIs(MsgHeader{eid, 144});
  out << Zef::NboAttrLog::TransactToken{1};
  out->writeBytes(r.b.data(), r.size());
  out << Zef::NboAttrLog::TransactToken{3};
  pair.b()->bytesReceived(out->bytes());
  EXPECT_EQ(pair.b()->framesRefused(), 0u) << pair.b()->lastRefusal();
  ASSERT_NE(copy->bcmStats(), nullptr) << "386 is the status's child; 258 is none of its ids";
  EXPECT_EQ(copy->bcmStats()->name(), "stats0");
}

}  // namespace
