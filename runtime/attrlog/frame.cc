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

AttributeId unzigzag(std::uint32_t v) { return static_cast<AttributeId>((v >> 1) ^ (~(v & 1) + 1)); }

// Reads a varint of at most `maxBytes` bytes from [p, end); false when it runs
// past the end or is longer.
bool getVarint(unsigned char const*& p, unsigned char const* end, int maxBytes, std::uint64_t& v) {
  v = 0;
  for (int i = 0; i < maxBytes; ++i) {
    if (p == end) return false;
    unsigned char b = *p++;
    v |= std::uint64_t(b & 0x7F) << (7 * i);
    if (!(b & 0x80)) return true;
  }
  return false;
}

}  // namespace

std::size_t encodeFrameHead(unsigned char* p, FrameKind kind, MsgHeader const& h, HeaderContext const& before) {
  unsigned char flags = 0;
  bool sameEntity = before.valid && h.entityId == before.entityId;
  if (sameEntity) flags |= Frame::kSameEntity;
  if (before.valid && h.attributeId == before.attributeId) flags |= Frame::kSameAttribute;
  else if (before.valid && h.attributeId == before.attributeId + 1) flags |= Frame::kNextAttribute;
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

FrameReader::Result FrameReader::next(std::span<unsigned char const> bytes, std::size_t offset) {
  // Not value-initialised: zeroing the whole result cost as much as reading
  // the frame. Each way out sets what its caller reads.
  Result r;
  r.status = Status::needMore;
  if (bytes.size() < Frame::kPrefix) return r;
  unsigned char tag = bytes[0];
  std::size_t length = std::size_t(bytes[1]) << 8 | bytes[2];
  unsigned kind = tag >> 4;
  if (kind != unsigned(FrameKind::attribute) && kind != unsigned(FrameKind::transaction)) {
    r.status = Status::lostFraming;
    r.error = format("unknown frame tag 0x%02x at offset %d", unsigned(tag), offset);
    return r;
  }
  if (length > Frame::kMaxFrameBody) {
    r.status = Status::lostFraming;
    r.error = format("frame of %d bytes at offset %d exceeds the largest frame of %d bytes", length, offset,
                     Frame::kMaxFrameBody);
    return r;
  }
  if (bytes.size() < Frame::kPrefix + length) return r;

  FrameView& f = r.frame;
  f.kind = FrameKind(kind);
  f.offset = offset;
  f.size = Frame::kPrefix + length;
  unsigned char const* p = bytes.data() + Frame::kPrefix;
  unsigned char const* end = p + length;
  // Every way out returns `r` itself, so it is built in the caller's place.
  auto bad = [&](char const* what) {
    // Later frames that refer to this header cannot be read either.
    context_.valid = false;
    r.status = Status::badFrame;
    r.error = format("frame at offset %d: %s", offset, what);
  };
  unsigned char flags = tag & 0xF;
  if ((flags & Frame::kSameAttribute) && (flags & Frame::kNextAttribute)) {
    bad("both same and next attribute");
    return r;
  }
  if ((flags & (Frame::kSameEntity | Frame::kSameAttribute | Frame::kNextAttribute)) && !context_.valid) {
    bad("refers to a header before the first");
    return r;
  }
  MsgHeader& h = f.header;
  std::uint64_t v;
  if (flags & Frame::kSameEntity) {
    h.entityId = context_.entityId;
  } else if (getVarint(p, end, 10, v)) {
    h.entityId = v;
  } else {
    bad("entity id cut short");
    return r;
  }
  if (flags & Frame::kSameAttribute) {
    h.attributeId = context_.attributeId;
  } else if (flags & Frame::kNextAttribute) {
    h.attributeId = context_.attributeId + 1;
  } else if (getVarint(p, end, 5, v) && v <= 0xFFFFFFFFu) {
    h.attributeId = unzigzag(static_cast<std::uint32_t>(v));
  } else {
    bad("attribute id cut short");
    return r;
  }
  if (flags & Frame::kWords) {
    std::uint64_t w1, w2;
    if (p == end) {
      bad("header words cut short");
      return r;
    }
    h.firstFlag = *p++;
    if (!getVarint(p, end, 5, w1) || w1 > 0xFFFFFFFFu || !getVarint(p, end, 5, w2) || w2 > 0xFFFFFFFFu || p == end) {
      bad("header words cut short");
      return r;
    }
    h.firstWord = static_cast<std::uint32_t>(w1);
    h.secondWord = static_cast<std::uint32_t>(w2);
    h.lastFlag = *p++;
  }
  f.payload = {p, static_cast<std::size_t>(end - p)};
  context_ = {h.entityId, h.attributeId, true};
  r.status = Status::frame;
  return r;
}

}  // namespace Zef::NboAttrLog
