// What the agent-to-mount benchmarks share: figures printed as
// "tag.metric=value" lines (the form the peer's harness prints, so that one
// script reads both), the clocks and meters of a process, mounts run as child
// processes told what to expect over a pipe, and the 42 statistics of a port
// addressed by index.
#pragma once

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "model/phy_bcm54980_stats.h"
#include "runtime/object/pool_slots.h"

namespace phybench {

// ---- figures

inline std::string& tag() {
  static std::string t;
  return t;
}
inline void out(char const* metric, double v) { std::printf("%s.%s=%.6g\n", tag().c_str(), metric, v); }
inline void outi(char const* metric, long long v) { std::printf("%s.%s=%lld\n", tag().c_str(), metric, v); }

// ---- clocks and meters

// CLOCK_MONOTONIC is one clock for every process on the machine, so a time
// taken by the agent can be compared with one taken by a mount.
inline std::uint64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::uint64_t(ts.tv_sec) * 1000000000ull + std::uint64_t(ts.tv_nsec);
}
inline double nowS() { return double(nowNs()) * 1e-9; }

// User and system CPU seconds of this process.
inline double cpuS() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// A "Vm...:" line of this process's status, in KiB; -1 when absent.
inline long statusKb(char const* field) {
  std::ifstream f("/proc/self/status");
  std::string line;
  std::string const prefix = std::string(field) + ":";
  while (std::getline(f, line)) {
    if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
  }
  return -1;
}
// Resident set of this process, in KiB.
inline long rssKb() { return statusKb("VmRSS"); }
// The largest resident set this process has had, in KiB.
inline long rssHwmKb() { return statusKb("VmHWM"); }

// This process's CPU time, user and system, in microseconds.
inline long cpuUs() {
  struct rusage r {};
  getrusage(RUSAGE_SELF, &r);
  return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1'000'000L + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
}
// Pages this process has touched for the first time (or copied) so far.
inline long minorFaults() {
  struct rusage r {};
  getrusage(RUSAGE_SELF, &r);
  return r.ru_minflt;
}

// Time this thread has been ready to run but waiting for a CPU, in
// microseconds; 0 where the kernel does not keep it. Two processes that feed
// each other and that the scheduler put on one CPU each wait here while the
// other runs, and a resync then takes about both sides' CPU time added up.
inline long runQueueWaitUs() {
  std::FILE* f = std::fopen("/proc/thread-self/schedstat", "r");
  if (!f) return 0;
  unsigned long long onCpu = 0, waiting = 0;
  int const n = std::fscanf(f, "%llu %llu", &onCpu, &waiting);
  std::fclose(f);
  return n == 2 ? static_cast<long>(waiting / 1000) : 0;
}

// Bytes in use, as an allocator counts what it has handed out: the system
// allocator's, and the framework pool's slots at their classes' whole sizes.
// Free slots the pool's slabs keep are not counted, as free memory inside the
// peer's allocator is not; slabHeldBytes() says what the slabs hold in all.
inline long long heapBytes() {
  struct mallinfo2 m = mallinfo2();
  return static_cast<long long>(m.uordblks + m.hblkhd + Zef::poolSlotBytesInUse());
}
inline long long slabHeldBytes() { return static_cast<long long>(Zef::ZefMemPool::slabBytes()); }

// ---- child processes

