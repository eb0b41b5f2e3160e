// Helpers of the agent and mount loop tests: a socket path in a directory of
// its own, and the event loop turned until something holds.
#pragma once

#include <asio.hpp>

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace servetest {

class TempDir {
 public:
  TempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "serve_test.XXXXXX").string();
    if (mkdtemp(t.data())) path_ = t;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string file(char const* name) const { return (std::filesystem::path(path_) / name).string(); }

 private:
  std::string path_;
};

// Turns `io` until `done`; false when it still did not hold after `limit`.
inline bool runUntil(asio::io_context& io, std::function<bool()> const& done,
                     std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  auto const end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    if (io.stopped()) io.restart();
    io.run_one_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Turns `io` for `span`, whatever happens.
inline void runFor(asio::io_context& io, std::chrono::milliseconds span) {
  runUntil(io, [] { return false; }, span);
}

}  // namespace servetest
