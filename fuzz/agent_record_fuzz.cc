// Any bytes a mount sends its agent are refused: never applied, never a
// crash or a leak, and the agent's entities keep every value they had.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "fuzz/record_stream.h"

namespace {

[[noreturn]] void fail(char const* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  phyfuzz::ServedState served;
  auto const& agent = served.pair.a();
  auto gpo = served.chip->reset();
  auto crc = served.stats->crcErrors();
  auto link = served.stats->linkState();
  auto entities = agent->demuxer()->reactorCount();
  std::size_t cut = size ? data[0] % (size + 1) : 0;
  agent->bytesReceived(std::span<unsigned char const>(data, cut));
  agent->bytesReceived(std::span<unsigned char const>(data + cut, size - cut));
  if (agent->framesApplied() != 0) fail("the agent applied a frame from its mount");
  if (!agent->mounted().empty()) fail("the agent mounted an announcement");
  if (agent->demuxer()->reactorCount() != (agent->isClosed() ? 0 : entities)) fail("the agent's entities changed");
  if (served.chip->reset() != gpo || served.config->phyChipConfig() != served.chip) fail("a reference changed");
  if (!(served.stats->crcErrors() == crc) || !(served.stats->linkState() == link)) fail("a statistic changed");
  if (served.chip->isNondestructing() || served.stats->isNondestructing()) fail("an entity became nondestructing");
  if (agent->framesRefused() > agent->refusalLimit()) fail("read on after the cut");
  // The mount still hears the agent's changes, or the agent said why not.
  served.stats->crcErrorsIs(phyfuzz::crcAfter(99));
  served.pair.pump();
  return 0;
}
