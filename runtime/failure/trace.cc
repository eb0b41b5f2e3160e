#include "runtime/failure/trace.h"

#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "runtime/failure/escape.h"

namespace Zef {

namespace {
struct TraceState {
  std::mutex mutex;  // guards the facility table only; handles read their word
  std::map<std::string, std::unique_ptr<std::atomic<std::uint32_t>>> facilities;
  std::ostream* sink = nullptr;
  std::ostream* coverage = nullptr;
};

TraceState& state() {
  static auto* s = new TraceState();  // outlives every static handle
  return *s;
}

std::atomic<std::uint32_t>* levelsOf(String8 const& facility) {
  TraceState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto& slot = s.facilities[facility.str()];
  if (!slot) slot = std::make_unique<std::atomic<std::uint32_t>>(0);
  return slot.get();
}
}  // namespace

TraceHandle::TraceHandle(String8 facility) : facility_(std::move(facility)), levels_(levelsOf(facility_)) {}
TraceHandle::~TraceHandle() = default;

void Trace::levelIs(String8 const& facility, int level, bool on) {
  if (level < 0 || level >= 32) return;
  std::uint32_t bit = 1u << level;
  if (on) levelsOf(facility)->fetch_or(bit);
  else levelsOf(facility)->fetch_and(~bit);
}

void Trace::sinkIs(std::ostream* sink) { state().sink = sink; }

std::ostream* _coverageStream() { return state().coverage; }
void coverageStreamIs(std::ostream* stream) { state().coverage = stream; }

String8 escapedTraceString(String8 const& message) {
  std::string out;
  out.reserve(message.size());
  appendEscaped(out, message.view());
  return String8(std::move(out));
}

void formatAndWriteTraceString(String8 const& handleText, char const* file, int line, char const* function,
                               char const* context, String8 const& message, int level) {
  std::ostringstream record;
  record << handleText << " L" << level << ' ' << file << ':' << line << ' ' << function << ' ' << context << ": "
         << message << '\n';
  std::ostream* sink = state().sink ? state().sink : &std::cerr;
  *sink << record.str();
}

}  // namespace Zef
