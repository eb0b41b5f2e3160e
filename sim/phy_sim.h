// The simulated BCM54980 chips of phyagent, and the text form of a port's
// statistics that phyagent dumps and phymount prints and checks.
//
// A PhyDriver keeps its state as the real driver does: chip configurations,
// port configurations with their WEXA descriptors, status entities with
// their statistics, and the two reference directories. Each poll reads
// every port's simulated registers and stores what it read through the
// mutators, so that the directories' reactors (and every mount) hear it.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "model/phy_bcm54980_dirs.h"
#include "model/phy_bcm54980_ptr_dirs.h"

namespace phytools {

enum class Scenario { quiet, noisy, flap, storm };

// "quiet", "noisy", "flap" or "storm"; false for anything else.
bool scenarioFromText(std::string const& text, Scenario* out);

// What one poll read from one port's registers. Counters are the chip's
// clear-on-read counts since the previous read.
struct RegisterRead {
  bool linkUp = false;
  Interface::EthSpeed speed = Interface::speedUnknown;
  bool fullDuplex = false;
  bool mdix = false;
  bool mdixChanged = false;  // latched: the pair swap changed since the last read
  bool energy = false;
  bool energyChanged = false;  // latched energy-detect change
  bool sgmiiSync = false;
  bool sgmiiLink = false;
  bool remoteFault = false;
  std::uint32_t crcErrors = 0;
  std::uint32_t falseCarriers = 0;
  std::uint32_t rxErrors = 0;
  std::uint32_t txErrors = 0;
};

// The copper side of every port as the chips see it, moved by a scenario
// and a seed: the same scenario and seed give the same reads.
class ChipSimulator {
 public:
  ChipSimulator(Scenario scenario, std::uint32_t seed, unsigned ports);
  // Reads port `port`'s registers at poll number `poll`.
  RegisterRead read(unsigned port, std::uint64_t poll);
  unsigned ports() const { return static_cast<unsigned>(ports_.size()); }

 private:
  struct Wire {
    bool linkUp = true;
    Interface::EthSpeed speed = Interface::speed1Gbps;
    bool fullDuplex = true;
    bool mdix = false;
  };
  std::uint32_t errors(double probability, std::uint32_t burst);
  void linkChange(Wire& w, bool up, RegisterRead& r);

  Scenario scenario_;
  std::mt19937 rng_;
  std::vector<Wire> ports_;
};

// "chip<c>/port<p>": the key of a port in every directory.
std::string portName(unsigned chip, unsigned port);

class PhyDriver {
 public:
  PhyDriver(unsigned chips, unsigned portsPerChip);

  // Stores one read of `status` at time `now`, through the mutators.
  static void observe(Hardware::Phy::PhyBcm54980Status& status, RegisterRead const& r, Zef::Seconds now);

  // One poll: every port read from `sim` and observed.
  void poll(ChipSimulator& sim, std::uint64_t poll, Zef::Seconds now);

  // The five roots a connection serves.
  std::vector<Zef::Ptr<Zef::Entity>> roots() const;
  Zef::Ptr<Hardware::Phy::PhyBcm54980StatusDir> const& statuses() const { return statuses_; }
  unsigned ports() const { return chips_ * portsPerChip_; }

 private:
  unsigned chips_;
  unsigned portsPerChip_;
  Zef::Ptr<Hardware::Phy::PhyBcm54980ChipConfigDir> chipConfigs_;
  Zef::Ptr<Hardware::Phy::PhyBcm54980ConfigDir> configs_;
  Zef::Ptr<Hardware::Phy::PhyBcm54980StatusDir> statuses_;
  Zef::Ptr<Hardware::Phy::PhyBcm54980ConfigPtrDir> activeConfigs_;
  Zef::Ptr<Hardware::Phy::PhyBcm54980StatusPtrDir> activeStatuses_;
};

// Every statistic of every port with its statistics entity, as
// "PORT STATISTIC VALUE" in the values' text form, sorted.
std::vector<std::string> dumpLines(Hardware::Phy::PhyBcm54980StatusDir& statuses);

// Two dumps compared line by line, by port and statistic.
struct Comparison {
  std::size_t ports = 0;       // ports in the expected dump
  std::size_t statistics = 0;  // statistics in the expected dump
  std::size_t differences = 0; // keys missing, extra or with another value
  std::vector<std::string> firstDifferences;  // a few, for the report
};
Comparison compareDumps(std::vector<std::string> const& expected, std::vector<std::string> const& actual);
std::string comparisonLine(Comparison const& c);

}  // namespace phytools
