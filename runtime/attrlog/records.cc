#include "runtime/attrlog/records.h"

#include "runtime/failure/exception.h"
#include "runtime/text/text.h"

namespace Zef::NboAttrLog {

namespace {
unsigned char section(AnnouncementSection s) { return static_cast<unsigned char>(s); }
}  // namespace

void announcementBegin(Ptr<Out> const& out, std::span<char const* const> types, String8 const& name) {
  out->nextHeaderIs(MsgHeader{kAnnouncementEntityId, kAnnouncementAttrId});
  out << TransactToken{1};
  out->currentPayloadSectionIs(section(AnnouncementSection::types));
  out << static_cast<unsigned char>(types.size());
  for (char const* t : types) out << String8(t);
  out->currentPayloadSectionIs(section(AnnouncementSection::constructor));
  out << name;
}

void announcementEnd(Ptr<Out> const& out, EntityId eid) {
  out->currentPayloadSectionIs(section(AnnouncementSection::entityId));
  out << std::uint64_t(eid) << TransactToken{3};
}

namespace {
// Sections 1 and 3 up to the entity's name, each type handed to `type`.
template <class Type>
void readHead(In& in, Type type) {
  if (in.nextU8() != section(AnnouncementSection::types)) throw AnnouncementException(AnnouncementFault::noTypeSection, "orphan announcement: no type section");
  unsigned types = in.nextU8();
  if (types == 0) throw AnnouncementException(AnnouncementFault::noType, "orphan announcement: no type");
  for (unsigned i = 0; i < types; ++i) type(i, in.nextStringView());
  if (in.nextU8() != section(AnnouncementSection::constructor)) {
    throw AnnouncementException(AnnouncementFault::noConstructorSection, "orphan announcement: no constructor section");
  }
}
}  // namespace

AnnouncementHead announcementHead(In& in) {
  AnnouncementHead h;
  readHead(in, [&](unsigned, std::string_view t) { h.types.emplace_back(t); });
  return h;
}

std::string_view announcementType(In& in) {
  std::string_view own;
  readHead(in, [&](unsigned i, std::string_view t) {
    if (i == 0) own = t;
  });
  return own;
}

EntityId announcementEntityId(In& in) {
  if (in.nextU8() != section(AnnouncementSection::entityId)) {
    throw AnnouncementException(AnnouncementFault::noEntityIdSection, "orphan announcement: no entity id section");
  }
  EntityId eid = in.nextEntityId();
  if (!isEntityId(eid)) {
    throw AnnouncementException(AnnouncementFault::notAnEntityId,
                                format("orphan announcement: %d is not an entity id", eid));
  }
  if (in.remaining()) {
    throw AnnouncementException(AnnouncementFault::bytesBeyond, "orphan announcement: bytes beyond its entity id");
  }
  return eid;
}

EntityId announcementEntityIdFromEnd(std::span<unsigned char const> payload) {
  if (payload.size() < 9 || payload[payload.size() - 9] != section(AnnouncementSection::entityId)) {
    throw AnnouncementException(AnnouncementFault::noEntityIdSection, "orphan announcement: no entity id section");
  }
  In tail(payload.last(9));
  return announcementEntityId(tail);
}

void syncModeWrite(Ptr<Out> const& out, EntityId eid, unsigned mode) {
  out->nextHeaderIs(MsgHeader{eid, kSyncModeAttrId});
  out << TransactToken{1} << mode << TransactToken{3};
}

}  // namespace Zef::NboAttrLog
