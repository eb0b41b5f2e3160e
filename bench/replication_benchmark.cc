// The writer side of replication for the statistics entity: records/s on the
// immediate path and through dirty bits, the cost of one changed statistic
// with an adapter, and a burst against a stalled reader. Baselines in the
// same run: the change with no adapter, plus a memcpy of the record's bytes,
// and memcpy of the bytes the records take. The program ends with the ratios,
// taken from the medians when run with --benchmark_repetitions.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/phy_bcm54980_stats.h"
#include "runtime/attrlog.h"

namespace {

using namespace Hardware::Phy;
using benchmark::Counter;
using Zef::Ptr;
using Zef::NboAttrLog::Connection;
using Zef::NboAttrLog::Out;

constexpr int kPorts = 48;
constexpr int kStatistics = 42;

// The 42 statistics, in attribute-id order (258..299).
#define PHY_STATISTICS(X)                                                                                          \
  X(remoteFaultState) X(linkState) X(jabber) X(parallelDetectionFault) X(msConfigFault) X(localRxStatusNotOk)      \
  X(remoteRxStatusNotOk) X(gbtIdleError) X(selectorFieldMismatch) X(descramblerLocked) X(crcErrors)                \
  X(carrierExtendErrors) X(falseCarriers) X(earlyEndErrors) X(rxErrors) X(txErrors) X(lockErrors) X(codeErrors)    \
  X(energyDetectChanges) X(pairSwaps) X(mdix) X(hcdNoLinks) X(hcdNone) X(hcdInvalid) X(scramblerErrors)            \
  X(duplexChanges) X(speedChanges) X(txFifoErrors) X(rxFifoErrors) X(sgmiiFalseCarriers) X(sgmiiCrcErrors)         \
  X(sgmiiTxErrors) X(sgmiiRxErrors) X(sgmiiCarrierExtendErrors) X(sgmiiEarlyEndErrors) X(copperEnergy)             \
  X(sgmiiLinkState) X(sgmiiRxSync) X(statusUpdates) X(configChanges) X(chipInterrupts) X(portInterrupts)

// A statistic's value with its counter and time set from n, so that each n
// is a change the mutator passes on.
template <class V>
V bumped(V v, unsigned n) {
  if constexpr (requires { v.countIs(n); }) v.countIs(n);
  else v.changesIs(n);
  if constexpr (requires { v.lastIs(1.0); }) v.lastIs(1000.0 + n);
  else v.lastChangeIs(1000.0 + n);
  return v;
}

// Changes every statistic of `s` once, in attribute-id order.
void changeAll(PhyBcm54980Stats& s, unsigned n) {
#define CHANGE(name) s.name##Is(bumped(s.name(), n));
  PHY_STATISTICS(CHANGE)
#undef CHANGE
}

void attach(Ptr<PhyBcm54980Stats> const& s, Ptr<Out> const& out) {
  s->zefNboAttrLogSaIs(Zef::PtrInterface::NotifieeConst::Zef_BitSet(), 1, out, nullptr);
}

// The reader took everything: O(1), it only moves the read position.
void drain(Out& out) { out.bytesConsumed(out.size()); }

// Sizes of the frames in `bytes`, which holds whole frames.
std::vector<std::size_t> frameSizes(std::span<unsigned char const> bytes) {
  std::vector<std::size_t> sizes;
  for (std::size_t at = 0; at + Zef::NboAttrLog::Frame::kPrefix <= bytes.size();) {
    std::size_t n = Zef::NboAttrLog::Frame::kPrefix + (std::size_t(bytes[at + 1]) << 8 | bytes[at + 2]);
    sizes.push_back(n);
    at += n;
  }
  return sizes;
}

// The bytes the log writes in the steady state, taken from a real log: one
// crcErrors record after another, and one change of all 42 statistics.
struct WireSample {
  std::vector<unsigned char> crcRecord;
  std::vector<unsigned char> allStatistics;
  std::vector<std::size_t> allStatisticsFrames;
};

WireSample const& wireSample() {
  static WireSample const sample = [] {
    WireSample w;
    auto conn = Connection::ConnectionIs();
    Out& out = *conn->out();
    auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("sample");
    attach(stats, conn->out());
    changeAll(*stats, 1);
    stats->crcErrorsIs(bumped(EventOrCountStat(), 2));
    drain(out);
    stats->crcErrorsIs(bumped(EventOrCountStat(), 3));
    w.crcRecord.assign(out.bytes().begin(), out.bytes().end());
    drain(out);
    changeAll(*stats, 4);
    w.allStatistics.assign(out.bytes().begin(), out.bytes().end());
    w.allStatisticsFrames = frameSizes(out.bytes());
    return w;
  }();
  return sample;
}

// 1a. The immediate path: a roomy log, every change written at once.
void BM_ImmediateRecords(benchmark::State& state) {
  auto conn = Connection::ConnectionIs();
  Out& out = *conn->out();
  auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("stats");
  attach(stats, conn->out());
  unsigned n = 0;
  changeAll(*stats, ++n);  // the announcement and first records, untimed
  drain(out);
  std::uint64_t const records0 = out.recordsWritten();
  std::uint64_t const bytes0 = out.bytesWritten();
  for (auto _ : state) {
    changeAll(*stats, ++n);
    // The drain is timed: it costs a comparison and, once per ~60k records,
    // resetting two indices.
    if (!out.isRoomy()) drain(out);
  }
  double const records = static_cast<double>(out.recordsWritten() - records0);
  double const bytes = static_cast<double>(out.bytesWritten() - bytes0);
  state.SetItemsProcessed(static_cast<std::int64_t>(records));
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["records_per_s"] = Counter(records, Counter::kIsRate);
  state.counters["bytes_per_record"] = bytes / records;
  state.counters["records_per_change"] = records / (static_cast<double>(state.iterations()) * kStatistics);
}
BENCHMARK(BM_ImmediateRecords);

// 1b. The dirty-bit path: a log that is not roomy (not connected) takes no
// record, so every change sets a bit; then one pass writes each dirty
// statistic once. The argument is how often each statistic changes before
// the pass.
void BM_DirtyBitPass(benchmark::State& state) {
  auto conn = Connection::ConnectionIs();
  Out& out = *conn->out();
  auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("stats");
  attach(stats, conn->out());
  unsigned n = 0;
  changeAll(*stats, ++n);
  drain(out);
  auto const changesPerPass = static_cast<int>(state.range(0));
  std::uint64_t const records0 = out.recordsWritten();
  std::uint64_t const bytes0 = out.bytesWritten();
  for (auto _ : state) {
    out.isConnectedIs(false);
    for (int k = 0; k < changesPerPass; ++k) changeAll(*stats, ++n);
    out.isConnectedIs(true);
    conn->flowOutReady();
    drain(out);
  }
  double const iterations = static_cast<double>(state.iterations());
  double const changes = iterations * kStatistics * changesPerPass;
  double const records = static_cast<double>(out.recordsWritten() - records0);
  double const bytes = static_cast<double>(out.bytesWritten() - bytes0);
  state.SetItemsProcessed(static_cast<std::int64_t>(changes));
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["changes_per_s"] = Counter(changes, Counter::kIsRate);
  state.counters["records_per_s"] = Counter(records, Counter::kIsRate);
  state.counters["records_per_pass"] = records / iterations;
  state.counters["bytes_per_record"] = bytes / records;
}
BENCHMARK(BM_DirtyBitPass)->ArgName("changes_per_statistic")->Arg(1)->Arg(10)->Arg(100);

// 2. One changed statistic: no adapter; no adapter plus a memcpy of the
// record's real bytes into a 1 MiB buffer; with an adapter on a roomy log.
void BM_ChangeNoAdapter(benchmark::State& state) {
  auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("stats");
  unsigned n = 0;
  for (auto _ : state) stats->crcErrorsIs(bumped(EventOrCountStat(), ++n));
}
BENCHMARK(BM_ChangeNoAdapter);

void BM_ChangeNoAdapterPlusMemcpy(benchmark::State& state) {
  auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("stats");
  std::vector<unsigned char> const& record = wireSample().crcRecord;
  std::size_t const size = record.size();
  std::vector<unsigned char> buffer(Out::kDefaultCapacity);
  benchmark::DoNotOptimize(buffer.data());
  std::size_t at = 0;
  unsigned n = 0;
  for (auto _ : state) {
    stats->crcErrorsIs(bumped(EventOrCountStat(), ++n));
    if (buffer.size() - at < size) at = 0;
    std::memcpy(buffer.data() + at, record.data(), size);
    at += size;
    benchmark::ClobberMemory();
  }
  state.counters["record_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_ChangeNoAdapterPlusMemcpy);

void BM_ChangeWithAdapter(benchmark::State& state) {
  auto conn = Connection::ConnectionIs();
  Out& out = *conn->out();
  auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("stats");
  attach(stats, conn->out());
  unsigned n = 0;
  stats->crcErrorsIs(bumped(EventOrCountStat(), ++n));
  drain(out);
  std::uint64_t const records0 = out.recordsWritten();
  std::uint64_t const bytes0 = out.bytesWritten();
  for (auto _ : state) {
    stats->crcErrorsIs(bumped(EventOrCountStat(), ++n));
    if (!out.isRoomy()) drain(out);
  }
  double const records = static_cast<double>(out.recordsWritten() - records0);
  state.counters["bytes_per_record"] = static_cast<double>(out.bytesWritten() - bytes0) / records;
  state.counters["records_per_change"] = records / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ChangeWithAdapter);

// 3. A burst: 48 ports x 42 statistics, `writes` changes to each, while the
// reader is stalled (nothing drained). Timed: the burst alone. Then the
// reader takes what was written and catches up; every record of the passes
// after that is counted per statistic.
class BurstReader {
 public:
  // Takes every finished frame of `out`; with `counting`, per statistic.
  void take(Out& out, bool counting) {
    std::span<unsigned char const> bytes = out.bytes();
    std::size_t at = 0;
    while (at < bytes.size()) {
      auto r = reader_.next(bytes.subspan(at), offset_ + at);
      if (r.status != Zef::NboAttrLog::FrameReader::Status::frame) {
        bad = true;
        break;
      }
      at += r.frame.size;
      if (counting && r.frame.kind == Zef::NboAttrLog::FrameKind::attribute && r.frame.header.entityId != 1) {
        ++perStatistic[r.frame.header.entityId << 16 | std::uint64_t(r.frame.header.attributeId)];
        ++counted;
      }
    }
    offset_ += at;
    out.bytesConsumed(at);
  }
  std::unordered_map<std::uint64_t, unsigned> perStatistic;
  std::uint64_t counted = 0;
  bool bad = false;

 private:
  Zef::NboAttrLog::FrameReader reader_;
  std::size_t offset_ = 0;
};

double heapInUse() { return static_cast<double>(mallinfo2().uordblks); }

void BM_BurstStalledReader(benchmark::State& state) {
  auto const writes = static_cast<unsigned>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    {
      auto conn = Connection::ConnectionIs();
      Out& out = *conn->out();
      BurstReader reader;
      std::vector<Ptr<PhyBcm54980Stats>> ports;
      for (int p = 0; p < kPorts; ++p) {
        ports.push_back(PhyBcm54980Stats::PhyBcm54980StatsIs(Zef::format("port%d", p)));
        attach(ports.back(), conn->out());
      }
      // Announced and read: the stall starts from an empty buffer.
      for (auto& s : ports) changeAll(*s, 1);
      reader.take(out, false);
      std::size_t const poolBefore = Zef::ZefMemPool::bytesInUse();
      double const heapBefore = heapInUse();
      std::uint64_t const records0 = out.recordsWritten();
      std::size_t poolHalfway = 0;
      double heapHalfway = 0;
      state.ResumeTiming();
      for (unsigned w = 0; w < writes; ++w) {
        for (auto& s : ports) changeAll(*s, w + 2);
        // Read once, long after the buffer filled: later changes must add nothing.
        if (w == writes / 2) {
          poolHalfway = Zef::ZefMemPool::bytesInUse();
          heapHalfway = heapInUse();
        }
      }
      state.PauseTiming();
      std::size_t const poolAfter = Zef::ZefMemPool::bytesInUse();
      double const heapAfter = heapInUse();
      std::uint64_t const duringBurst = out.recordsWritten() - records0;
      bool const roomyAfter = out.isRoomy();
      // The reader catches up.
      reader.take(out, false);
      std::uint64_t const beforeCatchUp = out.recordsWritten();
      while (conn->flowOutReady() || out.size()) reader.take(out, true);
      unsigned maxPerStatistic = 0;
      for (auto const& [key, count] : reader.perStatistic) maxPerStatistic = std::max(maxPerStatistic, count);

      state.counters["changes"] = static_cast<double>(writes) * kPorts * kStatistics;
      state.counters["records_during_burst"] = static_cast<double>(duringBurst);
      state.counters["records_after_catch_up"] = static_cast<double>(out.recordsWritten() - beforeCatchUp);
      state.counters["statistics_sent_after"] = static_cast<double>(reader.perStatistic.size());
      state.counters["max_records_per_statistic_after"] = maxPerStatistic;
      state.counters["log_roomy_after_burst"] = roomyAfter;
      state.counters["frames_unreadable"] = reader.bad;
      state.counters["pool_bytes_before"] = static_cast<double>(poolBefore);
      state.counters["pool_bytes_after"] = static_cast<double>(poolAfter);
      state.counters["pool_growth"] = static_cast<double>(poolAfter) - static_cast<double>(poolBefore);
      state.counters["pool_growth_2nd_half"] = static_cast<double>(poolAfter) - static_cast<double>(poolHalfway);
      state.counters["heap_growth"] = heapAfter - heapBefore;
      state.counters["heap_growth_2nd_half"] = heapAfter - heapHalfway;
    }
    state.ResumeTiming();
  }
  state.counters["changes_per_s"] =
      Counter(static_cast<double>(state.iterations()) * writes * kPorts * kStatistics, Counter::kIsRate);
}
BENCHMARK(BM_BurstStalledReader)->ArgName("writes")->Arg(100)->Arg(500)->Unit(benchmark::kMillisecond);

// 4. memcpy of the bytes the 42 records of one change of every statistic
// take, into a 1 MiB buffer: record by record at their real sizes, or as one
// block.
void BM_MemcpyRecordBytes(benchmark::State& state) {
  WireSample const& w = wireSample();
  bool const perRecord = state.range(0);
  std::vector<unsigned char> buffer(Out::kDefaultCapacity);
  benchmark::DoNotOptimize(buffer.data());
  std::size_t const total = w.allStatistics.size();
  std::size_t at = 0;
  for (auto _ : state) {
    if (buffer.size() - at < total) at = 0;
    if (perRecord) {
      unsigned char const* from = w.allStatistics.data();
      for (std::size_t n : w.allStatisticsFrames) {
        std::memcpy(buffer.data() + at, from, n);
        from += n;
        at += n;
      }
    } else {
      std::memcpy(buffer.data() + at, w.allStatistics.data(), total);
      at += total;
    }
    benchmark::ClobberMemory();
  }
  double const records = static_cast<double>(state.iterations()) * static_cast<double>(w.allStatisticsFrames.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total));
  state.counters["records_per_s"] = Counter(records, Counter::kIsRate);
  state.counters["bytes_per_record"] = static_cast<double>(total) / static_cast<double>(w.allStatisticsFrames.size());
}
BENCHMARK(BM_MemcpyRecordBytes)->ArgName("per_record")->Arg(1)->Arg(0);

// 6. A first synchronisation of 1024 ports' statistics, each side alone:
// the writer's full passes into a log the reader always empties, and the
// mount applying the same bytes (announcements, entities made by type name,
// every value). Together they bound how fast a resync can go.
constexpr int kSyncPorts = 1024;

std::vector<Ptr<PhyBcm54980Stats>> syncTable() {
  std::vector<Ptr<PhyBcm54980Stats>> table;
  for (int p = 0; p < kSyncPorts; ++p) {
    auto s = PhyBcm54980Stats::PhyBcm54980StatsIs("port" + std::to_string(p));
    changeAll(*s, unsigned(p + 1));
    table.push_back(s);
  }
  return table;
}

// The writer's bytes, drained into `sink` as they are made, in chunks of
// the size a socket transport takes once a first synchronisation is under
// way: a writer never drained would grow its buffer to the capacity,
// copying it at each step, which no real agent does.
std::size_t firstSyncBytes(std::vector<Ptr<PhyBcm54980Stats>> const& table, std::vector<unsigned char>* sink) {
  auto conn = Connection::ConnectionIs();
  conn->roleIs(Connection::Role::agent);
  conn->demuxer()->writeChunkIs(Out::kInitialAllocation / 2);
  for (auto const& s : table) conn->rootIs(s);
  std::size_t total = 0;
  for (;;) {
    bool const more = conn->flowOutReady();
    auto bytes = conn->out()->bytes();
    if (sink) sink->insert(sink->end(), bytes.begin(), bytes.end());
    total += bytes.size();
    conn->out()->bytesConsumed(bytes.size());
    if (!more && conn->out()->size() == 0) break;
  }
  return total;
}

void BM_FirstSyncWriter(benchmark::State& state) {
  auto table = syncTable();
  std::size_t bytes = 0;
  for (auto _ : state) bytes = firstSyncBytes(table, nullptr);
  double const fields = double(kSyncPorts) * kStatistics;
  state.counters["bytes_per_field"] = double(bytes) / fields;
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * fields));
}
BENCHMARK(BM_FirstSyncWriter)->Unit(benchmark::kMillisecond);

