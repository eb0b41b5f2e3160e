#include "runtime/attrlog/frame.h"

#include "runtime/text/text.h"

namespace Zef::NboAttrLog {

namespace {

std::size_t putVarint(unsigned char* p, std::uint64_t v) {
  std::size_t n = 0;
  while (v >= 0x80) {
    p[n++] = static_cast<unsigned char>(v | 0x80);
    v >>= 7;
  }
  p[n++] = static_cast<unsigned char>(v);
  return n;
}

std::uint32_t zigzag(AttributeId v) {
  return (static_cast<std::uint32_t>(v) << 1) ^ static_cast<std::uint32_t>(v >> 31);
}

}  // namespace

std::size_t encodeFrameHead(unsigned char* p, FrameKind kind, MsgHeader const& h, HeaderContext const& before) {
  unsigned char flags = 0;
  bool sameEntity = before.valid && h.entityId == before.entityId;
  if (sameEntity) flags |= Frame::kSameEntity;
  if (before.valid && h.attributeId == before.attributeId) flags |= Frame::kSameAttribute;
  else if (before.valid && isAttributeAfter(h.attributeId, before.attributeId)) flags |= Frame::kNextAttribute;
  if (!h.hasDefaultWords()) flags |= Frame::kWords;
  std::size_t n = 0;
  p[n++] = static_cast<unsigned char>(static_cast<unsigned>(kind) << 4 | flags);
  n += 2;  // the length, filled in when the frame is complete
  if (!sameEntity) n += putVarint(p + n, h.entityId);
  if (!(flags & (Frame::kSameAttribute | Frame::kNextAttribute))) n += putVarint(p + n, zigzag(h.attributeId));
  if (flags & Frame::kWords) {
    p[n++] = h.firstFlag;
    n += putVarint(p + n, h.firstWord);
    n += putVarint(p + n, h.secondWord);
    p[n++] = h.lastFlag;
  }
  return n;
}

void FrameReader::lostFraming(Result& r, unsigned tag, std::size_t length, std::size_t offset) {
  r.status = Status::lostFraming;
  unsigned const kind = tag >> 4;
  if (kind != unsigned(FrameKind::attribute) && kind != unsigned(FrameKind::transaction)) {
    r.error = format("unknown frame tag 0x%02x at offset %d", tag, offset);
  } else {
    r.error = format("frame of %d bytes at offset %d exceeds the largest frame of %d bytes", length, offset,
                     Frame::kMaxFrameBody);
  }
}

void FrameReader::bad(Result& r, char const* what, std::size_t offset) {
  // Later frames that refer to this header cannot be read either.
  context_.valid = false;
  r.status = Status::badFrame;
  r.error = format("frame at offset %d: %s", offset, what);
}

}  // namespace Zef::NboAttrLog
