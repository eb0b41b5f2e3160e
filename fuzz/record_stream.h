// A writer's state served to a mount in memory: the starting point of the
// record reader's fuzz target, and of its seed files.
#pragma once

#include "model/phy_bcm54980_chip_config.h"
#include "model/phy_bcm54980_config.h"
#include "model/phy_bcm54980_dirs.h"
#include "model/phy_bcm54980_stats.h"
#include "model/phy_bcm54980_status.h"
#include "runtime/attrlog.h"

namespace phyfuzz {

inline Hardware::Phy::EventOrCountStat crcAfter(unsigned n) {
  Hardware::Phy::EventOrCountStat s;
  s.countIs(n);
  s.lastIs(1000.0 + n);
  return s;
}

// The writer serves as an agent does, to a mount that reads as phymount
// does.
struct ServedState {
  ServedState() {
    pair.a()->roleIs(Zef::NboAttrLog::Connection::Role::agent);
    pair.b()->roleIs(Zef::NboAttrLog::Connection::Role::mount);
    using namespace Hardware::Phy;
    chip->resetIs(Fru::Gpo::GpoIs("gpo1"));
    auto device = Hardware::Mdio::Device::DeviceIs("mdio0");
    auto wexa = MdioWexa::WexaDesc::WexaDescIs("w1", device, Hardware::XoltAccelId(1), Hardware::Mdio::BusId(2),
                                               Hardware::Mdio::PortAddr(3), MdioClient::clause22,
                                               Hardware::XoltAgentId(4));
    config = PhyBcm54980Config::PhyBcm54980ConfigIs("p1", wexa, "api", "1.0");
    config->phyChipConfigIs(chip);
    stats->crcErrorsIs(crcAfter(1));
    pair.a()->rootIs(chip);
    pair.a()->rootIs(config);
    pair.a()->rootIs(stats);
    // Last, so that the entities above keep the ids the older seeds name:
    // a directory and an owned child, for member and child records.
    dir->phyChipConfigIs("c1");
    status = PhyBcm54980Status::PhyBcm54980StatusIs("s1", mdioClause45, config,
                                                     Interface::EthPhyIntfStatus::EthPhyIntfStatusIs("et1"));
    status->bcmStatsIs("b1");
    pair.a()->rootIs(dir);
    pair.a()->rootIs(status);
    pair.pump();
  }

  Zef::NboAttrLog::MemoryPair pair;
  Zef::Ptr<Hardware::Phy::PhyBcm54980ChipConfig> chip =
      Hardware::Phy::PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  Zef::Ptr<Hardware::Phy::PhyBcm54980Config> config;
  Zef::Ptr<Hardware::Phy::PhyBcm54980Stats> stats = Hardware::Phy::PhyBcm54980Stats::PhyBcm54980StatsIs("port1");
  Zef::Ptr<Hardware::Phy::PhyBcm54980ChipConfigDir> dir =
      Hardware::Phy::PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
  Zef::Ptr<Hardware::Phy::PhyBcm54980Status> status;
};

}  // namespace phyfuzz
