// Attribute-log connections over stream sockets (Unix-domain or TCP), driven
// by the caller's asio::io_context on the caller's thread: the thread that
// owns the entities runs the context, and every callback runs inside it.
//
// Each stream drains its connection's out() into the socket, one write in
// flight at a time; the bytes stay in out() until the socket took them, so
// the send buffer's room (isRoomy()) follows the reader's pace. After each
// write the connection's flow-outs run; flow-outs that wait with nothing to
// write are retried on a short timer. Bytes read go to bytesReceived().
//
// Failures to listen or to resolve an address throw SocketException. A stream
// that ends (end of stream, socket error, lost framing, closedIs()) closes its
// connection and is reported once through the closed handler.
#pragma once

#include <asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "runtime/attrlog/connection.h"
#include "runtime/failure/exception.h"

namespace Zef::AttrLogSocket {

using NboAttrLog::Connection;

// A socket that could not be bound, listened on or connected to; the message
// names the address and the system's reason.
class SocketException : public Exception {
 public:
  SocketException(String8 message, std::error_code code) : Exception(std::move(message)), code_(code) {}
  std::error_code code() const { return code_; }

 private:
  std::error_code code_;
};

// Where a server listens or a client connects.
struct UnixAddress {
  std::string path;
};
struct TcpAddress {
  std::string host = "127.0.0.1";  // a server binds to loopback unless told otherwise
  std::uint16_t port = 0;          // 0: the system picks a free port (servers)
};
using Address = std::variant<UnixAddress, TcpAddress>;
// "unix:PATH" or "tcp:HOST:PORT", as messages name it.
std::string addressText(Address const& a);

struct Options {
  // Each connection's send buffer.
  std::size_t capacity = NboAttrLog::Out::kDefaultCapacity;
  // How soon waiting flow-outs are tried again when nothing is being written.
  std::chrono::milliseconds flowOutRetry{1};
  // The socket's own send buffer (SO_SNDBUF; the system doubles it), 0 for
  // the system's. Bytes in it are already behind every change made since:
  // kept small, an urgent change waits for little, and counters coalesce in
  // the connection's dirty bits instead. A TCP mount across a long round
  // trip wants more (its throughput is this much a round trip).
  std::size_t socketSendBuffer = 4 * 1024;
};

using ConnectionHandler = std::function<void(Ptr<Connection> const&)>;
using ClosedHandler = std::function<void(Ptr<Connection> const&, String8 const& reason)>;

class StreamBase;
class ListenerBase;

// Accepts connections on one address.
class Server : public PtrInterface {
 public:
  // Binds and listens at once. A Unix path where a server listens is refused
  // ("address in use"); a socket file nobody listens on is replaced; any
  // other file there is left alone and refused.
  static ValidPtr<Server> ServerIs(asio::io_context& io, Address const& where, Options const& options = {});

  // Told of each accepted connection, already connected: attach entities to
  // its out() here. Its flow-outs run when the handler returns.
  void onConnectionIs(ConnectionHandler h);
  // Told once of each connection that ended, with the reason.
  void onClosedIs(ClosedHandler h);

  // The address listened on, with the port the system chose for TCP port 0.
  Address const& address() const { return address_; }
  std::uint16_t port() const;
  bool isListening() const;
  // The connections still open, oldest first.
  std::vector<Ptr<Connection>> connections() const;

  // Runs the flow-outs of `conn` now, and again on the retry timer while they
  // wait: for flow-outs scheduled while its stream was idle.
  void flowOutsWake(Ptr<Connection> const& conn);
  // Stops listening, closes every connection (each reported to the closed
  // handler) and removes the Unix socket file. Also done on destruction, then
  // without telling the handlers.
  void closedIs();

 private:
  Server(Ptr<ListenerBase> listener, Address address);
  ~Server() override;

  Ptr<ListenerBase> listener_;
  Address address_;
};

// One connection to a server.
class Client : public PtrInterface {
 public:
  // Starts connecting; the outcome arrives while the context runs: the
  // connected handler, or the closed handler with the reason (no such socket,
  // connection refused). Resolution failures of a TCP host name arrive the
  // same way.
  static ValidPtr<Client> ClientIs(asio::io_context& io, Address const& to, Options const& options = {});

  // The connection, made at once so that handlers can be set before any byte
  // arrives.
  Ptr<Connection> const& connection() const;
  void onConnectedIs(ConnectionHandler h);
  void onClosedIs(ClosedHandler h);

  Address const& address() const { return address_; }
  bool isConnected() const;
  bool isClosed() const;

  // See Server::flowOutsWake.
  void flowOutsWake();
  // Closes the connection; the closed handler is told, once. Also done on
  // destruction, then without telling it.
  void closedIs(String8 reason = "closed by the client");

 private:
  Client(Ptr<StreamBase> stream, Address address);
  ~Client() override;
  void hooksRenew();

  Ptr<StreamBase> stream_;
  Address address_;
  ConnectionHandler onConnected_;
  ClosedHandler onClosed_;
};

}  // namespace Zef::AttrLogSocket