// A child process with a pipe from its parent. The child prints its own
// figures; the parent waits for it before printing the next workload's.
class Child {
 public:
  // Runs `body(fd)` in a new process, fd being the read end of the pipe; its
  // return value is the exit status.
  static Child spawn(std::function<int(int)> const& body) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
      close(fds[1]);
      int rc = body(fds[0]);
      std::fflush(stdout);
      std::fflush(stderr);
      _exit(rc);  // the parent's objects are not ours to destroy
    }
    close(fds[0]);
    return Child(pid, fds[1]);
  }
  // This program again, in a process of its own, with `args` and then the
  // read end of the pipe. posix_spawn copies none of the parent's pages, as
  // a fork would, so neither side pays to copy each page it then writes.
  // `closeInChild` are the parent's own ends of any further pipes.
  static Child exec(std::vector<std::string> args, std::vector<int> const& closeInChild = {}) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    args.insert(args.begin(), "/proc/self/exe");
    args.push_back(std::to_string(fds[0]));
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addclose(&fa, fds[1]);
    for (int fd : closeInChild) posix_spawn_file_actions_addclose(&fa, fd);
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = -1;
    int const rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) std::abort();
    close(fds[0]);
    return Child(pid, fds[1]);
  }
  Child(Child&& o) noexcept : pid_(o.pid_), fd_(o.fd_) { o.pid_ = -1, o.fd_ = -1; }
  Child(Child const&) = delete;
  ~Child() {
    if (fd_ >= 0) close(fd_);
    if (pid_ > 0) wait();
  }

  // One line to the child.
  void send(std::string const& line) {
    std::string l = line + "\n";
    char const* p = l.data();
    std::size_t left = l.size();
    while (left > 0) {
      ssize_t n = write(fd_, p, left);
      if (n <= 0) return;
      p += n;
      left -= std::size_t(n);
    }
  }
  // Its exit status; -1 when it died of a signal.
  int wait() {
    if (fd_ >= 0) close(fd_), fd_ = -1;
    if (pid_ <= 0) return status_;
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return status_;
  }

 private:
  Child(pid_t pid, int fd) : pid_(pid), fd_(fd) {}
  pid_t pid_;
  int fd_;
  int status_ = 0;
};

// The child's end of the pipe, read a line at a time without blocking the
// child's event loop.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) { fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK); }
  // A whole line, if one has arrived.
  std::optional<std::string> poll() {
    for (;;) {
      if (auto nl = buf_.find('\n'); nl != std::string::npos) {
        std::string line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return line;
      }
      char b[4096];
      ssize_t n = read(fd_, b, sizeof b);
      if (n <= 0) return std::nullopt;
      buf_.append(b, std::size_t(n));
    }
  }
  // Waits for a whole line; empty when the parent went away.
  std::string wait() {
    for (;;) {
      if (auto l = poll()) return *l;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 1000) < 0 || (p.revents & (POLLHUP | POLLERR) && !(p.revents & POLLIN))) return {};
    }
  }

 private:
  int fd_;
  std::string buf_;
};

// ---- the statistics of a port, by index

// Each statistic's attribute name and the name its handler carries.
#define PHYBENCH_STATS(X) \
  X(remoteFaultState, RemoteFaultState) X(linkState, LinkState) X(jabber, Jabber) \
  X(parallelDetectionFault, ParallelDetectionFault) X(msConfigFault, MsConfigFault) \
  X(localRxStatusNotOk, LocalRxStatusNotOk) X(remoteRxStatusNotOk, RemoteRxStatusNotOk) \
  X(gbtIdleError, GbtIdleError) X(selectorFieldMismatch, SelectorFieldMismatch) \
  X(descramblerLocked, DescramblerLocked) X(crcErrors, CrcErrors) X(carrierExtendErrors, CarrierExtendErrors) \
  X(falseCarriers, FalseCarriers) X(earlyEndErrors, EarlyEndErrors) X(rxErrors, RxErrors) X(txErrors, TxErrors) \
  X(lockErrors, LockErrors) X(codeErrors, CodeErrors) X(energyDetectChanges, EnergyDetectChanges) \
  X(pairSwaps, PairSwaps) X(mdix, Mdix) X(hcdNoLinks, HcdNoLinks) X(hcdNone, HcdNone) X(hcdInvalid, HcdInvalid) \
  X(scramblerErrors, ScramblerErrors) X(duplexChanges, DuplexChanges) X(speedChanges, SpeedChanges) \
  X(txFifoErrors, TxFifoErrors) X(rxFifoErrors, RxFifoErrors) X(sgmiiFalseCarriers, SgmiiFalseCarriers) \
  X(sgmiiCrcErrors, SgmiiCrcErrors) X(sgmiiTxErrors, SgmiiTxErrors) X(sgmiiRxErrors, SgmiiRxErrors) \
  X(sgmiiCarrierExtendErrors, SgmiiCarrierExtendErrors) X(sgmiiEarlyEndErrors, SgmiiEarlyEndErrors) \
  X(copperEnergy, CopperEnergy) X(sgmiiLinkState, SgmiiLinkState) X(sgmiiRxSync, SgmiiRxSync) \
  X(statusUpdates, StatusUpdates) X(configChanges, ConfigChanges) X(chipInterrupts, ChipInterrupts) \
  X(portInterrupts, PortInterrupts)

