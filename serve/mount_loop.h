// The mount's side: a client of an agent on a Unix or TCP socket that applies
// what the agent serves and never writes back, holds at most so many of its
// entities, and, when asked to, connects again after a pause that grows
// while the agent stays away. Across connections it keeps the roots it
// mounted, so that their reactors stay and hear only what changed. It runs
// on the caller's io_context.
#pragma once

#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "model/phy_bcm54980_dirs.h"
#include "runtime/attrlog/socket/socket_transport.h"
#include "sim/phy_sim.h"

namespace physerve {

// How a mount connects, and what it does when a connection ends.
struct MountSettings {
  Zef::AttrLogSocket::Options socket;
  Zef::NboAttrLog::Connection::Role role = Zef::NboAttrLog::Connection::Role::mount;
  std::size_t maxEntities = Zef::NboAttrLog::Connection::kDefaultEntityLimit;
  // Whether a closed connection is followed by a new one.
  bool reconnect = false;
  std::chrono::milliseconds backoffFirst{100};
  std::chrono::milliseconds backoffMax{2000};
};

class MountLoop {
 public:
  using Connection = Zef::NboAttrLog::Connection;

  using Settings = MountSettings;
  enum class State { connecting, connected, reconnecting, closed };

  MountLoop(asio::io_context& io, Zef::AttrLogSocket::Address where, Settings settings = {});
  MountLoop(MountLoop const&) = delete;
  MountLoop& operator=(MountLoop const&) = delete;
  ~MountLoop();

  // Handlers are set before start(); each new connection gets them.
  // Told of each connection before any byte arrives: for a frame or
  // refusal handler of its own.
  void onConnectionIs(std::function<void(Connection&)> h) { onConnection_ = std::move(h); }
  void onConnectedIs(std::function<void()> h) { onConnected_ = std::move(h); }
  // Each connection's end, and whether it had connected; not told of stop().
  void onClosedIs(std::function<void(std::string const& why, bool wasConnected)> h) { onClosed_ = std::move(h); }
  void onMountedIs(std::function<void(Zef::Ptr<Zef::Entity> const&)> h);

  void start();
  // Closes the connection with `why` and connects no more; onClosed is not
  // told.
  void stop(std::string const& why = "done");
  bool isStopped() const { return stopped_; }

  State state() const { return state_; }
  Zef::Ptr<Zef::AttrLogSocket::Client> const& client() const { return client_; }
  // The current connection; null before start().
  Zef::Ptr<Connection> connection() const;
  Zef::AttrLogSocket::Address const& address() const { return where_; }
  // Why the last connection ended or could not be made.
  std::string const& lastError() const { return lastError_; }
  unsigned connections() const { return connections_; }

  // True the first time it finds the current connection's first
  // synchronisation done, and from then on until the connection ends. The
  // first time, what that connection announced becomes what the mount
  // holds (entities of earlier connections not announced again go), and
  // the pause before a new connection starts afresh.
  bool syncCheck();
  bool isSynced() const { return synced_; }

  // The entities held, from the connections announced so far.
  std::size_t held() const { return held_.size(); }
  // Of those announced on this connection, how many the mount held already.
  unsigned kept() const { return kept_; }
  // What the agent serves now; while it is away, what it served last.
  Zef::Ptr<Hardware::Phy::PhyBcm54980StatusDir> statuses() const;
  // Frames applied and refused, over every connection so far.
  std::uint64_t framesApplied() const;
  std::uint64_t framesRefused() const;

  // The statistics held, compared with an agent's dump (see phytools::dumpLines).
  phytools::Comparison comparedWith(std::vector<std::string> const& agentDump) const;

 private:
  void connect();
  void closed(std::string why);

  asio::io_context& io_;
  Zef::AttrLogSocket::Address where_;
  Settings settings_;
  asio::steady_timer reconnect_;
  std::chrono::milliseconds backoff_;
  Zef::Ptr<Zef::AttrLogSocket::Client> client_;
  State state_ = State::connecting;
  std::function<void(Connection&)> onConnection_;
  std::function<void()> onConnected_;
  std::function<void(std::string const&, bool)> onClosed_;
  std::function<void(Zef::Ptr<Zef::Entity> const&)> onMounted_;
  // Every entity announced to this mount, by type and name: referenced
  // entities are announced too, and names repeat across types.
  std::map<std::pair<Zef::ZefType*, std::string>, Zef::Ptr<Zef::Entity>> held_;
  unsigned kept_ = 0;
  std::uint64_t appliedBefore_ = 0;
  std::uint64_t refusedBefore_ = 0;
  unsigned connections_ = 0;
  std::string lastError_;
  bool synced_ = false;
  bool stopped_ = false;
};

}  // namespace physerve
