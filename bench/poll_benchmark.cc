// One driver poll cycle: 48 ports, each updating all 42 statistics from
// observations (copy, apply the observation, store through the mutator) with
// one ordinary reactor attached. Baseline in the same run: the same updates
// applied to plain structs of the same values, with no entity and no reactor.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <utility>
#include <vector>

#include "model/phy_bcm54980_dirs.h"

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

// A driver's ports: configuration, status and statistics entities in their
// directories, one reactor on each port's statistics.
struct Driver {
  Driver() {
    auto device = Hardware::Mdio::Device::DeviceIs("mdio0");
    for (int i = 0; i < kPorts; ++i) {
      Zef::Name name("port" + std::to_string(i));
      auto wexa = configs->wexaDescIs(name, device, Hardware::XoltAccelId{0}, Hardware::Mdio::BusId{0},
                                      Hardware::Mdio::PortAddr{static_cast<std::uint8_t>(i)}, MdioClient::clause22,
                                      Hardware::XoltAgentId{0});
      auto config = configs->phyConfigIs(name, wexa, "api", "1");
      auto status = statuses->phyStatusIs(name, mdioClause22, config, intf);
      Ptr<PhyBcm54980Stats> stats = status->bcmStatsIs("stats");
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

void BM_BaselinePlainStructs(benchmark::State& state) {
  std::vector<PlainPort> ports(kPorts);
  bool const active = state.range(0);
  std::uint64_t poll = 0;
  for (auto _ : state) {
    Sample const s = sample(++poll, active);
    for (auto& p : ports) {
#define UPDATE(name, observation) p.name.updateIs(s.observation);
      PHY_STATISTICS(UPDATE)
#undef UPDATE
    }
    benchmark::DoNotOptimize(ports.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kPorts * 42);
  state.counters["ns_per_statistic"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kPorts * 42, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BaselinePlainStructs)->Arg(1)->Arg(0)->ArgName("active");

// Memory of one port: its configuration, status and statistics entities (and
// the descriptor the configuration needs), from the framework allocator.
void BM_BytesPerPort(benchmark::State& state) {
  for (auto _ : state) {
    std::size_t const before = Zef::ZefMemPool::bytesInUse();
    {
      Driver driver;
      state.counters["bytes_per_port"] =
          static_cast<double>(Zef::ZefMemPool::bytesInUse() - before) / static_cast<double>(kPorts);
    }
  }
  state.counters["sizeof_config"] = sizeof(PhyBcm54980Config);
  state.counters["sizeof_status"] = sizeof(PhyBcm54980Status);
  state.counters["sizeof_stats"] = sizeof(PhyBcm54980Stats);
}
BENCHMARK(BM_BytesPerPort)->Iterations(1);

}  // namespace
