// Any bytes a mount receives are applied, refused with a counted reason, or
// drop the connection: never a crash, a read past a frame or a leak (records
// that would make an entity nondestructing included), and an entity the
// mount holds stays usable.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "fuzz/record_stream.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  phyfuzz::ServedState served;
  auto const& mount = served.pair.b();
  std::size_t mountedBefore = mount->mounted().size();
  auto const& copies = mount->mounted();
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
  for (auto const& e : copies) {
    if (e->isNondestructing()) {
      std::fprintf(stderr, "the agent made a mounted entity nondestructing\n");
      std::abort();
    }
  }
  if (!mount->isClosed() && mount->mounted().size() < mountedBefore) {
    std::fprintf(stderr, "an open mount lost entities\n");
    std::abort();
  }
  return 0;
}
