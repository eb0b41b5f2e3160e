// Builds against the installed socket transport, and carries one record from
// a server to a client over a Unix socket.
#include <runtime/attrlog/socket/socket_transport.h>

#include <asio.hpp>

#include <stdlib.h>

#include <iostream>
#include <string>

int main() {
  char dir[] = "/tmp/zefconsumer-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::string path = std::string(dir) + "/s";
  asio::io_context io;
  auto server = Zef::AttrLogSocket::Server::ServerIs(io, Zef::AttrLogSocket::UnixAddress{path});
  server->onConnectionIs([](Zef::Ptr<Zef::NboAttrLog::Connection> const& c) {
    c->out()->nextHeaderIs({3, 258});
    c->out() << Zef::NboAttrLog::TransactToken{1} << 42u << Zef::NboAttrLog::TransactToken{3};
  });
  auto client = Zef::AttrLogSocket::Client::ClientIs(io, Zef::AttrLogSocket::UnixAddress{path});
  int frames = 0;
  client->connection()->frameHandlerIs([&](Zef::NboAttrLog::Connection&, Zef::NboAttrLog::FrameView const& f) {
    if (f.header.attributeId == 258 && f.payload.size() == 4 && f.payload[3] == 42) ++frames;
    io.stop();
  });
  io.run_for(std::chrono::seconds(5));
  server->closedIs();
  rmdir(dir);
  if (frames != 1) return 1;
  std::cout << "socket consumer ok\n";
  return 0;
}
