// The cost of a statistic's attribute-log encoding and text form. Baselines in
// the same run: for the wire, a memcpy of the same bytes; for the text,
// std::to_chars and std::from_chars of the same numbers.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstring>
#include <string>
#include <vector>

#include "values/values.h"

namespace {

using namespace Hardware::Phy;
using Zef::NboAttrLog::In;
using Zef::NboAttrLog::Out;

// A statistic with every field away from zero: a set flag, a six-digit
// counter, a time stamp with a fraction.
template <class S>
S sample() {
  S s;
  Zef::forEachField<S>([&]<class F>(Zef::ValueField<S, F> const& f) {
    if constexpr (std::is_same_v<F, U1>) s.*f.member = U1(1);
    else if constexpr (std::is_same_v<F, U32>) s.*f.member = 123456;
    else s.*f.member = 1712345678.125;
  });
  return s;
}

template <class S>
std::vector<unsigned char> encoded() {
  Zef::Ptr<Out> out = Out::OutIs();
  out << sample<S>();
  return {out->bytes().begin(), out->bytes().end()};
}

template <class S>
void WireWrite(benchmark::State& state) {
  S s = sample<S>();
  Zef::Ptr<Out> out = Out::OutIs();
  for (auto _ : state) {
    out->bytesDelAll();
    out << s;
    benchmark::DoNotOptimize(out->bytes().data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out->size()));
}

template <class S>
void WireWriteMemcpy(benchmark::State& state) {
  std::vector<unsigned char> bytes = encoded<S>();
  unsigned char buffer[64];
  for (auto _ : state) {
    benchmark::DoNotOptimize(bytes.data());
    std::memcpy(buffer, bytes.data(), bytes.size());
    benchmark::DoNotOptimize(buffer);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

template <class S>
void WireRead(benchmark::State& state) {
  std::vector<unsigned char> bytes = encoded<S>();
  for (auto _ : state) {
    benchmark::DoNotOptimize(bytes.data());
    In in(bytes);
    S s(&in, Zef::StreamBogon());
    benchmark::DoNotOptimize(s);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

template <class S>
void WireReadMemcpy(benchmark::State& state) {
  std::vector<unsigned char> bytes = encoded<S>();
  S s;
  for (auto _ : state) {
    benchmark::DoNotOptimize(bytes.data());
    std::memcpy(static_cast<void*>(&s), bytes.data(), std::min(sizeof s, bytes.size()));
    benchmark::DoNotOptimize(s);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

template <class S>
void TextPrint(benchmark::State& state) {
  S s = sample<S>();
  for (auto _ : state) benchmark::DoNotOptimize(valueToStrep(s));
}

// The numbers of the sample, each written with std::to_chars.
template <class S>
void TextPrintToChars(benchmark::State& state) {
  S s = sample<S>();
  char buffer[128];
  for (auto _ : state) {
    char* at = buffer;
    Zef::forEachField<S>([&]<class F>(Zef::ValueField<S, F> const& f) {
      if constexpr (std::is_same_v<F, U1>) at = std::to_chars(at, buffer + sizeof buffer, (s.*f.member).value()).ptr;
      else at = std::to_chars(at, buffer + sizeof buffer, s.*f.member).ptr;
    });
    benchmark::DoNotOptimize(buffer);
    benchmark::ClobberMemory();
  }
}

template <class S>
void TextParse(benchmark::State& state) {
  Zef::String8 text = valueToStrep(sample<S>());
  for (auto _ : state) benchmark::DoNotOptimize(Zef::strepToValue<S>(text));
}

// The texts of the sample's numbers, each read with std::from_chars.
template <class S>
void TextParseFromChars(benchmark::State& state) {
  S s = sample<S>();
  std::vector<std::string> texts;
  Zef::forEachField<S>([&]<class F>(Zef::ValueField<S, F> const& f) {
    if constexpr (std::is_same_v<F, U1>) texts.push_back(std::to_string((s.*f.member).value()));
    else texts.push_back(Zef::valueToStrep(s.*f.member).str());
  });
  for (auto _ : state) {
    std::size_t i = 0;
    S out;
    Zef::forEachField<S>([&]<class F>(Zef::ValueField<S, F> const& f) {
      std::string const& t = texts[i++];
      if constexpr (std::is_same_v<F, U1>) {
        unsigned char b = 0;
        std::from_chars(t.data(), t.data() + t.size(), b);
        out.*f.member = U1(b);
      } else {
        std::from_chars(t.data(), t.data() + t.size(), out.*f.member);
      }
    });
    benchmark::DoNotOptimize(out);
  }
}

template <class S>
void registerStatistic() {
  std::string name = S::zefNames.name;
  benchmark::RegisterBenchmark(("Wire/Write/" + name).c_str(), WireWrite<S>);
  benchmark::RegisterBenchmark(("Wire/WriteMemcpy/" + name).c_str(), WireWriteMemcpy<S>);
  benchmark::RegisterBenchmark(("Wire/Read/" + name).c_str(), WireRead<S>);
  benchmark::RegisterBenchmark(("Wire/ReadMemcpy/" + name).c_str(), WireReadMemcpy<S>);
  benchmark::RegisterBenchmark(("Text/Print/" + name).c_str(), TextPrint<S>);
  benchmark::RegisterBenchmark(("Text/PrintToChars/" + name).c_str(), TextPrintToChars<S>);
  benchmark::RegisterBenchmark(("Text/Parse/" + name).c_str(), TextParse<S>);
  benchmark::RegisterBenchmark(("Text/ParseFromChars/" + name).c_str(), TextParseFromChars<S>);
}

template <class... S>
bool registerStatistics() {
  (registerStatistic<S>(), ...);
  return true;
}

bool const registered = registerStatistics<ConditionStat, EventStat, CountStat, EventOrCountStat,
                                           ConditionOrCountStat, ConditionOrChangedStat>();

}  // namespace
