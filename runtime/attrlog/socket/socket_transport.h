// Attribute-log connections over stream sockets (Unix-domain or TCP), driven
// by the caller's asio::io_context on the caller's thread: the thread that
// owns the entities runs the context, and every callback runs inside it.
//
// Each stream writes its connection's out() straight from the buffer into the
// socket, as much as the socket takes, and waits for room when it takes
// nothing; the bytes stay in out() until the socket took them, so the send
// buffer's room (isRoomy()) follows the reader's pace. After each write the
// connection's flow-outs run; flow-outs that wait with nothing to write are
// retried on a short timer. A stream that waits for its reader costs no
// timer, no copy of its bytes and no read buffer of its own. Bytes read go
// to bytesReceived().
//
// Failures to listen or to resolve an address throw SocketException. A stream
// that ends (end of stream, socket error, lost framing, closedIs()) closes its
// connection and is reported once through the closed handler; the
// connection's closeCause() says which.
//
// Who may connect: a Unix server's socket file has Options::socketMode
// (owner only by default) whatever the umask, which is left alone. On Linux
// the file is never wider than that, not even between bind and listen;
// elsewhere it is narrowed before listen, so nobody connects meanwhile. A
// Unix client refuses a server run by another user than its own (root's
// excepted): a path another user bound first is not this user's server. A
// server keeps at most Options::maxConnections open; one more takes the
// place of a connection whose reader has not caught up for
// Options::stallEviction (that one is closed, "evicted: ..."), or, when none
// has stalled, is accepted and closed at once.
#pragma once

#include <asio/io_context.hpp>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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
  // A name, an IPv4 or an IPv6 address ("::1", "::"; "[::1]" is taken too).
  std::string host = "127.0.0.1";  // a server binds to loopback unless told otherwise
  std::uint16_t port = 0;          // 0: the system picks a free port (servers)
};
using Address = std::variant<UnixAddress, TcpAddress>;
// "unix:PATH", "tcp:HOST:PORT" or "tcp:[IPV6]:PORT", as messages name it.
std::string addressText(Address const& a);

struct Options {
  // Each connection's send buffer.
  std::size_t capacity = NboAttrLog::Out::kDefaultCapacity;
  // How soon waiting flow-outs are tried again when nothing is being written.
  std::chrono::milliseconds flowOutRetry{1};
  // The socket's own send buffer (SO_SNDBUF; the system doubles it) once
  // the first synchronisation is done, 0 for the system's. Bytes in it are
  // already behind every change made since: kept small, an urgent change
  // waits for little, and counters coalesce in the connection's dirty bits
  // instead. The first synchronisation, where nothing is urgent, has the
  // system's. A TCP mount across a long round trip wants more (its
  // throughput is this much a round trip).
  std::size_t socketSendBuffer = 4 * 1024;

  // Servers: the connections open at once, at least 1. Each costs its send
  // buffer and a first synchronisation, and every change is told to each;
  // one beyond the limit is closed as soon as it is accepted.
  std::size_t maxConnections = 64;
  // At the limit, a new connection takes the place of the one whose reader
  // has not taken every byte waiting for it for longest, beyond this: a
  // mount that keeps up empties its buffer often and keeps its place.
  std::chrono::milliseconds stallEviction{1000};
  // Unix servers: the socket file's permission bits, whatever the umask.
  // Connecting needs write permission on it: 0600 lets only this user in.
  mode_t socketMode = 0600;
  // Unix servers: the socket file's group, set before anyone may connect
  // (with socketMode 0660, that group's members may connect too).
  std::optional<gid_t> socketGroup = std::nullopt;
  // Unix clients: refuse a server run by another user than this one (root's
  // excepted), told by the socket's peer credentials once connected.
  bool peerUidCheck = true;
  // A record made this soon after the send buffer last emptied is part of a
  // burst: it joins its loop turn's write instead of going out alone at
  // once. 0 writes every turn's first record at once.
  std::chrono::microseconds burstGap{50};
};

using ConnectionHandler = std::function<void(Ptr<Connection> const&)>;
using ClosedHandler = std::function<void(Ptr<Connection> const&, String8 const& reason)>;
// Told that a connection was refused at the limit, with the connections open.
using RefusedHandler = std::function<void(std::size_t open)>;

class StreamBase;
class ListenerBase;

// Accepts connections on one address.
class Server : public PtrInterface {
 public:
  // Binds and listens at once. A Unix path where a server listens is refused
  // ("address in use"); a socket file nobody listens on is replaced; any
  // other file there is left alone and refused. Options out of range
  // (maxConnections 0, socketMode beyond 0777) and a socketGroup that cannot
  // be given are refused too, leaving no file behind.
  static ValidPtr<Server> ServerIs(asio::io_context& io, Address const& where, Options const& options = {});

  // Told of each accepted connection, already connected: attach entities to
  // its out() here. Its flow-outs run when the handler returns.
  void onConnectionIs(ConnectionHandler h);
  // Told once of each connection that ended, with the reason.
  void onClosedIs(ClosedHandler h);
  // Told of the first connection refused at maxConnections, and again only
  // once the open connections fell below the limit and reached it anew: once
  // a burst. The connection handler never hears of a refused connection.
  void onRefusedIs(RefusedHandler h);
  // Connections refused at the limit since the server began.
  std::uint64_t connectionsRefused() const;

  // The address listened on, with the port the system chose for TCP port 0.
  Address const& address() const { return address_; }
  std::uint16_t port() const;
  bool isListening() const;
  // The connections still open, oldest first.
  std::vector<Ptr<Connection>> connections() const;

  // Runs the flow-outs of `conn` now, and again on the retry timer while they
  // wait: for flow-outs scheduled while its stream was idle. A stream waiting
  // for room in its socket runs them once it has room; until then a wake
  // costs nothing, so waking every connection each turn is cheap.
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
  // connection refused, "unix:PATH is served by uid N, not by this user").
  // Resolution failures of a TCP host name arrive the same way.
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
