// Any bytes a mount receives are applied, refused with a counted reason, or
// drop the connection: never a crash, a read past a frame or a leak, and an
// entity the mount holds stays usable.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "fuzz/record_stream.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  phyfuzz::ServedState served;
  auto const& mount = served.pair.b();
  std::size_t mountedBefore = mount->mounted().size();
  // A nondestructing entity lives for ever by design: records that would
  // make one are left out, so that the leak check sees real leaks only.
  mount->frameHandlerIs([](Zef::NboAttrLog::Connection& c, Zef::NboAttrLog::FrameView const& f) {
    if (f.kind == Zef::NboAttrLog::FrameKind::attribute && f.header.attributeId == 6) return;
    c.applyFrame(f);
  });
  // Delivered in two pieces, as a stream may cut it anywhere.
  std::size_t cut = size ? data[0] % (size + 1) : 0;
  mount->bytesReceived(std::span<unsigned char const>(data, cut));
  mount->bytesReceived(std::span<unsigned char const>(data + cut, size - cut));
  if (mount->framesRefused() > mount->framesReceived() + 1) {
    std::fprintf(stderr, "more refusals than frames\n");
    std::abort();
  }
  // Whatever came, what the writer sends next still arrives or the mount has
  // said why it stopped listening.
  served.stats->crcErrorsIs(phyfuzz::crcAfter(99));
  served.pair.pump();
  if (!mount->isClosed() && mount->mounted().size() < mountedBefore) {
    std::fprintf(stderr, "an open mount lost entities\n");
    std::abort();
  }
  return 0;
}
