// The log's records that are not an attribute's value: the well-known ids,
// the announcement that says which entity an id names, and the sync-mode
// record. Whoever writes, applies or decodes them does it through here, so
// that the format is stated once.
//
// An announcement (entity id 1, attribute 136) is one record in sections:
//   1  the number of type names (one byte), then the names, the entity's
//      own type first and its base types after it
//   3  the entity's name, then its type's constructor arguments
//   4  the 8-byte entity id the entity has on this log
// The constructor arguments depend on the type, so a reader that does not
// know the type finds the id from the record's end.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "runtime/attrlog/nbo_attr_log.h"
#include "runtime/failure/exception.h"

namespace Zef::NboAttrLog {

// The announcement record's entity and attribute ids.
inline constexpr EntityId kAnnouncementEntityId = 1;
inline constexpr AttributeId kAnnouncementAttrId = 136;
// Every entity's isNondestructing, the first replicated attribute.
inline constexpr AttributeId kIsNondestructingAttrId = 6;
// The record that gives an entity's synchronisation mode.
inline constexpr AttributeId kSyncModeAttrId = 135;
// The largest attribute id: a pass that starts there has nothing to do.
inline constexpr AttributeId kNoAttribute = 0x7FFFFFFF;
// The Expect id under which a record may be interrupted by another and is
// then written again.
inline constexpr int kRecordInterruptedExceptionId = 48;

// The announcement's section markers.
enum class AnnouncementSection : unsigned char { types = 1, constructor = 3, entityId = 4 };

inline bool isAnnouncement(FrameKind kind, MsgHeader const& h) {
  return kind == FrameKind::attribute && h.entityId == kAnnouncementEntityId && h.attributeId == kAnnouncementAttrId;
}

// An id an entity may have on a log: the writer gives odd ids, and 1 is the
// announcement's.
inline bool isEntityId(EntityId eid) { return (eid & 1) && eid != kAnnouncementEntityId; }

// Writer: the announcement up to the constructor arguments, which the
// entity's type writes next, and then its end.
void announcementBegin(Ptr<Out> const& out, std::span<char const* const> types, String8 const& name);
void announcementEnd(Ptr<Out> const& out, EntityId eid);

// What is wrong with a malformed announcement. The readers below throw it
// worded for a mount's refusal; a decoder may word it its own way.
enum class AnnouncementFault { noTypeSection, noType, noConstructorSection, noEntityIdSection, notAnEntityId, bytesBeyond };
class AnnouncementException : public RangeException {
 public:
  AnnouncementException(AnnouncementFault fault, String8 message) : RangeException(std::move(message)), fault_(fault) {}
  AnnouncementFault fault() const { return fault_; }

 private:
  AnnouncementFault fault_;
};

// Reader: sections 1 and 3 up to the entity's name. Throws
// AnnouncementException, or RangeException for a record cut short.
struct AnnouncementHead {
  std::vector<String8> types;  // own type first
};
AnnouncementHead announcementHead(In& in);
// The same sections, read for the entity's own type alone, in place: the
// other types are passed over. Valid while the reader's bytes are.
std::string_view announcementType(In& in);
// Section 4 after the constructor arguments: the entity id, which must be
// one and end the record.
EntityId announcementEntityId(In& in);
// The entity id of a whole announcement, read from its end.
EntityId announcementEntityIdFromEnd(std::span<unsigned char const> payload);

// The sync-mode record: `mode` for entity `eid`.
void syncModeWrite(Ptr<Out> const& out, EntityId eid, unsigned mode);

}  // namespace Zef::NboAttrLog
