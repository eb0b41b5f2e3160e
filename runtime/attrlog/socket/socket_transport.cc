#include "runtime/attrlog/socket/socket_transport.h"

#include <asio.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "runtime/text/text.h"

namespace Zef::AttrLogSocket {

namespace {

using UnixProtocol = asio::local::stream_protocol;
using TcpProtocol = asio::ip::tcp;

// At most this much is copied out of the send buffer for one write: the
// buffer may move its bytes while a write is in flight.
constexpr std::size_t kWriteChunk = 256 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
// How long a listener waits after a failed accept (no descriptor left, ...).
constexpr std::chrono::milliseconds kAcceptRetry{50};

String8 reasonOf(char const* what, std::error_code ec) { return format("%s: %s", what, ec.message()); }

// Asio's system errors in the standard's category, so that callers compare
// them with std::errc.
std::error_code standard(std::error_code ec) {
  return ec.category() == asio::error::get_system_category() ? std::error_code(ec.value(), std::system_category())
                                                             : ec;
}

}  // namespace

std::string addressText(Address const& a) {
  if (auto const* u = std::get_if<UnixAddress>(&a)) return "unix:" + u->path;
  auto const& t = std::get<TcpAddress>(a);
  return "tcp:" + t.host + ":" + std::to_string(t.port);
}

// ---- The drain and read machinery of one stream, whatever its socket ----

class StreamBase : public PtrInterface {
 public:
  using ConnectedHook = std::function<void(StreamBase&)>;
  using ClosedHook = std::function<void(StreamBase&, String8 const&)>;

  Ptr<Connection> const& connection() const { return conn_; }
  bool isOpen() const { return state_ == State::open; }
  bool isClosed() const { return state_ == State::closed; }
  void hooksAre(ConnectedHook connected, ClosedHook closed) {
    connected_ = std::move(connected);
    closed_ = std::move(closed);
  }

  virtual void flowOutsWake() = 0;
  // Ends the stream and its connection; the closed hook is told once.
  virtual void closedIs(String8 reason) = 0;

 protected:
  enum class State { connecting, open, closed };

  explicit StreamBase(std::size_t capacity) : conn_(Connection::ConnectionIs(capacity)) {
    // Nothing leaves before the socket is connected: writers defer.
    conn_->out()->isConnectedIs(false);
  }

  Ptr<Connection> conn_;
  State state_ = State::connecting;
  ConnectedHook connected_;
  ClosedHook closed_;
};

template <class Protocol>
class Stream final : public StreamBase, private NboAttrLog::Out::Drainer {
 public:
  using Socket = typename Protocol::socket;

  static Ptr<Stream> StreamIs(asio::io_context& io, Options const& o) {
    return Ptr<Stream>(new Stream(Socket(io), o), adoptRef);
  }
  static Ptr<Stream> StreamIs(Socket socket, Options const& o) {
    return Ptr<Stream>(new Stream(std::move(socket), o), adoptRef);
  }

  Socket& socket() { return socket_; }

  // The socket is connected: drain, read, tell the owner.
  void started() {
    if (state_ != State::connecting) return;
    state_ = State::open;
    if (socketSendBuffer_ > 0) {
      std::error_code ignored;  // a refused size leaves the system's
      socket_.set_option(asio::socket_base::send_buffer_size(int(socketSendBuffer_)), ignored);
    }
    Ptr<NboAttrLog::Out> const& out = conn_->out();
    out->isConnectedIs(true);
    out->drainerIs(this);
    readNext();
    if (ConnectedHook hook = std::move(connected_)) {
      connected_ = nullptr;
      try {
        hook(*this);
      } catch (std::exception const& e) {
        return closedIs(format("connection handler failed: %s", e.what()));
      }
    }
    // Whatever the handler attached or wrote goes out now.
    if (state_ == State::open) flowOutsRun();
  }

  void flowOutsWake() override {
    if (state_ == State::open && !writing_) flowOutsRun();
  }

