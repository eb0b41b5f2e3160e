// What phyagent and phymount share on the command line: the address they
// meet at, and reading and writing dump files.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/attrlog/socket/socket_transport.h"

namespace phytools {

// "HOST:PORT", "[IPV6]:PORT", or, when portAlone, "PORT" on loopback. The
// host goes to the resolver as written; the port is 1 to 65535. False, with
// the reason in why and out unchanged, when the text is none of these.
inline bool tcpAddressFromText(std::string const& text, Zef::AttrLogSocket::TcpAddress* out,
                               std::string* why = nullptr, bool portAlone = true) {
  auto refuse = [why](std::string reason) {
    if (why) *why = std::move(reason);
    return false;
  };
  std::string_view const t(text);
  std::string host = Zef::AttrLogSocket::TcpAddress{}.host;
  std::string_view port = t;
  if (t.starts_with('[')) {
    std::size_t const close = t.find(']');
    if (close == std::string_view::npos || t.substr(close + 1, 1) != ":") {
      return refuse("an IPv6 address is written [ADDRESS]:PORT");
    }
    host = t.substr(1, close - 1);
    port = t.substr(close + 2);
  } else if (std::size_t const colon = t.find(':'); colon != std::string_view::npos) {
    if (t.find(':', colon + 1) != std::string_view::npos) {
      return refuse("an IPv6 address goes in brackets: [ADDRESS]:PORT");
    }
    host = t.substr(0, colon);
    port = t.substr(colon + 1);
  } else if (!portAlone) {
    return refuse("no host: give HOST:PORT, e.g. 127.0.0.1:9480");
  }
  if (host.empty()) return refuse("no host before the port: give HOST:PORT");
  unsigned v = 0;
  auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), v);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || v < 1 || v > 65535) {
    return refuse("the port must be a number from 1 to 65535, not '" + std::string(port) + "'");
  }
  out->host = std::move(host);
  out->port = static_cast<std::uint16_t>(v);
  return true;
}

// HOST:PORT, with an IPv6 host in brackets.
inline std::string tcpAddressText(std::string const& host, int port) {
  return (host.find(':') == std::string::npos ? host : "[" + host + "]") + ":" + std::to_string(port);
}

// "localhost", 127.0.0.0/8 or ::1: reachable from this machine only.
inline bool isLoopbackHost(std::string const& host) {
  if (host == "localhost") return true;
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// Written to a new file beside PATH and renamed over it, so that a reader
// never sees half a dump. The file is created exclusively under a random
// name: a file or link planted there is never written through.
inline bool writeLines(std::string const& path, std::vector<std::string> const& lines) {
  std::filesystem::path const target(path);
  std::string tmp;
  int fd = -1;
  std::random_device random;
  for (int tries = 0; fd < 0 && tries < 16; ++tries) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(random()));
    tmp = (target.parent_path() / ("." + target.filename().string() + suffix)).string();
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  std::string text;
  for (auto const& l : lines) {
    text += l;
    text += '\n';
  }
  bool ok = true;
  for (std::string_view rest(text); ok && !rest.empty();) {
    ssize_t const n = ::write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) rest.remove_prefix(static_cast<std::size_t>(n));
  }
  ok = ::close(fd) == 0 && ok;
  ok = ok && std::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

inline bool readLines(std::string const& path, std::vector<std::string>* lines) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string l; std::getline(in, l);) {
    if (!l.empty()) lines->push_back(l);
  }
  return true;
}

}  // namespace phytools
