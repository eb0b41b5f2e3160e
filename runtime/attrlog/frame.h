// The attribute log's framing: how a record's header and length travel, and
// the reader that cuts a byte stream into frames.
//
// A frame is
//   tag       1 byte: kind in the high nibble, header compression in the low
//   length    2 bytes, big-endian: the bytes after the length field
//   entity id unsigned LEB128, left out when the tag says "same entity"
//   attr id   zig-zag LEB128, left out when the tag says "same" or "next"
//   words     first flag (1 byte), first and second word (LEB128), last flag
//             (1 byte), present only when they differ from 1, 0, 0, 0
//   payload   the record's values, in the log's big-endian encoding
// "Same" and "next" refer to the header of the frame before, of either kind,
// so a run of attributes of one entity costs a tag and a length each: a
// statistic of 13 bytes travels in 16.
//
// A length above kMaxFrameBody is refused: the stream has lost its place and
// the connection must be dropped. A frame whose header cannot be read is
// skipped whole, and the reader goes on with the next one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "runtime/entity/notifiee.h"
#include "runtime/object/string8.h"

namespace Zef::NboAttrLog {

// The header every record carries, in the order the library fills it in.
struct MsgHeader {
  EntityId entityId = 0;
  AttributeId attributeId = 0;
  unsigned char firstFlag = 1;
  std::uint32_t firstWord = 0;
  std::uint32_t secondWord = 0;
  unsigned char lastFlag = 0;

  bool hasDefaultWords() const { return firstFlag == 1 && firstWord == 0 && secondWord == 0 && lastFlag == 0; }
  bool operator==(MsgHeader const&) const = default;
};

enum class FrameKind : unsigned char {
  attribute = 0xA,    // a record: header, then the attribute's payload
  transaction = 0xB,  // a transaction marker: header, then its type and count
};

namespace Frame {
inline constexpr unsigned char kSameEntity = 0x1;
inline constexpr unsigned char kNextAttribute = 0x2;
inline constexpr unsigned char kSameAttribute = 0x4;
inline constexpr unsigned char kWords = 0x8;
inline constexpr std::size_t kPrefix = 3;  // tag and length
inline constexpr std::size_t kMaxFrameBody = 16384;
}  // namespace Frame

// What a writer and a reader remember of the header before, so that both
// compress and expand alike. Reset at the start of every connection.
struct HeaderContext {
  EntityId entityId = 0;
  AttributeId attributeId = 0;
  bool valid = false;
};

// Whether `a` is the attribute after `before`: the largest id has none.
inline bool isAttributeAfter(AttributeId a, AttributeId before) {
  return before != std::numeric_limits<AttributeId>::max() && a == before + 1;
}

// Writes a frame's tag and header into `p` (at most 40 bytes), with the
// length left for the caller; returns the bytes written.
std::size_t encodeFrameHead(unsigned char* p, FrameKind kind, MsgHeader const& h, HeaderContext const& before);
// The same, with the head of a burst inline: the entity before, the
// attribute after it, the usual words. The tag alone then says it all.
inline std::size_t encodeFrameHeadInline(unsigned char* p, FrameKind kind, MsgHeader const& h,
                                         HeaderContext const& before) {
  if (before.valid && h.entityId == before.entityId && isAttributeAfter(h.attributeId, before.attributeId) &&
      h.hasDefaultWords()) {
    p[0] = static_cast<unsigned char>(unsigned(kind) << 4 | Frame::kSameEntity | Frame::kNextAttribute);
    return Frame::kPrefix;
  }
  return encodeFrameHead(p, kind, h, before);
}

// One frame cut from a stream.
struct FrameView {
  FrameKind kind;
  MsgHeader header;
  std::span<unsigned char const> payload;
  std::size_t offset;  // of the tag in the stream
  std::size_t size;    // of the whole frame
};

// Cuts a stream of frames into frames. Feed it bytes as they arrive; it keeps
// an incomplete frame's bytes until the rest comes.
class FrameReader {
 public:
  enum class Status { frame, needMore, badFrame, lostFraming };

  struct Result {
    Status status;
    FrameView frame;  // valid for `frame`, and for `badFrame` (offset, size)
    String8 error;    // for `badFrame` and `lostFraming`
  };

  // Reads the next frame from `bytes`, which starts `offset` bytes into the
  // stream. On `frame` and `badFrame` the caller consumes `frame.size` bytes.
  // `lostFraming` leaves nothing to consume: the stream cannot be trusted
  // beyond this point.
  Result next(std::span<unsigned char const> bytes, std::size_t offset);

