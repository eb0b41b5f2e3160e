// Builds against the installed headers and libraries, and runs.
#include <PhyBcm54980.h>

#include <cstdint>
#include <iostream>
#include <vector>

namespace {

using namespace Zef::NboAttrLog;

struct CountingDrainer : Out::Drainer {
  int told = 0;
  void outputPending() override { ++told; }
};

// Calls every public function of the attribute log's header, so that one
// declared without a body fails to link here rather than in a user's program.
// Returns what went wrong, or null.
char const* attrLogRoundTrip() {
  auto chip = Hardware::Phy::PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chipLog");
  auto conn = Connection::ConnectionIs();
  Zef::Ptr<Out> const& out = conn->out();
  if (out->connectionEidFor(nullptr) != 0) return "connectionEidFor(null)";
  Zef::EntityId eid = out->connectionEidFor(chip.ptr());
  if (!(eid & 1) || out->connectionEidFor(chip.ptr()) != eid) return "connectionEidFor";
  auto alone = Out::OutIs();
  try {
    alone->connectionEidFor(chip.ptr());
    return "connectionEidFor without a demuxer";
  } catch (Zef::EntityIdUnavailableException const&) {
  }

  auto log = Out::OutIs(1 << 16);
  CountingDrainer drainer;
  log->drainerIs(&drainer);
  log->demuxerIs(conn->demuxer().ptr());
  if (log->demuxer() != conn->demuxer().ptr()) return "demuxer";
  log->isConnectedIs(true);
  log->isReceiveOnlyIs(false);
  log->holdsLowPriorityIs(true);
  log->lowPriorityBacklogIs(Out::kDefaultLowPriorityBacklog);
  if (!log->isConnected() || log->isReceiveOnly() || !log->holdsLowPriority() ||
      log->lowPriorityBacklog() != Out::kDefaultLowPriorityBacklog || log->capacity() != (1u << 16) ||
      log->bufferBytes() != 0 || !log->isRoomy() || !log->isRoomyForLowPriority() || log->isClosed()) {
    return "state";
  }
  // Values outside a record, then a record, an orphan's sections and a marker.
  log << static_cast<unsigned char>(7) << true << 9u << -3 << std::uint64_t(eid) << 2.5 << Zef::String8("name");
  log->writeBigEndian(0x0102, 2);
  unsigned char raw[] = {0xAA, 0xBB};
  log->writeBytes(raw, sizeof raw);
  std::size_t loose = log->size();
  log->nextHeaderIs(MsgHeader{eid, 258});
  log << TransactToken{1};
  if (!log->isRecordOpen()) return "isRecordOpen";
  log->currentPayloadSectionIs(1);
  log << TransactToken{3};
  log->recordBegin();
  log->recordEnd();
  log->transactionMarkerIs(eid, 258, 0, 0);
  if (log->recordsWritten() != 3 || log->bytesWritten() < log->size() || drainer.told == 0) return "counts";
  if (log->freeSpace() >= log->capacity()) return "freeSpace";

  In in(log->bytes().first(loose), conn->demuxer().ptr());
  if (in.nextU8() != 7 || !in.nextbool() || in.nextU32() != 9 || in.nextint() != -3) return "numbers";
  // A copy reads on from the same place; assigning it back moves the original.
  In ahead = in;
  if (ahead.nextEntity().ptr() != chip.ptr() || in.remaining() != loose - 10) return "nextEntity";
  in = ahead;
  if (in.demuxer() != conn->demuxer().ptr()) return "In::demuxer";
  if (in.nextSeconds() != 2.5 || in.nextString() != "name" || in.nextU16() != 0x0102) return "values";
  in.skip(1);
  if (in.offset() != loose - 1 || in.remaining() != 1) return "offset";
  auto counted = In::InIs(log->bytes().first(loose));
  In plain(log->bytes().first(loose));
  if (counted->nextU64() != plain.nextU64() || counted->nextEntityId() != plain.nextEntityId()) return "InIs";
  auto typed = In::InIs(log->bytes().subspan(10, 8), conn->demuxer().ptr());
  if (typed->nextEntity<Hardware::Phy::PhyBcm54980ChipConfig>() != chip) return "nextEntity<T>";

  log->bytesConsumed(loose);
  log->bytesDelAll();
  if (log->size() != 0 || log->bytes().size() != 0) return "bytesDelAll";
  log->closedIs();
  if (!log->isClosed() || log->closeReason() != "") return "closedIs";
  (void)Zef::StreamBogon{};
  return nullptr;
}

}  // namespace

int main() {
  auto chip = Hardware::Phy::PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  chip->resetIs(Fru::Gpo::GpoIs("gpo0"));
  if (chip->attributeString(258) != "reset" || !chip->reset()) return 1;
  if (char const* failed = attrLogRoundTrip()) {
    std::cerr << "attribute log: " << failed << '\n';
    return 1;
  }
  std::cout << "consumer ok: " << chip->fullName() << '\n';
  return 0;
}
