// The announcement and sync-mode records: what a writer puts down reads
// back, and each malformation is told apart.
#include <gtest/gtest.h>

#include <vector>

#include "runtime/attrlog/frame.h"
#include "runtime/attrlog/records.h"

namespace {

using namespace Zef::NboAttrLog;
using Zef::EntityId;

std::vector<unsigned char> announced(std::vector<char const*> types, char const* name, EntityId eid) {
  auto out = Out::OutIs();
  announcementBegin(out, types, name);
  out << Zef::String8("arg");  // a type's constructor argument
  announcementEnd(out, eid);
  FrameReader reader;
  auto bytes = out->bytes();
  auto r = reader.next(bytes, 0);
  EXPECT_EQ(r.status, FrameReader::Status::frame) << r.error;
  EXPECT_TRUE(isAnnouncement(r.frame.kind, r.frame.header));
  return {r.frame.payload.begin(), r.frame.payload.end()};
}

TEST(Announcement, WhatIsWrittenReadsBackWithItsTypesNameAndId) {
  auto p = announced({"A::Derived", "A::Base"}, "port0", 41);
  In in(p);
  auto head = announcementHead(in);
  ASSERT_EQ(head.types.size(), 2u);
  EXPECT_EQ(head.types[0].str(), "A::Derived");
  EXPECT_EQ(head.types[1].str(), "A::Base");
  EXPECT_EQ(in.nextString().str(), "port0");
  EXPECT_EQ(in.nextString().str(), "arg");
  EXPECT_EQ(announcementEntityId(in), 41u);
  EXPECT_EQ(announcementEntityIdFromEnd(p), 41u) << "found without reading the arguments";
  // Read for its own type alone, in place, it ends where the whole head does.
  In again(p);
  EXPECT_EQ(announcementType(again), "A::Derived");
  EXPECT_EQ(again.nextString().str(), "port0");
}

enum class Reader { head, ownType, fromEnd };

AnnouncementFault faultOf(std::vector<unsigned char> p, Reader reader = Reader::head) {
  try {
    if (reader == Reader::fromEnd) {
      announcementEntityIdFromEnd(p);
    } else {
      In in(p);
      if (reader == Reader::head) announcementHead(in);
      else announcementType(in);
      in.nextString();
      in.nextString();
      announcementEntityId(in);
    }
  } catch (AnnouncementException const& e) {
    return e.fault();
  }
  ADD_FAILURE() << "no fault found";
  return AnnouncementFault::bytesBeyond;
}

TEST(Announcement, EachMalformationIsNamed) {
  auto good = announced({"T"}, "n", 3);
  for (Reader r : {Reader::head, Reader::ownType}) {
    SCOPED_TRACE(r == Reader::head ? "whole head" : "own type alone");
    auto p = good;
    p[0] = 2;
    EXPECT_EQ(faultOf(p, r), AnnouncementFault::noTypeSection);
    EXPECT_EQ(faultOf({1, 0, 3}, r), AnnouncementFault::noType);
    // Section 3's marker follows the one type name (length word and 1 byte).
    p = good;
    p[2 + 4 + 1] = 7;
    EXPECT_EQ(faultOf(p, r), AnnouncementFault::noConstructorSection);
    p = good;
    p[p.size() - 9] = 5;
    EXPECT_EQ(faultOf(p, r), AnnouncementFault::noEntityIdSection);
    p = good;
    p.back() = 4;  // an even id is no writer's
    EXPECT_EQ(faultOf(p, r), AnnouncementFault::notAnEntityId);
    p = good;
    p.push_back(0);
    EXPECT_EQ(faultOf(p, r), AnnouncementFault::bytesBeyond);
  }
  auto p = good;
  p[p.size() - 9] = 5;
  EXPECT_EQ(faultOf(p, Reader::fromEnd), AnnouncementFault::noEntityIdSection);
  EXPECT_EQ(faultOf(announced({"T"}, "n", kAnnouncementEntityId), Reader::fromEnd), AnnouncementFault::notAnEntityId);
}

TEST(Announcement, ACutRecordIsARangeFailureNotAFault) {
  auto p = announced({"T"}, "n", 3);
  p.resize(5);
  In in(p);
  try {
    announcementHead(in);
    ADD_FAILURE() << "a cut record was read";
  } catch (AnnouncementException const&) {
    ADD_FAILURE() << "a cut record is not a malformation of a section";
  } catch (Zef::RangeException const&) {
  }
}

TEST(SyncMode, TheRecordNamesTheEntityAndCarriesTheMode) {
  auto out = Out::OutIs();
  syncModeWrite(out, 9, 2);
  FrameReader reader;
  auto r = reader.next(out->bytes(), 0);
  ASSERT_EQ(r.status, FrameReader::Status::frame) << r.error;
  EXPECT_EQ(r.frame.header.entityId, 9u);
  EXPECT_EQ(r.frame.header.attributeId, kSyncModeAttrId);
  In in(r.frame.payload);
  EXPECT_EQ(in.nextU32(), 2u);
  EXPECT_EQ(in.remaining(), 0u);
}

TEST(EntityIds, OnlyOddIdsOtherThanTheAnnouncementsNameEntities) {
  EXPECT_TRUE(isEntityId(3));
  EXPECT_FALSE(isEntityId(kAnnouncementEntityId));
  EXPECT_FALSE(isEntityId(4));
  EXPECT_FALSE(isEntityId(0));
}

}  // namespace
