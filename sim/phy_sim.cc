#include "sim/phy_sim.h"

#include <algorithm>
#include <map>

#include "runtime/types/generic_if.h"

namespace phytools {

using namespace Hardware::Phy;
using Zef::Ptr;

bool scenarioFromText(std::string const& text, Scenario* out) {
  static std::map<std::string, Scenario> const kNames{
      {"quiet", Scenario::quiet}, {"noisy", Scenario::noisy}, {"flap", Scenario::flap}, {"storm", Scenario::storm}};
  auto it = kNames.find(text);
  if (it == kNames.end()) return false;
  *out = it->second;
  return true;
}

ChipSimulator::ChipSimulator(Scenario scenario, std::uint32_t seed, unsigned ports)
    : scenario_(scenario), rng_(seed), ports_(ports) {}

// With `probability` a poll sees a burst of 1..burst errors.
std::uint32_t ChipSimulator::errors(double probability, std::uint32_t burst) {
  if (std::uniform_real_distribution<double>(0, 1)(rng_) >= probability) return 0;
  return std::uniform_int_distribution<std::uint32_t>(1, burst)(rng_);
}

void ChipSimulator::linkChange(Wire& w, bool up, RegisterRead& r) {
  w.linkUp = up;
  if (!up) return;
  // Autonegotiation again: mostly gigabit, now and then 100M, and the pair
  // assignment may swap.
  w.speed = std::uniform_int_distribution<int>(0, 9)(rng_) == 0 ? Interface::speed100Mbps : Interface::speed1Gbps;
  w.fullDuplex = std::uniform_int_distribution<int>(0, 19)(rng_) != 0;
  bool mdix = std::uniform_int_distribution<int>(0, 1)(rng_) == 1;
  r.mdixChanged = mdix != w.mdix;
  w.mdix = mdix;
}

RegisterRead ChipSimulator::read(unsigned port, std::uint64_t poll) {
  Wire& w = ports_.at(port);
  RegisterRead r;
  bool const wasUp = w.linkUp;
  switch (scenario_) {
    case Scenario::quiet:
      break;
    case Scenario::noisy:
      // About one link drop a port in half an hour of 1 Hz polls; it comes back next poll.
      if (!w.linkUp || errors(0.0005, 1)) linkChange(w, !w.linkUp, r);
      r.crcErrors = errors(0.03, 40);
      r.falseCarriers = errors(0.02, 5);
      r.rxErrors = errors(0.02, 20);
      r.txErrors = errors(0.003, 3);
      r.remoteFault = w.linkUp && errors(0.001, 1);
      break;
    case Scenario::flap:
      if (port == 0) linkChange(w, poll % 2 == 1 ? false : true, r);
      break;
    case Scenario::storm:
      linkChange(w, !w.linkUp, r);
      r.crcErrors = errors(0.05, 40);
      r.rxErrors = errors(0.05, 20);
      break;
  }
  r.linkUp = w.linkUp;
  r.speed = w.linkUp ? w.speed : Interface::speedUnknown;
  r.fullDuplex = w.linkUp && w.fullDuplex;
  r.mdix = w.mdix;
  // Energy comes and goes with the link partner; the SGMII side stays in
  // sync with the MAC and reports the copper link.
  r.energy = w.linkUp;
  r.energyChanged = wasUp != w.linkUp;
  r.sgmiiSync = true;
  r.sgmiiLink = w.linkUp;
  return r;
}

std::string portName(unsigned chip, unsigned port) {
  return "chip" + std::to_string(chip) + "/port" + std::to_string(port);
}

namespace {

Event event(bool v, Zef::Seconds t) {
  Event e;
  e.valueIs(U1(v ? 1 : 0));
  e.whenIs(t);
  return e;
}

EventOrCount eventOrCount(std::uint32_t n, Zef::Seconds t) {
  EventOrCount e;
  e.valueIs(U1(n ? 1 : 0));
  e.countIs(n);
  e.whenIs(t);
  return e;
}

ConditionOrChanged conditionOrChanged(bool v, bool changed, Zef::Seconds t) {
  ConditionOrChanged c;
  c.currentIs(U1(v ? 1 : 0));
  c.changedIs(U1(changed ? 1 : 0));
  c.whenIs(t);
  return c;
}

// A statistic is copied, updated and stored back: the store tells the
// reactors only when the value changed.
template <class Stat, class Observation>
Stat updated(Stat s, Observation const& o) {
  s.updateIs(o);
  return s;
}

}  // namespace

void PhyDriver::observe(PhyBcm54980Status& status, RegisterRead const& r, Zef::Seconds now) {
  Ptr<PhyBcm54980Stats> stats = status.bcmStats();
  bool const speedChanged = status.speed() != r.speed;
  bool const duplexChanged = status.fullDuplex() != r.fullDuplex;
  if (status.linkUp() != r.linkUp) {
    if (!r.linkUp) status.linkDownCountIs(status.linkDownCount() + 1);
    status.lastLinkChangeIs(now);
  }
  status.linkUpIs(r.linkUp);
  status.speedIs(r.speed);
  status.fullDuplexIs(r.fullDuplex);
  status.mdixIs(r.mdix);
  status.remoteFaultIs(r.remoteFault);
  status.autonegCompleteIs(r.linkUp);
  if (!stats) return;
  auto& s = *stats;
  s.linkStateIs(updated(s.linkState(), event(r.linkUp, now)));
  s.speedChangesIs(updated(s.speedChanges(), event(speedChanged, now)));
  s.duplexChangesIs(updated(s.duplexChanges(), event(duplexChanged, now)));
  s.mdixIs(updated(s.mdix(), conditionOrChanged(r.mdix, r.mdixChanged, now)));
  s.pairSwapsIs(updated(s.pairSwaps(), event(r.mdixChanged, now)));
  s.crcErrorsIs(updated(s.crcErrors(), eventOrCount(r.crcErrors, now)));
  s.falseCarriersIs(updated(s.falseCarriers(), eventOrCount(r.falseCarriers, now)));
  s.rxErrorsIs(updated(s.rxErrors(), eventOrCount(r.rxErrors, now)));
  s.txErrorsIs(updated(s.txErrors(), eventOrCount(r.txErrors, now)));
  s.copperEnergyIs(updated(s.copperEnergy(), conditionOrChanged(r.energy, r.energyChanged, now)));
  s.energyDetectChangesIs(updated(s.energyDetectChanges(), event(r.energyChanged, now)));
  s.sgmiiRxSyncIs(updated(s.sgmiiRxSync(), event(r.sgmiiSync, now)));
  s.sgmiiLinkStateIs(updated(s.sgmiiLinkState(), event(r.sgmiiLink, now)));
  s.remoteFaultStateIs(updated(s.remoteFaultState(), event(r.remoteFault, now)));
  s.statusUpdatesIs(updated(s.statusUpdates(), event(true, now)));
}

PhyDriver::PhyDriver(unsigned chips, unsigned portsPerChip)
    : chips_(chips),
      portsPerChip_(portsPerChip),
      chipConfigs_(PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chipConfigs")),
      configs_(PhyBcm54980ConfigDir::PhyBcm54980ConfigDirIs("configs")),
      statuses_(PhyBcm54980StatusDir::PhyBcm54980StatusDirIs("statuses")),
      activeConfigs_(PhyBcm54980ConfigPtrDir::PhyBcm54980ConfigPtrDirIs("activeConfigs")),
      activeStatuses_(PhyBcm54980StatusPtrDir::PhyBcm54980StatusPtrDirIs("activeStatuses")) {
  for (unsigned c = 0; c < chips; ++c) {
    std::string const chip = "chip" + std::to_string(c);
    auto chipConfig = chipConfigs_->phyChipConfigIs(chip);
    chipConfig->resetIs(Fru::Gpo::GpoIs(chip + "-reset"));
    chipConfig->interruptIs(Fru::IntCtrl::IntCtrlIs(chip + "-irq"));
    // One MDIO bus a chip; its ports at consecutive addresses.
    auto device = Hardware::Mdio::Device::DeviceIs("mdio" + std::to_string(c));
    for (unsigned p = 0; p < portsPerChip; ++p) {
      std::string const name = portName(c, p);
      auto wexa = configs_->wexaDescIs(name, device, Hardware::XoltAccelId(0), Hardware::Mdio::BusId(c),
                                       Hardware::Mdio::PortAddr(p), MdioClient::clause22, Hardware::XoltAgentId(1));
      auto config = configs_->phyConfigIs(name, wexa, "bcm54980", "1.0");
      config->phyChipConfigIs(chipConfig);
      auto status = statuses_->phyStatusIs(name, mdioClause22, config,
                                           Interface::EthPhyIntfStatus::EthPhyIntfStatusIs("et" + std::to_string(c * portsPerChip + p + 1)));
      status->bcmStatsIs(name);
      activeConfigs_->phyConfigIs(config);
      activeStatuses_->phyStatusIs(status);
    }
  }
}

void PhyDriver::poll(ChipSimulator& sim, std::uint64_t poll, Zef::Seconds now) {
  unsigned port = 0;
  for (unsigned c = 0; c < chips_; ++c) {
    for (unsigned p = 0; p < portsPerChip_; ++p, ++port) {
      Ptr<PhyBcm54980Status> status = statuses_->phyStatus(portName(c, p));
      if (status && port < sim.ports()) observe(*status, sim.read(port, poll), now);
    }
  }
}

std::vector<Ptr<Zef::Entity>> PhyDriver::roots() const {
  return {chipConfigs_, configs_, statuses_, activeConfigs_, activeStatuses_};
}

std::vector<std::string> dumpLines(PhyBcm54980StatusDir& statuses) {
  std::vector<std::string> lines;
  for (auto it = statuses.phyStatusIterator(); it; ++it) {
    Ptr<PhyBcm54980Stats> stats = it->bcmStats();
    if (!stats) continue;
    Ptr<Zef::GenericIf> g = Zef::genericIfOf(stats, false);
    for (auto const& a : stats->fwkType()->attributes()) {
      // Functions (doInitialize) are no statistics.
      if (a->id() < 258 || a->isFunction() || a->typeName() == Zef::Name("void")) continue;
      Ptr<Zef::GenericIf> v = g->attributeOp(Zef::AttributeOp{a->id(), Zef::AttributeOp::kRead}, nullptr, nullptr);
      lines.push_back(it->name().str() + " " + a->name().str() + " " + (v ? v->strRep().str() : "null"));
    }
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

namespace {

// "PORT STAT" -> the rest of the line.
std::map<std::string, std::string> byKey(std::vector<std::string> const& lines) {
  std::map<std::string, std::string> m;
  for (auto const& l : lines) {
    std::size_t a = l.find(' ');
    std::size_t b = a == std::string::npos ? a : l.find(' ', a + 1);
    if (b == std::string::npos) m[l] = "";
    else m[l.substr(0, b)] = l.substr(b + 1);
  }
  return m;
}

}  // namespace

Comparison compareDumps(std::vector<std::string> const& expected, std::vector<std::string> const& actual) {
  Comparison c;
  auto want = byKey(expected);
  auto got = byKey(actual);
  std::map<std::string, bool> ports;
  auto differ = [&](std::string const& what) {
    ++c.differences;
    if (c.firstDifferences.size() < 10) c.firstDifferences.push_back(what);
  };
  for (auto const& [key, value] : want) {
    ports[key.substr(0, key.find(' '))] = true;
    auto it = got.find(key);
    if (it == got.end()) differ("missing: " + key + " " + value);
    else if (it->second != value) differ("differs: " + key + " " + it->second + ", expected " + value);
  }
  for (auto const& [key, value] : got) {
    if (!want.count(key)) differ("extra: " + key + " " + value);
  }
  c.ports = ports.size();
  c.statistics = want.size();
  return c;
}

std::string comparisonLine(Comparison const& c) {
  return std::to_string(c.ports) + " ports, " + std::to_string(c.statistics) + " statistics, " +
         std::to_string(c.differences) + " differences";
}

}  // namespace phytools
