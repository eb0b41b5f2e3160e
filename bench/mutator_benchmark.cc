// The cost of an entity mutator: unchanged value, changed value without
// reactors, and dispatch to 1 and 8 reactors. Baselines in the same run: a
// loop over a vector of std::function<void()>, and boost::signals2.
#include <benchmark/benchmark.h>

#include <boost/signals2/signal.hpp>
#include <atomic>
#include <functional>
#include <vector>

#include "model/phy_bcm54980_chip_config.h"

namespace {

using Hardware::Phy::PhyBcm54980ChipConfig;
using Zef::Ptr;

class CountingReactor : public PhyBcm54980ChipConfig::Notifiee {
 public:
  void onReset() override { benchmark::DoNotOptimize(++calls); }
  std::uint64_t calls = 0;
};

struct Fixture {
  explicit Fixture(int reactors) {
    for (int i = 0; i < reactors; ++i) {
      Ptr<CountingReactor> r(new CountingReactor(), Zef::adoptRef);
      r->isRegisteredNotifieeIs(true);
      r->notifierIs(chip);
      this->reactors.push_back(r);
    }
  }
  Ptr<PhyBcm54980ChipConfig> chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  Ptr<Fru::Gpo> a = Fru::Gpo::GpoIs("a");
  Ptr<Fru::Gpo> b = Fru::Gpo::GpoIs("b");
  std::vector<Ptr<CountingReactor>> reactors;
};

void BM_MutatorUnchanged(benchmark::State& state) {
  Fixture f(1);
  f.chip->resetIs(f.a);
  for (auto _ : state) {
    f.chip->resetIs(f.a);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_MutatorUnchanged);

// The floor for the unchanged case: comparing two pointers in memory.
void BM_BaselineCompareOnly(benchmark::State& state) {
  Fixture f(0);
  Fru::Gpo* stored = f.a.ptr();
  Fru::Gpo* incoming = f.a.ptr();
  for (auto _ : state) {
    benchmark::DoNotOptimize(stored);
    benchmark::DoNotOptimize(incoming);
    if (stored != incoming) stored = incoming;
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_BaselineCompareOnly);

void BM_MutatorChanged(benchmark::State& state) {
  Fixture f(static_cast<int>(state.range(0)));
  bool flip = false;
  for (auto _ : state) {
    f.chip->resetIs(flip ? f.a : f.b);
    flip = !flip;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MutatorChanged)->Arg(0)->Arg(1)->Arg(8);

// The same with a plain value attribute, where storing costs no reference
// count: what remains is the dispatch itself.
class IntCtrlReactor : public Fru::IntCtrl::Notifiee {
 public:
  void onPending() override { benchmark::DoNotOptimize(++calls); }
  std::uint64_t calls = 0;
};

void BM_ValueMutatorChanged(benchmark::State& state) {
  Ptr<Fru::IntCtrl> irq = Fru::IntCtrl::IntCtrlIs("irq");
  std::vector<Ptr<IntCtrlReactor>> reactors;
  for (int i = 0; i < state.range(0); ++i) {
    Ptr<IntCtrlReactor> r(new IntCtrlReactor(), Zef::adoptRef);
    r->isRegisteredNotifieeIs(true);
    r->notifierIs(irq);
    reactors.push_back(r);
  }
  unsigned int v = 0;
  for (auto _ : state) irq->pendingIs(++v);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ValueMutatorChanged)->Arg(0)->Arg(1)->Arg(8)->Arg(16);

// The floor of a counted snapshot: one atomic increment and one atomic
// decrement per reactor, as taking and releasing the snapshot's reference does.
void BM_BaselineTwoAtomics(benchmark::State& state) {
  std::atomic<std::uint32_t> word{1};
  for (auto _ : state) {
    word.fetch_add(1, std::memory_order_relaxed);
    benchmark::DoNotOptimize(word.fetch_sub(1, std::memory_order_acq_rel));
  }
}
BENCHMARK(BM_BaselineTwoAtomics);

void BM_BaselineStdFunction(benchmark::State& state) {
  std::uint64_t calls = 0;
  std::vector<std::function<void()>> slots;
  for (int i = 0; i < state.range(0); ++i) slots.emplace_back([&calls] { benchmark::DoNotOptimize(++calls); });
  for (auto _ : state) {
    for (auto const& s : slots) s();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BaselineStdFunction)->Arg(1)->Arg(8);

void BM_BaselineSignals2(benchmark::State& state) {
  std::uint64_t calls = 0;
  boost::signals2::signal<void()> signal;
  for (int i = 0; i < state.range(0); ++i) signal.connect([&calls] { benchmark::DoNotOptimize(++calls); });
  for (auto _ : state) signal();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BaselineSignals2)->Arg(1)->Arg(8);

}  // namespace
