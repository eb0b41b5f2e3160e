// The agent's side of serving a driver's state: a server on a Unix or TCP
// socket that serves the same roots to every mount that connects, polls on a
// timer that keeps its rate, and a stop (asked for, or by SIGINT or SIGTERM)
// that closes every mount. It runs on the caller's io_context, which the
// caller turns as it likes.
#pragma once

#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "runtime/attrlog/socket/socket_transport.h"
#include "serve/stop_signals.h"

namespace physerve {

// How an agent serves: its sockets, and the role of each connection.
struct AgentSettings {
  Zef::AttrLogSocket::Options socket;
  // Mounts only read: whatever they send is refused and changes nothing.
  Zef::NboAttrLog::Connection::Role role = Zef::NboAttrLog::Connection::Role::agent;
};

class AgentLoop {
 public:
  using Clock = std::chrono::steady_clock;
  using Connection = Zef::NboAttrLog::Connection;

  using Settings = AgentSettings;

  AgentLoop(asio::io_context& io, std::vector<Zef::Ptr<Zef::Entity>> roots, Settings settings = {});
  AgentLoop(AgentLoop const&) = delete;
  AgentLoop& operator=(AgentLoop const&) = delete;
  ~AgentLoop();

  // Binds and listens; throws Zef::AttrLogSocket::SocketException.
  void listen(Zef::AttrLogSocket::Address const& where);
  // Null before listen().
  Zef::Ptr<Zef::AttrLogSocket::Server> const& server() const { return server_; }

  // Told of each new connection, its role set, before the roots are served
  // on it: for whatever else it needs first.
  void onConnectionIs(Zef::AttrLogSocket::ConnectionHandler h) { onConnection_ = std::move(h); }
  void onClosedIs(Zef::AttrLogSocket::ClosedHandler h);
  // Told once, before the server closes, why the loop stops.
  void onStopIs(std::function<void(std::string const& why)> h) { onStop_ = std::move(h); }

  // Calls `poll` every `period`, then wakes every connection's flow-outs so
  // that what it changed goes out. Deadlines follow each other: a poll that
  // ran late does not make the following ones pile up.
  void pollEvery(Clock::duration period, std::function<void()> poll);
  void pollStop();
  bool isPolling() const { return polling_; }
  // Flow-outs scheduled outside a poll (by changes made elsewhere) go out.
  void flowsWake();

  // SIGINT and SIGTERM stop the loop, with "interrupted" or "terminated".
  void stopOnSignals();
  // Polls and the signal wait end, and the server closes every mount and
  // removes its socket file: nothing is left for the io_context to do.
  void stop(std::string const& why);
  bool isStopped() const { return stopped_; }

 private:
  void pollNext();

  asio::io_context& io_;
  std::vector<Zef::Ptr<Zef::Entity>> roots_;
  Settings settings_;
  Zef::Ptr<Zef::AttrLogSocket::Server> server_;
  Zef::AttrLogSocket::ConnectionHandler onConnection_;
  Zef::AttrLogSocket::ClosedHandler onClosed_;
  std::function<void(std::string const&)> onStop_;
  asio::steady_timer pollTimer_;
  Clock::duration period_{};
  Clock::time_point nextPoll_;
  std::function<void()> poll_;
  // Made when asked for: a signal set takes the signals from the process.
  std::optional<StopSignals> signals_;
  bool polling_ = false;
  bool stopped_ = false;
};

}  // namespace physerve
