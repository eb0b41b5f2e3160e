// Serves a status directory with known values on 127.0.0.1 for a real
// Prometheus to scrape: prints "port N" once listening, then renders once a
// second as a mount would, until SIGTERM/SIGINT or the time limit.
//   metrics_serve [SECONDS]   (default 60)
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>

#include "model/phy_bcm54980_dirs.h"
#include "tools/mount_metrics.h"

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int) { stopRequested = true; }

}  // namespace

int main(int argc, char** argv) {
  using namespace Hardware::Phy;
  try {
    double const limit = argc > 1 ? std::atof(argv[1]) : 60.0;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);

    auto device = Hardware::Mdio::Device::DeviceIs("mdio0");
    auto wexa = MdioWexa::WexaDesc::WexaDescIs("w", device, Hardware::XoltAccelId{0}, Hardware::Mdio::BusId{0},
                                               Hardware::Mdio::PortAddr{1}, MdioClient::clause22,
                                               Hardware::XoltAgentId{0});
    auto config = PhyConfig::PhyConfigIs("c", wexa, "api", "1");
    auto intf = Interface::EthPhyIntfStatus::EthPhyIntfStatusIs("et1");
    auto dir = PhyBcm54980StatusDir::PhyBcm54980StatusDirIs("status");

    auto port1 = dir->phyStatusIs("chip0/port1", mdioClause22, config, intf);
    port1->linkUpIs(true);
    port1->speedIs(Interface::speed1Gbps);
    port1->fullDuplexIs(true);
    auto stats1 = port1->bcmStatsIs("stats");
    EventOrCountStat crc = stats1->crcErrors();
    // Two observations, as a driver reports them: 10 counted, then 7.
    EventOrCount seen;
    seen.countIs(10);
    seen.whenIs(1.0);
    crc.updateIs(seen);
    seen.countIs(7);
    seen.whenIs(2.0);
    crc.updateIs(seen);
    stats1->crcErrorsIs(crc);
    ConditionStat link;
    link.currentIs(U1(1));
    link.changesIs(3);
    stats1->linkStateIs(link);

    auto port2 = dir->phyStatusIs("chip0/port2", mdioClause22, config, intf);
    port2->bcmStatsIs("stats");

    MountMetrics::MountHealth health{true, true, 0, 0, 0};
    MountMetrics::MetricsServer server("127.0.0.1", 0);
    server.textIs(MountMetrics::prometheusText(dir, health));
    server.start();
    std::printf("port %d\n", server.port());
    std::fflush(stdout);

    auto const start = std::chrono::steady_clock::now();
    auto last = start;
    while (!stopRequested) {
      auto const now = std::chrono::steady_clock::now();
      if (std::chrono::duration<double>(now - start).count() >= limit) break;
      if (now - last >= std::chrono::seconds(1)) {
        last = now;
        ++health.recordsApplied;
        server.textIs(MountMetrics::prometheusText(dir, health));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    server.stop();
    return 0;
  } catch (std::exception const& e) {
    std::fprintf(stderr, "metrics_serve: %s\n", e.what());
    return 1;
  }
}
