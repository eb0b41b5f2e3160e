// A gNMI server over what the mount holds. The mount's thread feeds it
// (applied, resync); its gRPC threads serve Capabilities, Get and Subscribe
// from the values it was fed and never touch an entity.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "model/phy_bcm54980_dirs.h"

namespace mountgnmi {

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0 takes a free port
  std::string tlsCert;  // PEM files; both or neither
  std::string tlsKey;
  // Updates a subscription keeps in order before it coalesces by leaf.
  std::size_t queueCapacity = 4096;
};

class Server {
 public:
  explicit Server(ServerOptions options);
  ~Server();
  Server(Server const&) = delete;
  Server& operator=(Server const&) = delete;

  // Binds and serves; throws std::runtime_error with the reason.
  void start();
  void stop();
  int port() const;

  // The mount's thread, after it applied a record to `entity`'s `attr`.
  void applied(Zef::Ptr<Zef::Entity> const& entity, Zef::AttributeId attr,
               Zef::Ptr<Hardware::Phy::PhyBcm54980StatusDir> const& statuses);
  // The mount's thread, once a connection's first synchronisation is done:
  // every leaf read again, and subscribers waiting for data let go.
  void resync(Zef::Ptr<Hardware::Phy::PhyBcm54980StatusDir> const& statuses);

  // The subscribers' queues, lag and coalesced updates as Prometheus text.
  std::string metricsText() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mountgnmi
