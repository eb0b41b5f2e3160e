// End to end over a Unix socket: a writer thread changes statistics through
// their mutators, a mount thread applies the records to its copies and its
// reactors hear them. Prints the changes applied at the mount per second and
// the one-way latency distribution at a steady 10,000 changes a second, with
// the Unix socket's own bandwidth in the same run for scale.
//
//   replication_e2e [seconds-per-phase]
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "model/phy_bcm54980_dirs.h"
#include "model/phy_bcm54980_stats.h"
#include "runtime/attrlog/socket/socket_transport.h"

namespace {

using namespace Hardware::Phy;
using Clock = std::chrono::steady_clock;
using Zef::Ptr;
using Zef::AttrLogSocket::Client;
using Zef::AttrLogSocket::Server;
using Zef::AttrLogSocket::UnixAddress;
using Zef::NboAttrLog::Connection;

double now() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

constexpr int kPorts = 48;

// Counts what the mount's reactors hear, and how late each change is.
struct Heard : PhyBcm54980Stats::Notifiee {
  std::atomic<std::uint64_t>* count;
  std::vector<double>* latencies;
  void onCrcErrors() override {
    count->fetch_add(1, std::memory_order_relaxed);
    if (latencies) latencies->push_back(now() - notifier()->crcErrors().last());
  }
};

struct Run {
  std::string path;
  double seconds;
  std::atomic<std::uint64_t> heard{0};
  std::atomic<bool> mounted{false};
  std::atomic<bool> done{false};
  std::vector<double> latencies;
  bool measureLatency = false;
  std::uint64_t made = 0;
};

void mountThread(Run& run) {
  asio::io_context io;
  std::vector<Ptr<Heard>> reactors;
  Ptr<Client> client = Client::ClientIs(io, UnixAddress{run.path});
  client->connection()->onMountedIs([&](Ptr<Zef::Entity> const& e) {
    auto* stats = dynamic_cast<PhyBcm54980Stats*>(e.ptr());
    if (!stats) return;
    Ptr<Heard> r(new Heard, Zef::adoptRef);
    r->count = &run.heard;
    r->latencies = run.measureLatency ? &run.latencies : nullptr;
    r->isRegisteredNotifieeIs(true);
    r->notifierIs(Ptr<PhyBcm54980Stats>(stats));
    reactors.push_back(r);
    if (reactors.size() == kPorts) run.mounted = true;
  });
  while (!run.done) io.run_for(std::chrono::milliseconds(5));
  io.run_for(std::chrono::milliseconds(50));
}

void writerRun(Run& run, double rate) {
  asio::io_context io;
  std::vector<Ptr<PhyBcm54980Stats>> ports;
  for (int p = 0; p < kPorts; ++p) ports.push_back(PhyBcm54980Stats::PhyBcm54980StatsIs("port" + std::to_string(p)));
  Ptr<Server> server = Server::ServerIs(io, UnixAddress{run.path});
  server->onConnectionIs([&](Ptr<Connection> const& c) {
    for (auto& s : ports) c->rootIs(s);
  });
  std::thread mount(mountThread, std::ref(run));
  while (!run.mounted) io.run_for(std::chrono::milliseconds(1));
  io.run_for(std::chrono::milliseconds(100));  // the first synchronisation settles
  std::uint64_t before = run.heard;
  unsigned n = 0;
  auto start = Clock::now();
  auto end = start + std::chrono::duration<double>(run.seconds);
  while (Clock::now() < end) {
    // A batch of changes, then the event loop drains what it can.
    int batch = rate > 0 ? 1 : 256;
    for (int i = 0; i < batch; ++i) {
      auto& s = ports[n % kPorts];
      EventOrCountStat v = s->crcErrors();
      v.countIs(++n);
      v.lastIs(now());
      s->crcErrorsIs(v);
    }
    if (rate > 0) {
      auto due = start + std::chrono::duration<double>(n / rate);
      while (Clock::now() < due) io.poll();
    } else {
      io.poll();
    }
  }
  run.made = n;
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  // Let the mount catch up, then count.
  for (int i = 0; i < 200; ++i) io.run_for(std::chrono::milliseconds(1));
  std::uint64_t heard = run.heard - before;
  run.done = true;
  mount.join();
  if (rate > 0) return;
  std::printf("throughput: %.0f changes/s made, %.0f changes/s applied at the mount (%llu heard of %u made)\n",
              n / elapsed, heard / elapsed, static_cast<unsigned long long>(heard), n);
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

// A fresh mount's first synchronisation of a whole driver's state: 1024
// ports in their directories, each with its configuration, status and
// statistics, from the connection to the last byte applied.
void resync(std::string const& path, int ports, bool statsOnly) {
  auto chips = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
  auto configs = PhyBcm54980ConfigDir::PhyBcm54980ConfigDirIs("configs");
  auto statuses = PhyBcm54980StatusDir::PhyBcm54980StatusDirIs("statuses");
  auto device = Hardware::Mdio::Device::DeviceIs("mdio0");
  for (int p = 0; p < ports; ++p) {
    std::string chip = "chip" + std::to_string(p / 8), port = chip + "/port" + std::to_string(p % 8);
    auto c = chips->phyChipConfigIs(chip);
    auto w = configs->wexaDescIs(port, device, Hardware::XoltAccelId(p / 8), Hardware::Mdio::BusId(0),
                                 Hardware::Mdio::PortAddr(p % 8), MdioClient::clause22, Hardware::XoltAgentId(0));
    auto cfg = configs->phyConfigIs(port, w, "bcm54980", "1.0");
    cfg->phyChipConfigIs(c);
    auto st = statuses->phyStatusIs(port, mdioClause22, cfg, Interface::EthPhyIntfStatus::EthPhyIntfStatusIs(port));
    auto stats = st->bcmStatsIs(port);
    EventOrCountStat crc;
    crc.countIs(p);
    stats->crcErrorsIs(crc);
  }
  // Statistics alone: the 42 fields a port as the peer's table holds them.
  std::vector<Ptr<PhyBcm54980Stats>> alone;
  for (int p = 0; statsOnly && p < ports; ++p) {
    alone.push_back(statuses->phyStatus("chip" + std::to_string(p / 8) + "/port" + std::to_string(p % 8))->bcmStats());
  }
  asio::io_context io;
  Ptr<Server> server = Server::ServerIs(io, UnixAddress{path});
  Ptr<Connection> conn;
  Clock::time_point start;
  server->onConnectionIs([&](Ptr<Connection> const& c) {
    start = Clock::now();
    conn = c;
    if (statsOnly) {
      for (auto& s : alone) c->rootIs(s);
      return;
    }
    c->rootIs(chips);
    c->rootIs(configs);
    c->rootIs(statuses);
  });
  std::atomic<std::uint64_t> received{0};
  std::atomic<bool> stop{false};
  std::thread mount([&] {
    asio::io_context mio;
    Ptr<Client> client = Client::ClientIs(mio, UnixAddress{path});
    while (!stop) {
      mio.run_for(std::chrono::milliseconds(1));
      received = client->connection()->bytesReceivedCount();
    }
  });
  while (!conn || conn->demuxer()->scheduledCount() || conn->out()->size()) io.run_for(std::chrono::microseconds(100));
  std::uint64_t sent = conn->out()->bytesWritten();
  while (received < sent) io.run_for(std::chrono::microseconds(100));
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  mount.join();
  std::printf("resync of %d ports%s: %.1f ms, %llu bytes, %llu records, %.1f bytes per record, %.1f bytes per statistic field\n",
              ports, statsOnly ? " (statistics only)" : " (configuration, status, statistics)", elapsed * 1e3, static_cast<unsigned long long>(sent),
              static_cast<unsigned long long>(conn->out()->recordsWritten()),
              double(sent) / double(conn->out()->recordsWritten()), double(sent) / (ports * 42.0));
}

// The socket's own limit: bytes a second through a Unix stream pair.
void socketBandwidth(double seconds) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> got{0};
  std::thread reader([&] {
    std::vector<char> buf(1 << 16);
    while (!stop) {
      ssize_t r = read(fds[1], buf.data(), buf.size());
      if (r <= 0) break;
      got += static_cast<std::uint64_t>(r);
    }
  });
  std::vector<char> buf(1 << 16, 'x');
  auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    if (write(fds[0], buf.data(), buf.size()) < 0) break;
  }
  stop = true;
  close(fds[0]);
  reader.join();
  close(fds[1]);
  std::printf("unix socket bandwidth: %.2f GB/s (16-byte records: %.0f M/s)\n", got / seconds / 1e9,
              got / seconds / 16 / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 3;
  auto dir = std::filesystem::temp_directory_path() / ("replication_e2e." + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  {
    Run run;
    run.path = (dir / "t").string();
    run.seconds = seconds;
    writerRun(run, 0);
  }
  {
    Run run;
    run.path = (dir / "l").string();
    run.seconds = seconds;
    run.measureLatency = true;
    writerRun(run, 10000);
    auto& l = run.latencies;
    std::printf("latency at 10000 changes/s: p50 %.1f us, p99 %.1f us, p99.9 %.1f us (%zu samples)\n",
                percentile(l, 0.5) * 1e6, percentile(l, 0.99) * 1e6, percentile(l, 0.999) * 1e6, l.size());
  }
  resync((dir / "r").string(), 1024, false);
  resync((dir / "s").string(), 1024, true);
  socketBandwidth(seconds / 2);
  std::filesystem::remove_all(dir);
}