void BM_FirstSyncMount(benchmark::State& state) {
  std::vector<unsigned char> wire;
  firstSyncBytes(syncTable(), &wire);
  for (auto _ : state) {
    Ptr<Connection> conn = Connection::ConnectionIs();
    conn->roleIs(Connection::Role::mount);
    conn->bytesReceived(wire);
    if (!conn->isSynced() || conn->framesRefused() != 0) state.SkipWithError("the mount did not synchronise");
    state.PauseTiming();
    conn->closedIs("done");
    conn = nullptr;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSyncPorts * kStatistics));
}
BENCHMARK(BM_FirstSyncMount)->Unit(benchmark::kMillisecond);

// Keeps, per benchmark, the median CPU time per iteration (or the single
// run's without repetitions) and its counters, for the closing ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(std::vector<Run> const& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (auto const& r : runs) {
      if (r.error_occurred) continue;
      bool const median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      bool const single = r.run_type == Run::RT_Iteration && r.repetitions <= 1;
      if (!median && !single) continue;
      sawMedian_ |= median;
      std::string name = r.run_name.function_name + (r.run_name.args.empty() ? "" : "/" + r.run_name.args);
      Figure& f = figures_[name];
      f.seconds = r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
      for (auto const& [key, counter] : r.counters) f.counters[key] = counter.value;
    }
  }

  void summary() const {
    std::printf("\nRatios (%s CPU time per iteration):\n", anyMedian() ? "median" : "single-run");
    Figure const* none = find("BM_ChangeNoAdapter");
    Figure const* copy = find("BM_ChangeNoAdapterPlusMemcpy");
    Figure const* with = find("BM_ChangeWithAdapter");
    if (none && copy && with) {
      std::printf("  one changed statistic: no adapter %.1f ns, + memcpy of %.0f bytes %.1f ns, with adapter %.1f ns\n",
                  none->seconds * 1e9, copy->counter("record_bytes"), copy->seconds * 1e9, with->seconds * 1e9);
      std::printf("  with adapter / (no adapter + memcpy) = %.2f (aim: at most 2)\n", with->seconds / copy->seconds);
      std::printf("  with adapter / no adapter            = %.2f\n", with->seconds / none->seconds);
    }
    Figure const* imm = find("BM_ImmediateRecords");
    Figure const* cpy = find("BM_MemcpyRecordBytes/per_record:1");
    Figure const* blk = find("BM_MemcpyRecordBytes/per_record:0");
    if (imm && cpy) {
      std::printf("  immediate path: %.3g records/s at %.1f bytes/record; memcpy of the same records %.3g records/s:"
                  " %.1fx slower\n",
                  imm->counter("records_per_s"), imm->counter("bytes_per_record"), cpy->counter("records_per_s"),
                  cpy->counter("records_per_s") / imm->counter("records_per_s"));
    }
    if (imm && blk) {
      std::printf("  immediate path vs one-block memcpy of the same bytes: %.1fx slower\n",
                  blk->counter("records_per_s") / imm->counter("records_per_s"));
    }
    for (char const* arg : {"100", "500"}) {
      if (Figure const* b = find(std::string("BM_BurstStalledReader/writes:") + arg)) {
        std::printf("  burst of %.0f changes (%s per statistic): %.0f records during it, %.0f after the reader caught"
                    " up for %.0f statistics (at most %.0f each); pool %+.0f bytes (%+.0f in its second half),"
                    " heap %+.0f bytes (%+.0f)\n",
                    b->counter("changes"), arg, b->counter("records_during_burst"),
                    b->counter("records_after_catch_up"), b->counter("statistics_sent_after"),
                    b->counter("max_records_per_statistic_after"), b->counter("pool_growth"),
                    b->counter("pool_growth_2nd_half"), b->counter("heap_growth"), b->counter("heap_growth_2nd_half"));
      }
    }
    for (char const* arg : {"1", "10", "100"}) {
      if (Figure const* d = find(std::string("BM_DirtyBitPass/changes_per_statistic:") + arg)) {
        std::printf("  dirty bits, %s change(s) per statistic per pass: %.3g changes/s, %.3g records/s,"
                    " %.0f records per pass\n",
                    arg, d->counter("changes_per_s"), d->counter("records_per_s"), d->counter("records_per_pass"));
      }
    }
  }

 private:
  struct Figure {
    double seconds = 0;
    std::map<std::string, double> counters;
    double counter(std::string const& k) const {
      auto it = counters.find(k);
      return it == counters.end() ? 0 : it->second;
    }
  };
  Figure const* find(std::string const& name) const {
    auto it = figures_.find(name);
    return it == figures_.end() ? nullptr : &it->second;
  }
  bool anyMedian() const { return sawMedian_; }

  std::map<std::string, Figure> figures_;
  bool sawMedian_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.summary();
  benchmark::Shutdown();
  return 0;
}