  void closedIs(String8 reason) override {
    if (state_ == State::closed) return;
    Ptr<Stream> keep(this);  // the hook may drop the owner's reference
    state_ = State::closed;
    std::error_code ignored;
    socket_.shutdown(Socket::shutdown_both, ignored);
    socket_.close(ignored);
    retry_.cancel();
    conn_->out()->drainerIs(nullptr);
    conn_->closedIs(std::move(reason));
    connected_ = nullptr;
    if (ClosedHook hook = std::move(closed_)) {
      closed_ = nullptr;
      hook(*this, conn_->closeReason());
    }
  }

 private:
  Stream(Socket socket, Options const& o)
      : StreamBase(o.capacity), socket_(std::move(socket)), retry_(socket_.get_executor()), retryAfter_(o.flowOutRetry), socketSendBuffer_(o.socketSendBuffer) {}
  ~Stream() override {
    if (conn_->out()) conn_->out()->drainerIs(nullptr);
  }

  // Finished records arrived in an empty buffer, maybe in the middle of a
  // writer's mutator: write them from the context, with whatever follows
  // them in the same turn.
  void outputPending() override {
    if (state_ != State::open || writing_ || writePosted_) return;
    writePosted_ = true;
    asio::post(socket_.get_executor(), [self = Ptr<Stream>(this)] {
      self->writePosted_ = false;
      self->writeNext();
    });
  }

  void writeNext() {
    if (state_ != State::open || writing_) return;
    auto bytes = conn_->out()->bytes();
    if (bytes.empty()) return;
    std::size_t n = std::min(bytes.size(), kWriteChunk);
    writeBuffer_.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    writing_ = true;
    asio::async_write(socket_, asio::buffer(writeBuffer_),
                      [self = Ptr<Stream>(this)](std::error_code ec, std::size_t written) {
                        self->writing_ = false;
                        if (self->state_ != State::open) return;
                        if (ec) return self->closedIs(reasonOf("write failed", ec));
                        self->conn_->out()->bytesConsumed(written);
                        self->flowOutsRun();
                      });
  }

  // The stream took bytes, or was woken: flow-outs fill the room, then
  // whatever is finished is written. Flow-outs that wait with nothing to
  // write (no entity id free) are tried again shortly.
  void flowOutsRun() {
    bool waiting;
    try {
      waiting = conn_->flowOutReady();
    } catch (std::exception const& e) {
      return closedIs(format("flow-out failed: %s", e.what()));
    }
    if (state_ != State::open) return;
    writeNext();
    if (waiting && !writing_ && !retryArmed_) {
      retryArmed_ = true;
      retry_.expires_after(retryAfter_);
      retry_.async_wait([self = Ptr<Stream>(this)](std::error_code ec) {
        self->retryArmed_ = false;
        if (!ec) self->flowOutsWake();
      });
    }
  }

  void readNext() {
    socket_.async_read_some(asio::buffer(readBuffer_), [self = Ptr<Stream>(this)](std::error_code ec, std::size_t n) {
      self->received(ec, n);
    });
  }

  void received(std::error_code ec, std::size_t n) {
    if (state_ != State::open) return;
    if (ec == asio::error::eof) return closedIs("end of stream");
    if (ec) return closedIs(reasonOf("read failed", ec));
    try {
      conn_->bytesReceived({readBuffer_.data(), n});
    } catch (std::exception const& e) {
      return closedIs(format("frame handler failed: %s", e.what()));
    }
    if (state_ != State::open) return;
    // Lost framing closed the connection: the stream goes with it.
    if (conn_->isClosed()) return closedIs(conn_->closeReason());
    readNext();
  }

  Socket socket_;
  asio::steady_timer retry_;
  std::chrono::milliseconds retryAfter_;
  std::size_t socketSendBuffer_;
  std::vector<unsigned char> writeBuffer_;
  std::array<unsigned char, kReadChunk> readBuffer_;
  bool writing_ = false;
  bool writePosted_ = false;
  bool retryArmed_ = false;
};

// ---- Listening ----

class ListenerBase : public PtrInterface {
 public:
  ConnectionHandler onConnection;
  ClosedHandler onClosed;