constexpr int kStats = 42;

// A statistic's running number (its count, or its changes) and its time.
template <class V>
std::uint32_t counterOf(V const& v) {
  if constexpr (requires { v.count(); }) {
    return v.count();
  } else {
    return v.changes();
  }
}
template <class V>
double timeOf(V const& v) {
  if constexpr (requires { v.last(); }) {
    return v.last();
  } else {
    return v.lastChange();
  }
}
template <class V>
V withCounter(V v, std::uint32_t n, double t) {
  if constexpr (requires { v.countIs(n); }) {
    v.countIs(n);
    v.lastIs(t);
  } else {
    v.changesIs(n);
    v.lastChangeIs(t);
  }
  return v;
}

// Statistic k of a port stored through its mutator: its running number n at
// time t. A table, so that the writer's loop pays one indirect call.
using StatSetter = void (*)(Hardware::Phy::PhyBcm54980Stats&, std::uint32_t, double);
inline constexpr StatSetter kStatSetters[kStats] = {
#define PHYBENCH_SET(name, Name) \
  [](Hardware::Phy::PhyBcm54980Stats& s, std::uint32_t n, double t) { s.name##Is(withCounter(s.name(), n, t)); },
    PHYBENCH_STATS(PHYBENCH_SET)
#undef PHYBENCH_SET
};
inline void statIs(Hardware::Phy::PhyBcm54980Stats& s, int k, std::uint32_t n, double t) { kStatSetters[k](s, n, t); }

// Statistic k's running number and time.
using StatGetter = std::pair<std::uint32_t, double> (*)(Hardware::Phy::PhyBcm54980Stats const&);
inline constexpr StatGetter kStatGetters[kStats] = {
#define PHYBENCH_GET(name, Name) \
  [](Hardware::Phy::PhyBcm54980Stats const& s) { return std::pair{counterOf(s.name()), timeOf(s.name())}; },
    PHYBENCH_STATS(PHYBENCH_GET)
#undef PHYBENCH_GET
};
inline std::pair<std::uint32_t, double> stat(Hardware::Phy::PhyBcm54980Stats const& s, int k) {
  return kStatGetters[k](s);
}

// A mount's reactor on one port's statistics: each change heard goes to
// `heard(port, k, counter, time)`.
struct StatsHeard : Hardware::Phy::PhyBcm54980Stats::Notifiee {
  using Sink = std::function<void(int, int, std::uint32_t, double)>;
  int port = 0;
  Sink const* sink = nullptr;
  // Statistic indexes by name, in the order of PHYBENCH_STATS.
  struct Index {
    enum : int {
#define PHYBENCH_INDEX(name, Name) name,
      PHYBENCH_STATS(PHYBENCH_INDEX)
#undef PHYBENCH_INDEX
    };
  };
#define PHYBENCH_ON(name, Name) \
  void on##Name() override { (*sink)(port, Index::name, counterOf(notifier()->name()), timeOf(notifier()->name())); }
  PHYBENCH_STATS(PHYBENCH_ON)
#undef PHYBENCH_ON
};

}  // namespace phybench
