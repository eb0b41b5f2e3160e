// Trace handles: a facility name and levels. Which facilities and levels are
// on, and where records go, is configured here by the process, never by the
// library that traces.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>

#include "runtime/object/string8.h"

namespace Zef {

class TraceHandle {
 public:
  explicit TraceHandle(String8 facility);
  virtual ~TraceHandle();
  TraceHandle(TraceHandle const&) = delete;
  TraceHandle& operator=(TraceHandle const&) = delete;

  // The text the handle gives for itself in every record.
  virtual String8 text() const { return facility_; }
  bool enabled(int level) const {
    return level >= 0 && level < 32 && (levels_->load(std::memory_order_relaxed) >> level) & 1u;
  }

 private:
  String8 facility_;
  std::atomic<std::uint32_t> const* levels_;
};

namespace Trace {
// Switches one level of a facility on or off, for handles made before or after.
void levelIs(String8 const& facility, int level, bool on);
// Where records go; null restores the default, standard error.
void sinkIs(std::ostream* sink);
}  // namespace Trace

// The coverage stream, null unless the process sets one.
std::ostream* _coverageStream();
void coverageStreamIs(std::ostream* stream);

// Makes a message safe for a one-line record: control characters and
// backslashes are escaped (appendEscaped's plain style).
String8 escapedTraceString(String8 const& message);

void formatAndWriteTraceString(String8 const& handleText, char const* file, int line, char const* function,
                               char const* context, String8 const& message, int level);

}  // namespace Zef