  virtual bool isListening() const = 0;
  virtual std::uint16_t port() const = 0;

  std::vector<Ptr<Connection>> connections() const {
    std::vector<Ptr<Connection>> all;
    for (auto const& s : streams_) all.push_back(s->connection());
    return all;
  }

  void flowOutsWake(Ptr<Connection> const& conn) {
    for (auto const& s : streams_) {
      if (s->connection() == conn) return s->flowOutsWake();
    }
  }

  // `tell`: the closed handler hears of each connection.
  void closedIs(bool tell) {
    Ptr<ListenerBase> keep(this);
    acceptorClosed();
    if (!tell) {
      onConnection = nullptr;
      onClosed = nullptr;
    }
    // Closing removes each stream from the list through its hook.
    while (!streams_.empty()) {
      Ptr<StreamBase> s = streams_.front();
      s->closedIs("server closed");
      std::erase(streams_, s);
    }
    onConnection = nullptr;
    onClosed = nullptr;
  }

 protected:
  void adopt(Ptr<StreamBase> const& s) {
    streams_.push_back(s);
    s->hooksAre(
        [this](StreamBase& stream) {
          // A copy: the handler may replace itself.
          if (ConnectionHandler h = onConnection) h(stream.connection());
        },
        [this](StreamBase& stream, String8 const& reason) {
          Ptr<ListenerBase> keep(this);
          Ptr<Connection> conn = stream.connection();
          std::erase_if(streams_, [&](Ptr<StreamBase> const& p) { return p.ptr() == &stream; });
          if (ClosedHandler h = onClosed) h(conn, reason);
        });
  }

  virtual void acceptorClosed() = 0;

  std::vector<Ptr<StreamBase>> streams_;
};

template <class Protocol>
class Listener final : public ListenerBase {
 public:
  Listener(asio::io_context& io, Options const& o) : acceptor_(io), pause_(io), options_(o) {}

  typename Protocol::acceptor& acceptor() { return acceptor_; }
  // The socket file this listener made, removed when it closes.
  void socketFileIs(std::string path, ino_t inode, dev_t device) {
    path_ = std::move(path);
    inode_ = inode;
    device_ = device;
  }

  bool isListening() const override { return acceptor_.is_open(); }
  std::uint16_t port() const override {
    if constexpr (std::is_same_v<Protocol, TcpProtocol>) {
      std::error_code ec;
      auto ep = acceptor_.local_endpoint(ec);
      return ec ? 0 : ep.port();
    } else {
      return 0;
    }
  }

  void acceptNext() {
    acceptor_.async_accept([self = Ptr<Listener>(this)](std::error_code ec, typename Protocol::socket socket) {
      if (!self->acceptor_.is_open()) return;
      if (ec) {
        // Out of descriptors or memory, or a connection reset before it was
        // taken: try again later rather than spin.
        self->pause_.expires_after(kAcceptRetry);
        self->pause_.async_wait([self](std::error_code e) {
          if (!e && self->acceptor_.is_open()) self->acceptNext();
        });
        return;
      }
      auto stream = Stream<Protocol>::StreamIs(std::move(socket), self->options_);
      self->adopt(stream);
      self->acceptNext();
      stream->started();
    });
  }

 private:
  ~Listener() override { acceptorClosed(); }

  void acceptorClosed() override {
    std::error_code ignored;
    acceptor_.close(ignored);
    pause_.cancel();
    if (path_.empty()) return;
    // Only the file this listener made: another server may have replaced it.
    struct stat st;
    if (::lstat(path_.c_str(), &st) == 0 && st.st_ino == inode_ && st.st_dev == device_) ::unlink(path_.c_str());
    path_.clear();
  }

