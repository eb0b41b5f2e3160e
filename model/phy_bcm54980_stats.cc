// The one hand-written operation of the statistics entity.
#include "model/phy_bcm54980_stats.h"

#include <ostream>

#include "runtime/failure/trace.h"

namespace Hardware::Phy {

namespace {
Zef::TraceHandle& traceHandle() {
  static Zef::TraceHandle handle("PhyBcm54980");  // built once, thread-safely
  return handle;
}
}  // namespace

void PhyBcm54980Stats::doInitialize() {
  Zef::TraceHandle& handle = traceHandle();
  bool const enabled = handle.enabled(9);
  std::ostream* coverage = Zef::_coverageStream();
  // Nothing to write: build no message either.
  if (!coverage && !enabled) return;
  Zef::String8 message = Zef::escapedTraceString("in PhyBcm54980Stats::handleInitialized");
  if (coverage) *coverage << message << '\n';
  if (enabled) {
    Zef::formatAndWriteTraceString(handle.text(), "model/phy_bcm54980_stats.toml", 161, "doInitialize", "<unknown>",
                                   message, 9);
  }
}

}  // namespace Hardware::Phy
