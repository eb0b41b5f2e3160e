// The bytes of a whole first synchronisation of a 48-port driver, against a
// recording kept in the tree: any change to the record format, the order in
// which entities and attributes go out, or a value's encoding shows here.
// Run with PHY_UPDATE_GOLDEN=1 to record again after a deliberate change.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/attrlog/connection.h"
#include "sim/phy_sim.h"

namespace {

using namespace phytools;

std::string const kGolden = std::string(PHY_GOLDEN_DIR) + "/full_sync_48.hex";

// What the agent's end writes until both ends are quiet; the mount's
// bytes are delivered too, so that the exchange is the real one.
std::vector<unsigned char> recordedSync() {
  PhyDriver driver(6, 8);
  ChipSimulator sim(Scenario::noisy, 5, driver.ports());
  for (std::uint64_t poll = 0; poll < 3; ++poll) driver.poll(sim, poll, 100.0 + double(poll));
  Zef::NboAttrLog::MemoryPair pair(64 * 1024);
  pair.a()->roleIs(Zef::NboAttrLog::Connection::Role::agent);
  pair.b()->roleIs(Zef::NboAttrLog::Connection::Role::mount);
  Zef::Ptr<Hardware::Phy::PhyBcm54980StatusDir> mounted;
  pair.b()->onMountedIs([&](Zef::Ptr<Zef::Entity> const& e) {
    if (auto* d = dynamic_cast<Hardware::Phy::PhyBcm54980StatusDir*>(e.ptr())) mounted = Zef::Ptr<Hardware::Phy::PhyBcm54980StatusDir>(d);
  });
  for (auto const& r : driver.roots()) pair.a()->rootIs(r);
  std::vector<unsigned char> wire;
  for (int turn = 0; turn < 100000; ++turn) {
    auto toB = pair.a()->out()->bytes();
    std::vector<unsigned char> chunk(toB.begin(), toB.end());
    pair.a()->out()->bytesConsumed(chunk.size());
    wire.insert(wire.end(), chunk.begin(), chunk.end());
    pair.b()->bytesReceived(chunk);
    auto toA = pair.b()->out()->bytes();
    std::vector<unsigned char> back(toA.begin(), toA.end());
    pair.b()->out()->bytesConsumed(back.size());
    pair.a()->bytesReceived(back);
    pair.a()->flowOutReady();
    pair.b()->flowOutReady();
    if (chunk.empty() && back.empty() && pair.a()->out()->size() == 0 && pair.b()->out()->size() == 0) break;
  }
  EXPECT_TRUE(pair.b()->isSynced());
  EXPECT_EQ(pair.b()->framesRefused(), 0u) << pair.b()->lastRefusal();
  // The recording is of a synchronisation that worked.
  if (mounted) {
    EXPECT_EQ(comparisonLine(compareDumps(dumpLines(*driver.statuses()), dumpLines(*mounted))),
              "48 ports, 2016 statistics, 0 differences");
  } else {
    ADD_FAILURE() << "the status directory was never mounted";
  }
  return wire;
}

std::string hexLines(std::vector<unsigned char> const& bytes) {
  std::string out;
  char b[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(b, sizeof b, "%02x", bytes[i]);
    out += b;
    if (i % 32 == 31 || i + 1 == bytes.size()) out += '\n';
  }
  return out;
}

TEST(FullSyncGolden, A48PortDriverSynchronisesToTheRecordedBytes) {
  std::string produced = hexLines(recordedSync());
  ASSERT_GT(produced.size(), 1000u);
  EXPECT_EQ(produced, hexLines(recordedSync())) << "two runs of the same driver wrote different bytes";
  if (std::getenv("PHY_UPDATE_GOLDEN")) {
    std::ofstream(kGolden) << produced;
    GTEST_SKIP() << "recorded " << kGolden;
  }
  std::ifstream in(kGolden);
  ASSERT_TRUE(in) << "no recording at " << kGolden;
  std::stringstream recorded;
  recorded << in.rdbuf();
  std::string expected = recorded.str();
  if (produced == expected) return;
  // Where they part, as a line of the recording (32 bytes a line).
  std::size_t at = 0;
  while (at < produced.size() && at < expected.size() && produced[at] == expected[at]) ++at;
  std::size_t line = std::count(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(at), '\n');
  ADD_FAILURE() << "the synchronisation differs from the recording from byte " << line * 32 << " (line " << line + 1
                << "); " << produced.size() / 65 * 32 << " bytes written, " << expected.size() / 65 * 32
                << " recorded";
}

}  // namespace