  typename Protocol::acceptor acceptor_;
  asio::steady_timer pause_;
  Options options_;
  std::string path_;
  ino_t inode_ = 0;
  dev_t device_ = 0;
};

namespace {

[[noreturn]] void refuse(std::string const& verb, Address const& a, std::string const& why, std::error_code ec) {
  throw SocketException(format("cannot %s %s: %s", verb, addressText(a), why), standard(ec));
}

UnixProtocol::endpoint unixEndpoint(std::string const& verb, Address const& a) {
  std::string const& path = std::get<UnixAddress>(a).path;
  if (path.empty()) refuse(verb, a, "empty socket path", std::make_error_code(std::errc::invalid_argument));
  try {
    return UnixProtocol::endpoint(path);
  } catch (std::system_error const& e) {
    refuse(verb, a, "socket path too long", e.code());
  }
}

// Is a server accepting at `ep`? A socket file nobody listens on refuses.
bool someoneListens(asio::io_context& io, UnixProtocol::endpoint const& ep, Address const& a) {
  UnixProtocol::socket probe(io);
  std::error_code ec;
  probe.open(UnixProtocol(), ec);
  if (!ec) probe.non_blocking(true, ec);
  if (!ec) probe.connect(ep, ec);
  if (!ec || ec == asio::error::would_block || ec == asio::error::try_again) return true;
  if (ec == asio::error::connection_refused) return false;
  refuse("listen on", a, ec.message(), ec);
}

Ptr<ListenerBase> listenUnix(asio::io_context& io, Address const& a, Options const& o) {
  std::string const& path = std::get<UnixAddress>(a).path;
  UnixProtocol::endpoint ep = unixEndpoint("listen on", a);
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      refuse("listen on", a, "a file that is not a socket is in the way", std::make_error_code(std::errc::file_exists));
    }
    if (someoneListens(io, ep, a)) {
      refuse("listen on", a, "address in use: a server listens there",
             std::make_error_code(std::errc::address_in_use));
    }
    ::unlink(path.c_str());  // stale: its server is gone
  }
  Ptr<Listener<UnixProtocol>> l(new Listener<UnixProtocol>(io, o), adoptRef);
  auto& acceptor = l->acceptor();
  std::error_code ec;
  acceptor.open(ep.protocol(), ec);
  if (!ec) acceptor.bind(ep, ec);
  if (ec == asio::error::address_in_use) refuse("listen on", a, "address in use", ec);
  if (ec) refuse("listen on", a, ec.message(), ec);
  if (::lstat(path.c_str(), &st) == 0) l->socketFileIs(path, st.st_ino, st.st_dev);
  acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) refuse("listen on", a, ec.message(), ec);
  l->acceptNext();
  return l;
}

TcpProtocol::endpoint tcpEndpoint(asio::io_context& io, Address const& a) {
  auto const& t = std::get<TcpAddress>(a);
  std::error_code ec;
  asio::ip::address ip = asio::ip::make_address(t.host, ec);
  if (!ec) return {ip, t.port};
  TcpProtocol::resolver resolver(io);
  auto found = resolver.resolve(t.host, std::to_string(t.port), TcpProtocol::resolver::passive, ec);
  if (ec || found.empty()) refuse("listen on", a, ec ? ec.message() : "host has no address", ec);
  return found.begin()->endpoint();
}

