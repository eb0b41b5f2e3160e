// SIGINT and SIGTERM as a way to end an event loop: the handler is told
// which, once, inside the loop.
#pragma once

#include <asio.hpp>

#include <csignal>
#include <functional>
#include <string>

namespace physerve {

class StopSignals {
 public:
  explicit StopSignals(asio::io_context& io) : set_(io, SIGINT, SIGTERM) {}

  // `stop` hears "interrupted" (SIGINT) or "terminated" (SIGTERM).
  void wait(std::function<void(std::string const& why)> stop) {
    set_.async_wait([stop = std::move(stop)](std::error_code ec, int sig) {
      if (!ec) stop(sig == SIGINT ? "interrupted" : "terminated");
    });
  }
  void cancel() { set_.cancel(); }

 private:
  asio::signal_set set_;
};

}  // namespace physerve
