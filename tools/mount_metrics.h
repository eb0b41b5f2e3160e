// The mount's statistics and link state as Prometheus text, and a small HTTP
// server for it. Rendering reads entities and so runs on the owner thread;
// the server only hands out the text it was last given.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "model/phy_bcm54980_dirs.h"

namespace MountMetrics {

// What the mount knows of its own connection to the agent.
struct MountHealth {
  bool connected = false;
  bool synced = false;
  std::uint64_t recordsApplied = 0;
  std::uint64_t recordsRefused = 0;
  // NaN or infinity when no record arrived yet: both are valid sample values.
  double secondsSinceLastRecord = 0;
};

// One metric family a statistic field turns into; found from the type
// registry, so a statistic added to the model is exported without code here.
struct StatFieldMetric {
  std::string statistic;  // attribute name, e.g. crcErrors
  std::string field;      // count, changes or current
  std::string metric;     // e.g. bcm54980_crc_errors_total
  bool counter = false;   // counter, else gauge
  Zef::AttributeId statisticId = 0;
  Zef::AttributeId fieldId = 0;
  std::string valueType;  // e.g. Hardware::Phy::EventOrCountStat
};

// Every statistic field exported, in attribute then field order.
std::vector<StatFieldMetric> const& statFieldMetrics();

// "crcErrors" -> "crc_errors".
std::string snakeName(std::string const& camel);

// The chip and port labels of a status member's name: "chipN/portM" splits
// in two, any other name is the port with an empty chip.
struct PortLabels {
  std::string chip;
  std::string port;
};
PortLabels portLabels(std::string const& name);

// The text exposition format (version 0.0.4), ports in name order.
std::string prometheusText(Zef::Ptr<Hardware::Phy::PhyBcm54980StatusDir> const& statuses, MountHealth const& health);

// Serves GET /metrics on its own threads. It never touches entities: the
// owner renders with prometheusText and hands the text over with textIs.
class MetricsServer {
 public:
  // Port 0 takes a free port; port() tells which once started.
  MetricsServer(std::string host, int port);
  ~MetricsServer();
  MetricsServer(MetricsServer const&) = delete;
  MetricsServer& operator=(MetricsServer const&) = delete;

  // Binds and starts serving; throws std::runtime_error with the reason when
  // it cannot resolve the host or bind.
  void start();
  // Stops serving and joins the thread; a no-op when not started.
  void stop();
  bool running() const { return thread_.joinable(); }
  int port() const { return port_; }

  void textIs(std::string text);
  std::string text() const;

 private:
  struct Impl;
  std::string host_;
  int port_;
  std::unique_ptr<Impl> impl_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::string text_;
};

}  // namespace MountMetrics