  // The commonest frame of a burst: an attribute record of the entity before
  // for the attribute after, with the usual words, whole in `bytes`. Says
  // its attribute id and size without taking it; every other frame is
  // next()'s to read.
  bool peekRunRecord(std::span<unsigned char const> bytes, AttributeId& a, std::size_t& size) const {
    constexpr unsigned kTag = unsigned(FrameKind::attribute) << 4 | Frame::kSameEntity | Frame::kNextAttribute;
    if (bytes.size() < Frame::kPrefix || bytes[0] != kTag || !context_.valid || !hasNextAttribute()) return false;
    std::size_t const length = std::size_t(bytes[1]) << 8 | bytes[2];
    if (length > Frame::kMaxFrameBody || bytes.size() < Frame::kPrefix + length) return false;
    a = context_.attributeId + 1;
    size = Frame::kPrefix + length;
    return true;
  }
  // Takes the frame peekRunRecord() said was there.
  void runRecordTaken(AttributeId a) { context_.attributeId = a; }

  HeaderContext const& context() const { return context_; }
  void reset() { context_ = {}; }

 private:
  // Reads a varint of at most `maxBytes` bytes from [p, end); false when it
  // runs past the end or is longer.
  static bool getVarint(unsigned char const*& p, unsigned char const* end, int maxBytes, std::uint64_t& v) {
    v = 0;
    for (int i = 0; i < maxBytes; ++i) {
      if (p == end) return false;
      unsigned char b = *p++;
      v |= std::uint64_t(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) return true;
    }
    return false;
  }
  static AttributeId unzigzag(std::uint32_t v) { return static_cast<AttributeId>((v >> 1) ^ (~(v & 1) + 1)); }
  // The largest id has no next one.
  bool hasNextAttribute() const { return context_.attributeId != std::numeric_limits<AttributeId>::max(); }
  // The ways out that name what went wrong; out of line, as they are rare.
  [[gnu::cold]] static void lostFraming(Result& r, unsigned tag, std::size_t length, std::size_t offset);
  [[gnu::cold]] void bad(Result& r, char const* what, std::size_t offset);

  HeaderContext context_;
};

// Inline: every record a mount applies passes here, and the frame is read
// where the caller keeps it.
inline FrameReader::Result FrameReader::next(std::span<unsigned char const> bytes, std::size_t offset) {
  // Not value-initialised: zeroing the whole result cost as much as reading
  // the frame. Each way out sets what its caller reads.
  Result r;
  r.status = Status::needMore;
  if (bytes.size() < Frame::kPrefix) return r;
  unsigned const tag = bytes[0];
  std::size_t const length = std::size_t(bytes[1]) << 8 | bytes[2];
  unsigned const kind = tag >> 4;
  if ((kind != unsigned(FrameKind::attribute) && kind != unsigned(FrameKind::transaction)) ||
      length > Frame::kMaxFrameBody) [[unlikely]] {
    lostFraming(r, tag, length, offset);
    return r;
  }
  if (bytes.size() < Frame::kPrefix + length) return r;

  FrameView& f = r.frame;
  f.kind = FrameKind(kind);
  f.offset = offset;
  f.size = Frame::kPrefix + length;
  unsigned char const* p = bytes.data() + Frame::kPrefix;
  unsigned char const* end = p + length;
  unsigned const flags = tag & 0xF;
  if ((flags & Frame::kSameAttribute) && (flags & Frame::kNextAttribute)) [[unlikely]] {
    bad(r, "both same and next attribute", offset);
    return r;
  }
  if ((flags & (Frame::kSameEntity | Frame::kSameAttribute | Frame::kNextAttribute)) && !context_.valid) [[unlikely]] {
    bad(r, "refers to a header before the first", offset);
    return r;
  }
  MsgHeader& h = f.header;
  std::uint64_t v;
  if (flags & Frame::kSameEntity) {
    h.entityId = context_.entityId;
  } else if (getVarint(p, end, 10, v)) {
    h.entityId = v;
  } else {
    bad(r, "entity id cut short", offset);
    return r;
  }
  if (flags & Frame::kSameAttribute) {
    h.attributeId = context_.attributeId;
  } else if (flags & Frame::kNextAttribute) {
    if (!hasNextAttribute()) [[unlikely]] {
      bad(r, "next attribute after the largest id", offset);
      return r;
    }
    h.attributeId = context_.attributeId + 1;
  } else if (getVarint(p, end, 5, v) && v <= 0xFFFFFFFFu) {
    h.attributeId = unzigzag(static_cast<std::uint32_t>(v));
  } else {
    bad(r, "attribute id cut short", offset);
    return r;
  }
  if (flags & Frame::kWords) {
    std::uint64_t w1, w2;
    if (p == end) {
      bad(r, "header words cut short", offset);
      return r;
    }
    h.firstFlag = *p++;
    if (!getVarint(p, end, 5, w1) || w1 > 0xFFFFFFFFu || !getVarint(p, end, 5, w2) || w2 > 0xFFFFFFFFu || p == end) {
      bad(r, "header words cut short", offset);
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
