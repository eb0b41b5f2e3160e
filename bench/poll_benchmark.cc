// One driver poll cycle: 48 ports, each updating all 42 statistics from
// observations (copy, apply the observation, store through the mutator) with
// one ordinary reactor attached; and the same poll served to one mount in
// memory, whole and as the agent's side alone. Baselines in the same run: the
// same updates applied to plain structs of the same values, with no entity
// and no reactor; for the mount, plus a memcpy of the bytes the poll's
// records take.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "model/phy_bcm54980_dirs.h"
#include "runtime/attrlog.h"
#include "runtime/object/pool_slots.h"

namespace {

using namespace Hardware::Phy;
using Zef::Ptr;

constexpr int kPorts = 48;

// The 42 statistics with the observation each takes, in attribute-id order.
#define PHY_STATISTICS(X) \
  X(remoteFaultState, event) X(linkState, event) X(jabber, event) X(parallelDetectionFault, event) \
  X(msConfigFault, event) X(localRxStatusNotOk, eventOrCount) X(remoteRxStatusNotOk, eventOrCount) \
  X(gbtIdleError, count) X(selectorFieldMismatch, event) X(descramblerLocked, event) \
  X(crcErrors, eventOrCount) X(carrierExtendErrors, event) X(falseCarriers, eventOrCount) \
  X(earlyEndErrors, event) X(rxErrors, eventOrCount) X(txErrors, eventOrCount) X(lockErrors, event) \
  X(codeErrors, event) X(energyDetectChanges, event) X(pairSwaps, event) X(mdix, conditionOrChanged) \
  X(hcdNoLinks, event) X(hcdNone, event) X(hcdInvalid, event) X(scramblerErrors, event) \
  X(duplexChanges, event) X(speedChanges, event) X(txFifoErrors, event) X(rxFifoErrors, event) \
  X(sgmiiFalseCarriers, event) X(sgmiiCrcErrors, event) X(sgmiiTxErrors, event) X(sgmiiRxErrors, event) \
  X(sgmiiCarrierExtendErrors, event) X(sgmiiEarlyEndErrors, event) X(copperEnergy, conditionOrChanged) \
  X(sgmiiLinkState, event) X(sgmiiRxSync, event) X(statusUpdates, event) X(configChanges, event) \
  X(chipInterrupts, event) X(portInterrupts, event)

// The observations of one poll: with `active`, every statistic has something
// to count; otherwise nothing happened since the previous poll.
struct Sample {
  Event event;
  Count count;
  EventOrCount eventOrCount;
  ConditionOrChanged conditionOrChanged;
};

Sample sample(std::uint64_t poll, bool active) {
  Sample s;
  double const when = static_cast<double>(poll);
  s.event.valueIs(U1(active ? 1 : 0));
  s.event.whenIs(when);
  s.count.countIs(active ? 3 : 0);
  s.count.whenIs(when);
  s.eventOrCount.valueIs(U1(active ? 1 : 0));
  s.eventOrCount.countIs(active ? 2 : 0);
  s.eventOrCount.whenIs(when);
  s.conditionOrChanged.currentIs(U1(active ? poll & 1 : 0));
  s.conditionOrChanged.changedIs(U1(0));
  s.conditionOrChanged.whenIs(when);
  return s;
}

// What a driver writes for each statistic: take a copy, apply the
// observation, store it back (the store notifies only on a change).
void pollPort(PhyBcm54980Stats& stats, Sample const& s) {
#define POLL(name, observation) \
  {                             \
    auto v = stats.name();      \
    v.updateIs(s.observation);  \
    stats.name##Is(v);          \
  }
  PHY_STATISTICS(POLL)
#undef POLL
}

class CountingReactor : public PhyBcm54980Stats::Notifiee {
 public:
  void onCrcErrors() override { ++calls; }
  void onLinkState() override { ++calls; }
  std::uint64_t calls = 0;
};

// Bytes in use: pool slots at their classes' whole sizes and the system
// allocator's bytes. Slabs are mapped apart from the system allocator's
// heap, so its bytes in use are all outside them.
std::size_t bytesInUse() { return Zef::poolSlotBytesInUse() + mallinfo2().uordblks; }

// A driver's ports: configuration, status and statistics entities in their
// directories, one reactor on each port's statistics. Given `entityBytes`,
// it adds what the three entities of each port took, with their share of the
// directories, apart from the descriptor and the reactor. Given
// `fewestBytes`, it keeps the least any one port took: a port whose making
// grew neither directory's table, so the three entities alone.
struct Driver {
  explicit Driver(std::size_t* entityBytes = nullptr, std::size_t* fewestBytes = nullptr) {
    ports.reserve(kPorts);
    reactors.reserve(kPorts);
    auto device = Hardware::Mdio::Device::DeviceIs("mdio0");
    for (int i = 0; i < kPorts; ++i) {
      Zef::Name name("port" + std::to_string(i));
      auto wexa = configs->wexaDescIs(name, device, Hardware::XoltAccelId{0}, Hardware::Mdio::BusId{0},
                                      Hardware::Mdio::PortAddr{static_cast<std::uint8_t>(i)}, MdioClient::clause22,
                                      Hardware::XoltAgentId{0});
      std::size_t const before = entityBytes ? bytesInUse() : 0;
      auto config = configs->phyConfigIs(name, wexa, "api", "1");
      auto status = statuses->phyStatusIs(name, mdioClause22, config, intf);
      Ptr<PhyBcm54980Stats> stats = status->bcmStatsIs("stats");
      if (entityBytes) {
        std::size_t const took = bytesInUse() - before;
        *entityBytes += took;
        if (fewestBytes && (i == 0 || took < *fewestBytes)) *fewestBytes = took;
      }
      Ptr<CountingReactor> r(new CountingReactor(), Zef::adoptRef);
      r->isRegisteredNotifieeIs(true);
      r->notifierIs(stats);
      ports.push_back(stats);
      reactors.push_back(r);
    }
  }
  Ptr<PhyBcm54980ConfigDir> configs = PhyBcm54980ConfigDir::PhyBcm54980ConfigDirIs("config");
  Ptr<PhyBcm54980StatusDir> statuses = PhyBcm54980StatusDir::PhyBcm54980StatusDirIs("status");
  Ptr<Interface::EthPhyIntfStatus> intf = Interface::EthPhyIntfStatus::EthPhyIntfStatusIs("et");
  std::vector<Ptr<PhyBcm54980Stats>> ports;
  std::vector<Ptr<CountingReactor>> reactors;
};

void BM_PollCycle(benchmark::State& state) {
  Driver driver;
  bool const active = state.range(0);
  std::uint64_t poll = 0;
  for (auto _ : state) {
    Sample const s = sample(++poll, active);
    for (auto const& port : driver.ports) pollPort(*port, s);
  }
  state.SetItemsProcessed(state.iterations() * kPorts * 42);
  state.counters["ns_per_statistic"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kPorts * 42, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PollCycle)->Arg(1)->Arg(0)->ArgName("active");

// The same statistics as members of a plain struct, updated in place.
struct PlainPort {
#define FIELD(name, observation) decltype(std::declval<PhyBcm54980Stats>().name()) name;
  PHY_STATISTICS(FIELD)
#undef FIELD
};

void update(PlainPort& p, Sample const& s) {
#define UPDATE(name, observation) p.name.updateIs(s.observation);
  PHY_STATISTICS(UPDATE)
#undef UPDATE
}

void BM_BaselinePlainStructs(benchmark::State& state) {
  std::vector<PlainPort> ports(kPorts);
  bool const active = state.range(0);
  std::uint64_t poll = 0;
  for (auto _ : state) {
    Sample const s = sample(++poll, active);
    for (auto& p : ports) {
      update(p, s);
    }
    benchmark::DoNotOptimize(ports.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kPorts * 42);
  state.counters["ns_per_statistic"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kPorts * 42, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BaselinePlainStructs)->Arg(1)->Arg(0)->ArgName("active");

// What a socket transport does with the agent's send buffer, in memory: the
// first record of a loop turn is taken at once, the rest when the
// low-priority backlog is reached and after the turn, every byte copied out
// as a write would take it. Without it a writer falls back to dirty bits and
// a later pass for everything past the backlog, which a real transport spares
// it.
class CopyingDrainer final : public Zef::NboAttrLog::Out::Drainer {
 public:
  explicit CopyingDrainer(Zef::NboAttrLog::Connection& c) : conn_(c) { conn_.out()->drainerIs(this); }
  ~CopyingDrainer() { conn_.out()->drainerIs(nullptr); }
  CopyingDrainer(CopyingDrainer const&) = delete;
  CopyingDrainer& operator=(CopyingDrainer const&) = delete;

  void outputPending() override {
    if (turnWritten_ || !conn_.isSettled()) return;
    turnWritten_ = true;
    take();
  }
  void outputBacklogged() override { take(); }

  // The loop turn is over: what waits goes, and flow-outs fill what follows.
  void turnEnd() {
    for (bool more = true; more;) {
      more = conn_.flowOutReady();
      take();
    }
    turnWritten_ = false;
  }

  std::vector<unsigned char> wire;

 private:
  void take() {
    auto bytes = conn_.out()->bytes();
    wire.insert(wire.end(), bytes.begin(), bytes.end());
    conn_.out()->bytesConsumed(bytes.size());
  }

  Zef::NboAttrLog::Connection& conn_;
  bool turnWritten_ = false;
};

// The poll with every port's statistics served to one mount in memory: the
// poll and its records, their bytes copied out of the send buffer as a
// socket transport takes them, and the mount applying them, so that it holds
// every statistic as the driver does. With `agentOnly` the clock stops while
// the mount applies, as the floor below has no reader; the mount's time is
// then the counter mount_ns_per_statistic.
void pollWithMount(benchmark::State& state, bool agentOnly) {
  Driver driver;
  Zef::NboAttrLog::MemoryPair pair;
  Zef::NboAttrLog::Connection& agent = *pair.a();
  Zef::NboAttrLog::Connection& mount = *pair.b();
  agent.roleIs(Zef::NboAttrLog::Connection::Role::agent);
  mount.roleIs(Zef::NboAttrLog::Connection::Role::mount);
  for (auto const& port : driver.ports) agent.rootIs(port);
  pair.pump();
  if (!mount.isSynced()) state.SkipWithError("the mount did not synchronise");
  CopyingDrainer transport(agent);
  transport.wire.reserve(Zef::NboAttrLog::Out::kDefaultCapacity);
  std::uint64_t poll = 0;
  double mountNs = 0;
  std::uint64_t bytes = 0;
  for (auto _ : state) {
    transport.wire.clear();
    Sample const s = sample(++poll, true);
    for (auto const& port : driver.ports) pollPort(*port, s);
    transport.turnEnd();
    if (agentOnly) state.PauseTiming();
    bytes += transport.wire.size();
    auto const t0 = std::chrono::steady_clock::now();
    mount.bytesReceived(transport.wire);
    mountNs += static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count());
    if (agentOnly) state.ResumeTiming();
  }
  if (mount.framesRefused() != 0) state.SkipWithError(mount.lastRefusal().charPtr());
  // The mount holds what the driver holds.
  bool same = false;
  for (auto const& e : mount.mounted()) {
    auto* copy = dynamic_cast<PhyBcm54980Stats*>(e.ptr());
    if (copy && copy->name() == driver.ports.back()->name()) same = copy->crcErrors() == driver.ports.back()->crcErrors();
  }
  if (!same) state.SkipWithError("the mount does not hold the driver's statistics");
  double const statistics = static_cast<double>(state.iterations()) * kPorts * 42;
  state.SetItemsProcessed(static_cast<std::int64_t>(statistics));
  state.counters["ns_per_statistic"] =
      benchmark::Counter(statistics, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["mount_ns_per_statistic"] = mountNs / statistics;
  state.counters["bytes_per_statistic"] = static_cast<double>(bytes) / statistics;
}

void BM_PollCycleWithMount(benchmark::State& state) { pollWithMount(state, false); }
BENCHMARK(BM_PollCycleWithMount);

void BM_PollCycleWithMountAgentSide(benchmark::State& state) { pollWithMount(state, true); }
BENCHMARK(BM_PollCycleWithMountAgentSide);

// The bytes one port's poll writes to a log once every statistic changed,
// taken from a real log.
std::vector<unsigned char> pollRecordBytes() {
  auto conn = Zef::NboAttrLog::Connection::ConnectionIs();
  auto& out = *conn->out();
  out.holdsLowPriorityIs(false);
  auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("sample");
  stats->zefNboAttrLogSaIs(Zef::PtrInterface::NotifieeConst::Zef_BitSet(), 1, conn->out(), nullptr);
  pollPort(*stats, sample(1, true));
  out.bytesConsumed(out.size());
  pollPort(*stats, sample(2, true));
  std::vector<unsigned char> bytes(out.bytes().begin(), out.bytes().end());
  stats->zefNboAttrLogSaDel(conn->out());
  return bytes;
}

// Plain structs updated in place plus a memcpy of each port's record bytes
// into a 1 MiB buffer: the floor for the poll with a mount.
void BM_BaselinePlainStructsPlusMemcpy(benchmark::State& state) {
  std::vector<unsigned char> const record = pollRecordBytes();
  std::vector<PlainPort> ports(kPorts);
  std::vector<unsigned char> buffer(Zef::NboAttrLog::Out::kDefaultCapacity);
  benchmark::DoNotOptimize(buffer.data());
  std::size_t at = 0;
  std::uint64_t poll = 0;
  for (auto _ : state) {
    Sample const s = sample(++poll, true);
    for (auto& p : ports) {
      update(p, s);
      if (buffer.size() - at < record.size()) at = 0;
      std::memcpy(buffer.data() + at, record.data(), record.size());
      at += record.size();
    }
    benchmark::DoNotOptimize(ports.data());
    benchmark::ClobberMemory();
  }
  double const statistics = static_cast<double>(state.iterations()) * kPorts * 42;
  state.SetItemsProcessed(static_cast<std::int64_t>(statistics));
  state.counters["ns_per_statistic"] =
      benchmark::Counter(statistics, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["bytes_per_statistic"] = static_cast<double>(record.size()) / 42;
}
BENCHMARK(BM_BaselinePlainStructsPlusMemcpy);

// Memory of one port: its configuration, status and statistics entities (and
// the descriptor the configuration needs, and the benchmark's reactor), all
// they allocate, and their share of the directories, as the allocators count
// it: the framework pool's slots at their classes' whole sizes, and the
// system allocator's bytes in use outside the pool's slabs.
void BM_BytesPerPort(benchmark::State& state) {
  for (auto _ : state) {
    std::size_t const pool0 = Zef::ZefMemPool::bytesInUse();
    std::size_t const slots0 = Zef::poolSlotBytesInUse();
    std::size_t const heap0 = mallinfo2().uordblks;
    std::size_t entities = 0;
    std::size_t fewest = 0;
    {
      Driver driver(&entities, &fewest);
      double const slots = static_cast<double>(Zef::poolSlotBytesInUse() - slots0);
      double const heap = static_cast<double>(mallinfo2().uordblks - heap0);
      // The port's configuration, status and statistics, with their share of
      // the directories.
      state.counters["bytes_per_port"] = static_cast<double>(entities) / kPorts;
      // The three entities alone; the directories' share is the difference.
      state.counters["entity_bytes_per_port"] = static_cast<double>(fewest);
      // All the driver holds a port: also the descriptor the configuration
      // refers to (another model's entity) and the reactor on its statistics.
      state.counters["bytes_per_port_all"] = (slots + heap) / kPorts;
      state.counters["pool_slots_per_port_all"] = slots / kPorts;
      state.counters["heap_outside_slabs_per_port_all"] = heap / kPorts;
      state.counters["pool_asked_per_port_all"] =
          static_cast<double>(Zef::ZefMemPool::bytesInUse() - pool0) / kPorts;
    }
  }
  state.counters["sizeof_config"] = sizeof(PhyBcm54980Config);
  state.counters["sizeof_status"] = sizeof(PhyBcm54980Status);
  state.counters["sizeof_stats"] = sizeof(PhyBcm54980Stats);
}
BENCHMARK(BM_BytesPerPort)->Iterations(1);

}  // namespace
