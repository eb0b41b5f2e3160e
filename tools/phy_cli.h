// What phyagent and phymount share on the command line: the address they
// meet at, and reading and writing dump files.
#pragma once

#include <charconv>
#include <fstream>
#include <string>
#include <vector>

#include "runtime/attrlog/socket/socket_transport.h"

namespace phytools {

// "[HOST:]PORT" as a TCP address; loopback unless a host is given. False
// when the port is not a number from 0 to 65535.
inline bool tcpAddressFromText(std::string const& text, Zef::AttrLogSocket::TcpAddress* out) {
  std::size_t colon = text.rfind(':');
  std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
  if (colon != std::string::npos && colon > 0) out->host = text.substr(0, colon);
  unsigned v = 0;
  auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), v);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || v > 65535) return false;
  out->port = static_cast<std::uint16_t>(v);
  return true;
}

inline bool writeLines(std::string const& path, std::vector<std::string> const& lines) {
  // Written aside and renamed, so that a reader never sees half a dump.
  std::string const tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    for (auto const& l : lines) out << l << "\n";
    if (!out.flush()) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
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
