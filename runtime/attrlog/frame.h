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

// Writes a frame's tag and header into `p` (at most 40 bytes), with the
// length left for the caller; returns the bytes written.
std::size_t encodeFrameHead(unsigned char* p, FrameKind kind, MsgHeader const& h, HeaderContext const& before);

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

  HeaderContext const& context() const { return context_; }
  void reset() { context_ = {}; }

 private:
  HeaderContext context_;
};

}  // namespace Zef::NboAttrLog
