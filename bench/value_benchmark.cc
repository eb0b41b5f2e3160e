// The cost of a statistic's attribute-log encoding and text form. Baselines in
// the same run: for the wire, a memcpy of the same bytes; for the text, the
// same text written and read by hand with std::to_chars and std::from_chars.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
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

// The baseline writes the very text valueToStrep does, names and separators
// included, into a buffer: memcpy for the fixed parts, std::to_chars for the
// numbers.
template <class S>
char* printByHand(S const& s, char* at, char* end) {
  auto put = [&](char const* text) {
    std::size_t n = std::strlen(text);
    std::memcpy(at, text, n);
    at += n;
  };
  put("Value('");
  put(S::zefNames.fullName);
  put("', ** {");
  char const* separator = "'";
  Zef::forEachField<S>([&]<class F>(Zef::ValueField<S, F> const& f) {
    put(separator);
    put(f.name);
    put("': ");
    if constexpr (std::is_same_v<F, U1>) at = std::to_chars(at, end, (s.*f.member).value()).ptr;
    else at = std::to_chars(at, end, s.*f.member).ptr;
    separator = ", '";
  });
  put("})");
  return at;
}

template <class S>
void TextPrintToChars(benchmark::State& state) {
  S s = sample<S>();
  char buffer[256];
  if (std::string_view(buffer, printByHand(s, buffer, buffer + sizeof buffer)) != valueToStrep(s).view()) {
    state.SkipWithError("the baseline's text differs from valueToStrep's");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(printByHand(s, buffer, buffer + sizeof buffer));
    benchmark::ClobberMemory();
  }
}

template <class S>
void TextParse(benchmark::State& state) {
  Zef::String8 text = valueToStrep(sample<S>());
  for (auto _ : state) benchmark::DoNotOptimize(Zef::strepToValue<S>(text));
}

// The baseline reads the same text, fixed parts checked with memcmp in the
// order valueToStrep writes them, numbers read with std::from_chars.
template <class S>
bool parseByHand(std::string_view text, S& out) {
  char const* at = text.data();
  char const* const end = at + text.size();
  bool ok = true;
  auto need = [&](char const* literal) {
    std::size_t n = std::strlen(literal);
    ok = ok && static_cast<std::size_t>(end - at) >= n && std::memcmp(at, literal, n) == 0;
    if (ok) at += n;
  };
  need("Value('");
  need(S::zefNames.fullName);
  need("', ** {");
  char const* separator = "'";
  Zef::forEachField<S>([&]<class F>(Zef::ValueField<S, F> const& f) {
    need(separator);
    need(f.name);
    need("': ");
    if (!ok) return;
    std::from_chars_result r;
    if constexpr (std::is_same_v<F, U1>) {
      unsigned char b = 0;
      r = std::from_chars(at, end, b);
      out.*f.member = U1(b);
    } else {
      r = std::from_chars(at, end, out.*f.member);
    }
    ok = r.ec == std::errc();
    at = r.ptr;
    separator = ", '";
  });
  need("})");
  return ok && at == end;
}

template <class S>
void TextParseFromChars(benchmark::State& state) {
  Zef::String8 text = valueToStrep(sample<S>());
  S check;
  if (!parseByHand(text.view(), check) || !(check == sample<S>())) {
    state.SkipWithError("the baseline does not read valueToStrep's text back");
    return;
  }
  for (auto _ : state) {
    S out;
    benchmark::DoNotOptimize(text.view().data());
    benchmark::DoNotOptimize(parseByHand(text.view(), out));
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