Ptr<ListenerBase> listenTcp(asio::io_context& io, Address& a, Options const& o) {
  TcpProtocol::endpoint ep = tcpEndpoint(io, a);
  Ptr<Listener<TcpProtocol>> l(new Listener<TcpProtocol>(io, o), adoptRef);
  auto& acceptor = l->acceptor();
  std::error_code ec;
  acceptor.open(ep.protocol(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(ep, ec);
  if (ec == asio::error::address_in_use) refuse("listen on", a, "address in use", ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) refuse("listen on", a, ec.message(), ec);
  std::get<TcpAddress>(a).port = l->port();
  l->acceptNext();
  return l;
}

String8 connectFailure(Address const& a, std::error_code ec) {
  std::string why = ec.message();
  if (standard(ec) == std::errc::connection_refused) why = "connection refused: nobody listens there";
  else if (standard(ec) == std::errc::no_such_file_or_directory) why = "no such socket";
  return format("cannot connect to %s: %s", addressText(a), why);
}

}  // namespace

// ---- Server ----

ValidPtr<Server> Server::ServerIs(asio::io_context& io, Address const& where, Options const& options) {
  Address bound = where;
  Ptr<ListenerBase> l = std::holds_alternative<UnixAddress>(bound) ? listenUnix(io, bound, options)
                                                                   : listenTcp(io, bound, options);
  return ValidPtr<Server>(new Server(std::move(l), std::move(bound)), adoptRef);
}

Server::Server(Ptr<ListenerBase> listener, Address address)
    : listener_(std::move(listener)), address_(std::move(address)) {}

Server::~Server() { listener_->closedIs(false); }

void Server::onConnectionIs(ConnectionHandler h) { listener_->onConnection = std::move(h); }
void Server::onClosedIs(ClosedHandler h) { listener_->onClosed = std::move(h); }
std::uint16_t Server::port() const { return listener_->port(); }
bool Server::isListening() const { return listener_->isListening(); }
std::vector<Ptr<Connection>> Server::connections() const { return listener_->connections(); }
void Server::flowOutsWake(Ptr<Connection> const& conn) { listener_->flowOutsWake(conn); }
void Server::closedIs() { listener_->closedIs(true); }

// ---- Client ----

ValidPtr<Client> Client::ClientIs(asio::io_context& io, Address const& to, Options const& options) {
  if (std::holds_alternative<UnixAddress>(to)) {
    UnixProtocol::endpoint ep = unixEndpoint("connect to", to);
    auto stream = Stream<UnixProtocol>::StreamIs(io, options);
    stream->socket().async_connect(ep, [stream, to](std::error_code ec) {
      if (stream->isClosed()) return;
      if (ec) return stream->closedIs(connectFailure(to, ec));
      stream->started();
    });
    return ValidPtr<Client>(new Client(stream, to), adoptRef);
  }
  auto const& t = std::get<TcpAddress>(to);
  auto stream = Stream<TcpProtocol>::StreamIs(io, options);
  auto resolver = std::make_shared<TcpProtocol::resolver>(io);
  resolver->async_resolve(
      t.host, std::to_string(t.port),
      [stream, to, resolver](std::error_code ec, TcpProtocol::resolver::results_type found) {
        if (stream->isClosed()) return;
        if (ec) return stream->closedIs(format("cannot resolve %s: %s", addressText(to), ec.message()));
        asio::async_connect(stream->socket(), found, [stream, to](std::error_code e, TcpProtocol::endpoint const&) {
          if (stream->isClosed()) return;
          if (e) return stream->closedIs(connectFailure(to, e));
          stream->started();
        });
      });
  return ValidPtr<Client>(new Client(stream, to), adoptRef);
}

Client::Client(Ptr<StreamBase> stream, Address address) : stream_(std::move(stream)), address_(std::move(address)) {}

Client::~Client() {
  stream_->hooksAre(nullptr, nullptr);
  stream_->closedIs("client released");
}

Ptr<Connection> const& Client::connection() const { return stream_->connection(); }

void Client::onConnectedIs(ConnectionHandler h) {
  onConnected_ = std::move(h);
  hooksRenew();
}

void Client::onClosedIs(ClosedHandler h) {
  onClosed_ = std::move(h);
  hooksRenew();
}

// The stream's hooks hold copies of the handlers, not the client: a handler
// may release the client.
void Client::hooksRenew() {
  if (stream_->isClosed()) return;
  stream_->hooksAre(
      [h = onConnected_](StreamBase& s) {
        if (h) h(s.connection());
      },
      [h = onClosed_](StreamBase& s, String8 const& reason) {
        if (h) h(s.connection(), reason);
      });
}

bool Client::isConnected() const { return stream_->isOpen(); }
bool Client::isClosed() const { return stream_->isClosed(); }
void Client::flowOutsWake() { stream_->flowOutsWake(); }
void Client::closedIs(String8 reason) { stream_->closedIs(std::move(reason)); }

}  // namespace Zef::AttrLogSocket
