#include "runtime/attrlog/socket/socket_transport.h"

#include <asio.hpp>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <type_traits>
#include <unordered_map>

#include "runtime/text/text.h"

namespace Zef::AttrLogSocket {

using NboAttrLog::CloseCause;

namespace {

using UnixProtocol = asio::local::stream_protocol;
using TcpProtocol = asio::ip::tcp;

// At most this much is written in one turn of a stream before the others get
// theirs: a fast reader of a long burst does not hold up the context.
constexpr std::size_t kWriteTurn = 256 * 1024;
// What flow-outs make before it is written. A stream's first writes are
// smaller, doubling up to it, so that the reader has work before the
// writer has made a whole chunk. A chunk and the pass that crosses it fit
// the send buffer's first block, so a first synchronisation that keeps its
// reader busy never grows the buffer onto fresh pages.
constexpr std::size_t kWriteChunk = Zef::NboAttrLog::Out::kInitialAllocation / 2;
constexpr std::size_t kFirstWriteChunk = 4 * 1024;
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

bool wouldBlock(std::error_code ec) { return ec == asio::error::would_block || ec == asio::error::try_again; }

// "[::1]" names the host "::1": brackets only set an IPv6 address apart from
// its port in text.
TcpAddress unbracketed(TcpAddress t) {
  if (t.host.size() >= 2 && t.host.front() == '[' && t.host.back() == ']') t.host = t.host.substr(1, t.host.size() - 2);
  return t;
}

Address unbracketed(Address const& a) {
  if (auto const* t = std::get_if<TcpAddress>(&a)) return unbracketed(*t);
  return a;
}

// The read buffer of every stream of a thread: a stream that waits for bytes
// holds none. A read nested inside another's frame handler gets its own. The
// buffer comes from the framework pool, whose memory a busy process has
// mostly touched already.
class ReadArea {
 public:
  ReadArea() : shared_(!busy()) {
    if (shared_) {
      busy() = true;
      auto& s = sharedBytes();
      if (!s) s = newBytes();
      bytes_ = s.get();
    } else {
      own_ = newBytes();
      bytes_ = own_.get();
    }
  }
  ~ReadArea() {
    if (shared_) busy() = false;
  }
  ReadArea(ReadArea const&) = delete;
  ReadArea& operator=(ReadArea const&) = delete;

  unsigned char* data() const { return bytes_; }
  static constexpr std::size_t size() { return kReadChunk; }

 private:
  static bool& busy() {
    thread_local bool b = false;
    return b;
  }
  using Bytes = Zef::PoolBytes;
  static Bytes newBytes() { return Bytes(kReadChunk); }
  static Bytes& sharedBytes() {
    thread_local Bytes s;
    return s;
  }

  bool shared_;
  Bytes own_;
  unsigned char* bytes_ = nullptr;
};

}  // namespace

std::string addressText(Address const& a) {
  if (auto const* u = std::get_if<UnixAddress>(&a)) return "unix:" + u->path;
  auto const& t = std::get<TcpAddress>(a);
  bool bare6 = t.host.find(':') != std::string::npos && t.host.front() != '[';
  return "tcp:" + (bare6 ? "[" + t.host + "]" : t.host) + ":" + std::to_string(t.port);
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
  virtual void closedIs(String8 reason, CloseCause cause) = 0;

  // How long since the reader last took every byte waiting for it: zero
  // while nothing waits. A reader that keeps up empties the buffer often,
  // however much it carries; one that trickles (or whose kernel buffers
  // fill without it reading) does not.
  std::chrono::steady_clock::duration stalledFor(std::chrono::steady_clock::time_point now) const {
    if (!isOpen() || conn_->out()->size() == 0) return {};
    return now - drainedAt_;
  }

 protected:
  enum class State { connecting, open, closed };

  explicit StreamBase(std::size_t capacity) : conn_(Connection::ConnectionIs(capacity)) {
    // Nothing leaves before the socket is connected: writers defer.
    conn_->out()->isConnectedIs(false);
  }

  // The buffer was empty until now.
  void drained() { drainedAt_ = std::chrono::steady_clock::now(); }

  Ptr<Connection> conn_;
  std::chrono::steady_clock::time_point drainedAt_ = std::chrono::steady_clock::now();
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
    std::error_code ignored;
    // The first synchronisation streams: what the passes make is written
    // while the next is made, through the system's socket buffer. The small
    // one comes once it is done.
    conn_->demuxer()->writeChunkIs(kFirstWriteChunk);
    // Reads and writes take what the socket has now and otherwise wait for
    // it to be ready, holding only a small buffer meanwhile.
    socket_.non_blocking(true, ignored);
    // Records leave in writes we have already gathered: a write held back
    // until the last is acknowledged could wait out the other end's delayed
    // acknowledgement, tens of milliseconds, with a link change in it.
    if constexpr (std::is_same_v<Protocol, TcpProtocol>) socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    Ptr<NboAttrLog::Out> const& out = conn_->out();
    out->isConnectedIs(true);
    out->drainerIs(this);
    readWait();
    if (ConnectedHook hook = std::move(connected_)) {
      connected_ = nullptr;
      try {
        hook(*this);
      } catch (std::exception const& e) {
        return closedIs(format("connection handler failed: %s", e.what()), CloseCause::handlerFailed);
      }
    }
    // Whatever the handler attached or wrote goes out now.
    sendBufferSettle();
    pump(true);
  }

  // A stream waiting for room runs its flow-outs once the socket has it.
  void flowOutsWake() override { pump(true); }

  void closedIs(String8 reason, CloseCause cause) override {
    if (state_ == State::closed) return;
    Ptr<Stream> keep(this);  // the hook may drop the owner's reference
    state_ = State::closed;
    std::error_code ignored;
    socket_.shutdown(Socket::shutdown_both, ignored);
    room_.close(ignored);
    socket_.close(ignored);
    retry_.cancel();
    conn_->out()->drainerIs(nullptr);
    conn_->closedIs(std::move(reason), cause);
    connected_ = nullptr;
    if (ClosedHook hook = std::move(closed_)) {
      closed_ = nullptr;
      hook(*this, conn_->closeReason());
    }
  }

 private:
  Stream(Socket socket, Options const& o)
      : StreamBase(o.capacity),
        socket_(std::move(socket)),
        room_(socket_.get_executor()),
        retry_(socket_.get_executor()),
        loop_(loopOf(socket_)),
        retryAfter_(o.flowOutRetry),
        socketSendBuffer_(o.socketSendBuffer),
        burstGap_(o.burstGap) {}
  ~Stream() override {
    if (conn_->out()) conn_->out()->drainerIs(nullptr);
  }

  // Finished records arrived in an empty buffer, maybe in the middle of a
  // writer's mutator. On a settled connection the first of a turn is
  // written at once when the buffer has been empty a while: a lone change
  // would otherwise wait for the loop's next turn, and a poll of its
  // reactor, before its write. In a burst (the buffer emptied moments ago)
  // it waits for the turn's write instead: alone it would cost a write and
  // a wake-up of the reader for one record, and a burst is made of little
  // else. What follows in the same turn is written from the loop, after the
  // turn, in as few writes as the socket takes.
  void outputPending() override {
    auto const emptiedAt = drainedAt_;
    drained();
    if (state_ != State::open || pumping_ || roomWaited_ || writePosted_) return;
    bool const burst = drainedAt_ - emptiedAt < burstGap_;
    if (!failurePosted_ && conn_->isSettled() && !burst) writeNow();  // only bytes, as for a backlog
    if (roomWaited_ || failurePosted_) return;  // a write never closes here
    // Posted even when nothing is left: until it runs, the turn is not over.
    writePosted_ = true;
    asio::post(loop_, [self = Ptr<Stream>(this)] {
      self->writePosted_ = false;
      self->pump(false);
    });
  }

  // Only bytes: whatever else a write might do (closing, flow-outs) waits
  // for the loop, since the writer's mutator may be under way.
  void outputBacklogged() override {
    if (state_ != State::open || pumping_ || roomWaited_ || failurePosted_) return;
    writeNow();
  }

  void writeNow() {
    sendBufferSettle();
    if (conn_->out()->size() == 0) return;
    std::error_code ec;
    sendSome(ec);
    if (!ec) return;
    if (wouldBlock(ec)) return roomWait();
    failurePosted_ = true;
    asio::post(loop_, [self = Ptr<Stream>(this), why = reasonOf("write failed", ec)]() mutable {
      self->closedIs(std::move(why), CloseCause::socketError);
    });
  }

  // One write of what waits, as much as the socket takes now, consumed from
  // the send buffer; nothing taken is would_block.
  std::size_t sendSome(std::error_code& ec) {
    auto bytes = conn_->out()->bytes();
    std::size_t n = socket_.write_some(asio::buffer(bytes.data(), bytes.size()), ec);
    if (ec) return 0;
    if (n == 0) {
      ec = asio::error::would_block;
      return 0;
    }
    conn_->out()->bytesConsumed(n);
    if (conn_->out()->size() == 0) drained();
    return n;
  }

  // Writes what the socket takes now, straight from the send buffer, running
  // the flow-outs before each write to fill the room it made. When the socket
  // takes nothing, waits until it has room: a reader that stalls costs one
  // wait, no timer. Flow-outs that wait with nothing to write (no entity id
  // free) are tried again shortly.
  void pump(bool flowOutsFirst) {
    if (state_ != State::open || pumping_ || roomWaited_) return;
    Ptr<Stream> keep(this);  // closing may drop the owner's reference
    pumping_ = true;
    bool waiting = false;
    std::size_t sent = 0;
    for (bool run = flowOutsFirst;; run = true) {
      if (run) {
        try {
          waiting = conn_->flowOutReady();
        } catch (std::exception const& e) {
          pumping_ = false;
          return closedIs(format("flow-out failed: %s", e.what()), CloseCause::handlerFailed);
        }
        if (state_ != State::open) break;
        sendBufferSettle();
      }
      auto bytes = conn_->out()->bytes();
      if (bytes.empty()) break;
      if (sent >= kWriteTurn) {
        pumping_ = false;
        return pumpPost();
      }
      std::error_code ec;
      std::size_t n = sendSome(ec);
      if (wouldBlock(ec)) {
        pumping_ = false;
        return roomWait();
      }
      if (ec) {
        pumping_ = false;
        return closedIs(reasonOf("write failed", ec), CloseCause::socketError);
      }
      sent += n;
      if (std::size_t c = conn_->demuxer()->writeChunk(); c < kWriteChunk) {
        conn_->demuxer()->writeChunkIs(std::min(2 * c, kWriteChunk));
      }
    }
    pumping_ = false;
    if (waiting && state_ == State::open) retryArm();
  }

  void sendBufferSettle() {
    if (sendBufferSet_ || socketSendBuffer_ == 0 || conn_->isFirstSyncUnderWay()) return;
    sendBufferSet_ = true;
    std::error_code ignored;
    // A refused size leaves the system's.
    socket_.set_option(asio::socket_base::send_buffer_size(int(socketSendBuffer_)), ignored);
  }

  void pumpPost() {
    if (pumpPosted_) return;
    pumpPosted_ = true;
    asio::post(loop_, [self = Ptr<Stream>(this)] {
      self->pumpPosted_ = false;
      self->pump(true);
    });
  }

  // Room is waited for through an epoll set of the stream's own, which the
  // loop watches: the socket's interest in room is armed for one wait and
  // falls silent when it fires. The loop's own interest in room, once asked
  // for, would last: every read at the other end that frees space would
  // then wake this process, and a Unix socket's reader pays for that wake-up
  // inside its read, on every change it follows.
  void roomWait() {
    roomWaited_ = true;
    auto done = [self = Ptr<Stream>(this)](std::error_code ec) {
      self->roomWaited_ = false;
      if (self->state_ != State::open) return;
      self->roomHarvest();
      if (ec) return self->closedIs(reasonOf("write failed", ec), CloseCause::socketError);
      self->pump(true);
    };
    if (!roomArm()) return socket_.async_wait(Socket::wait_write, std::move(done));
    room_.async_wait(asio::posix::descriptor_base::wait_read, std::move(done));
  }

  // Arms the socket's one-shot interest in room; false when the stream's
  // set cannot be had (no descriptor to spare), and the loop's wait serves.
  bool roomArm() {
    epoll_event ev{};
    ev.events = EPOLLOUT | EPOLLONESHOT;
    int const sock = socket_.native_handle();
    if (!room_.is_open()) {
      int const fd = ::epoll_create1(EPOLL_CLOEXEC);
      if (fd < 0) return false;
      std::error_code ec;
      room_.assign(fd, ec);
      if (ec) {
        ::close(fd);
        return false;
      }
      return ::epoll_ctl(fd, EPOLL_CTL_ADD, sock, &ev) == 0;
    }
    return ::epoll_ctl(room_.native_handle(), EPOLL_CTL_MOD, sock, &ev) == 0;
  }

  // Takes the fired interest out of the set, which disarms it.
  void roomHarvest() {
    if (!room_.is_open()) return;
    epoll_event ev;
    while (::epoll_wait(room_.native_handle(), &ev, 1, 0) < 0 && errno == EINTR) {
    }
  }

  void retryArm() {
    if (retryArmed_) return;
    retryArmed_ = true;
    retry_.expires_after(retryAfter_);
    retry_.async_wait([self = Ptr<Stream>(this)](std::error_code ec) {
      self->retryArmed_ = false;
      if (!ec) self->pump(true);
    });
  }

  // Waits for bytes by reading them: a wait without a read would have the
  // reactor re-arm the socket with a system call at every wake-up, which a
  // mount following single changes pays on each one. The small buffer takes
  // a change or two; more than it holds goes on through the shared area.
  void readWait() {
    socket_.async_read_some(asio::buffer(first_), [self = Ptr<Stream>(this)](std::error_code ec, std::size_t n) {
      self->readable(ec, n);
    });
  }

  void readable(std::error_code ec, std::size_t n) {
    if (state_ != State::open) return;
    if (ec == asio::error::eof) return closedIs("end of stream", CloseCause::endOfStream);
    if (ec) return closedIs(reasonOf("read failed", ec), CloseCause::socketError);
    if (!deliver(first_.data(), n)) return;
    if (n == first_.size()) {
      ReadArea area;
      std::size_t more = socket_.read_some(asio::buffer(area.data(), area.size()), ec);
      if (!wouldBlock(ec)) {
        if (ec == asio::error::eof) return closedIs("end of stream", CloseCause::endOfStream);
        if (ec) return closedIs(reasonOf("read failed", ec), CloseCause::socketError);
        if (!deliver(area.data(), more)) return;
      }
    }
    readWait();
  }

  // Hands bytes read to the connection; false once the stream has closed.
  bool deliver(unsigned char const* bytes, std::size_t n) {
    try {
      conn_->bytesReceived({bytes, n});
    } catch (std::exception const& e) {
      closedIs(format("frame handler failed: %s", e.what()), CloseCause::handlerFailed);
      return false;
    }
    if (state_ != State::open) return false;
    // Lost framing closed the connection: the stream goes with it.
    if (conn_->isClosed()) {
      closedIs(conn_->closeReason(), conn_->closeCause());
      return false;
    }
    return true;
  }

  // The loop's own executor: a post through it recycles its memory, where
  // one through the socket's type-erased executor allocates each time.
  static asio::io_context::executor_type loopOf(Socket& socket) {
    return *socket.get_executor().template target<asio::io_context::executor_type>();
  }

  Socket socket_;
  asio::posix::stream_descriptor room_;
  asio::steady_timer retry_;
  asio::io_context::executor_type loop_;
  bool failurePosted_ = false;
  std::chrono::milliseconds retryAfter_;
  std::size_t socketSendBuffer_;
  std::chrono::microseconds burstGap_;
  bool sendBufferSet_ = false;
  bool pumping_ = false;
  bool roomWaited_ = false;
  bool writePosted_ = false;
  bool pumpPosted_ = false;
  bool retryArmed_ = false;
  std::array<unsigned char, 256> first_;
};

// ---- Listening ----

class ListenerBase : public PtrInterface {
 public:
  ConnectionHandler onConnection;
  ClosedHandler onClosed;
  RefusedHandler onRefused;

  virtual bool isListening() const = 0;
  virtual std::uint16_t port() const = 0;

  std::vector<Ptr<Connection>> connections() const {
    std::vector<Ptr<Connection>> all;
    all.reserve(streams_.size());
    for (auto const& s : streams_) all.push_back(s->connection());
    return all;
  }
  std::uint64_t refused() const { return refused_; }

  // Looked up, not searched: a program may wake every connection each turn.
  void flowOutsWake(Ptr<Connection> const& conn) {
    auto it = byConnection_.find(conn.ptr());
    if (it == byConnection_.end()) return;
    Ptr<StreamBase> s = it->second;
    s->flowOutsWake();
  }

  // `tell`: the closed handler hears of each connection.
  void closedIs(bool tell) {
    Ptr<ListenerBase> keep(this);
    acceptorClosed();
    if (!tell) {
      onConnection = nullptr;
      onClosed = nullptr;
    }
    onRefused = nullptr;
    // Closing removes each stream from the list through its hook.
    while (!streams_.empty()) {
      Ptr<StreamBase> s = streams_.front();
      s->closedIs("server closed", CloseCause::serverClosed);
      forget(*s);
    }
    onConnection = nullptr;
    onClosed = nullptr;
  }

 protected:
  ListenerBase(std::size_t maxConnections, std::chrono::milliseconds stallEviction)
      : maxConnections_(maxConnections), stallEviction_(stallEviction) {}

  bool isFull() const { return streams_.size() >= maxConnections_; }

  // At the limit, the connection whose reader has been behind for longest,
  // beyond stallEviction, gives its place to a new one: clients that connect
  // and never read cannot keep a mount out. False when none has stalled.
  bool stalledEvicted() {
    auto now = std::chrono::steady_clock::now();
    Ptr<StreamBase> worst;
    std::chrono::steady_clock::duration longest{};
    for (auto const& s : streams_) {
      auto d = s->stalledFor(now);
      if (d > stallEviction_ && d > longest) {
        longest = d;
        worst = s;
      }
    }
    if (!worst) return false;
    worst->closedIs(format("evicted: it has not caught up for %.1f s and a new connection wanted its place",
                           std::chrono::duration<double>(longest).count()),
                    CloseCause::evicted);
    return true;
  }

  // A connection beyond the limit, already closed: counted, and told once a
  // burst.
  void refusedOne() {
    ++refused_;
    if (refusing_) return;
    refusing_ = true;
    if (RefusedHandler h = onRefused) h(streams_.size());
  }

  void adopt(Ptr<StreamBase> const& s) {
    streams_.push_back(s);
    byConnection_[s->connection().ptr()] = s;
    s->hooksAre(
        [this](StreamBase& stream) {
          // A copy: the handler may replace itself.
          if (ConnectionHandler h = onConnection) h(stream.connection());
        },
        [this](StreamBase& stream, String8 const& reason) {
          Ptr<ListenerBase> keep(this);
          Ptr<Connection> conn = stream.connection();
          forget(stream);
          if (ClosedHandler h = onClosed) h(conn, reason);
        });
  }

  void forget(StreamBase& stream) {
    byConnection_.erase(stream.connection().ptr());
    std::erase_if(streams_, [&](Ptr<StreamBase> const& p) { return p.ptr() == &stream; });
    // Below the limit: the next refusal starts a new burst.
    if (!isFull()) refusing_ = false;
  }

  virtual void acceptorClosed() = 0;

  std::vector<Ptr<StreamBase>> streams_;
  std::unordered_map<Connection const*, Ptr<StreamBase>> byConnection_;
  std::size_t maxConnections_;
  std::chrono::milliseconds stallEviction_;
  std::uint64_t refused_ = 0;
  bool refusing_ = false;
};

template <class Protocol>
class Listener final : public ListenerBase {
 public:
  Listener(asio::io_context& io, Options const& o)
      : ListenerBase(o.maxConnections, o.stallEviction), acceptor_(io), pause_(io), options_(o) {}

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
      if (self->isFull() && !self->stalledEvicted()) {
        // Taken off the backlog and closed at once: waiting there, it would
        // hold the kernel's buffers and come in later as a burst.
        std::error_code ignored;
        socket.close(ignored);
        self->acceptNext();
        self->refusedOne();
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

std::error_code lastError() { return {errno, std::system_category()}; }

std::string octal(unsigned v) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", v);
  return text;
}

void optionsCheck(Address const& a, Options const& o) {
  auto invalid = std::make_error_code(std::errc::invalid_argument);
  if (o.maxConnections == 0) refuse("listen on", a, "maxConnections must be at least 1", invalid);
  if (std::holds_alternative<UnixAddress>(a) && (o.socketMode & ~mode_t(0777)) != 0) {
    refuse("listen on", a, "socket mode " + octal(unsigned(o.socketMode)) + " is not permission bits (0000 to 0777)",
           invalid);
  }
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
  // Linux makes the file with the socket's own mode less the umask: owner
  // bits only from the start, whatever the umask. Elsewhere the chmod below
  // narrows it before listen, and nobody connects to a socket not listening.
  if (!ec) (void)::fchmod(acceptor.native_handle(), o.socketMode & S_IRWXU);
  if (!ec) acceptor.bind(ep, ec);
  if (ec == asio::error::address_in_use) refuse("listen on", a, "address in use", ec);
  if (ec) refuse("listen on", a, ec.message(), ec);
  if (::lstat(path.c_str(), &st) != 0) refuse("listen on", a, "the socket file vanished", lastError());
  // From here a refusal removes the file with the listener.
  l->socketFileIs(path, st.st_ino, st.st_dev);
  // The group before the group's bits: never wider than asked.
  if (o.socketGroup && ::lchown(path.c_str(), uid_t(-1), *o.socketGroup) != 0) {
    std::error_code e = lastError();
    refuse("listen on", a, format("cannot give the socket to group %d: %s", *o.socketGroup, e.message()).str(), e);
  }
  if (::chmod(path.c_str(), o.socketMode) != 0) {
    std::error_code e = lastError();
    refuse("listen on", a, "cannot set the socket's mode to " + octal(unsigned(o.socketMode)) + ": " + e.message(),
           e);
  }
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

// Why a connected Unix socket's server is not to be trusted, or nothing: it
// runs as another user than this one, and not as root.
String8 foreignServer(UnixProtocol::socket& s, Address const& a) {
  uid_t uid = 0;
#if defined(SO_PEERCRED)
  struct ucred cred{};
  socklen_t len = sizeof cred;
  bool known = ::getsockopt(s.native_handle(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0;
  uid = cred.uid;
#else
  gid_t gid = 0;
  bool known = ::getpeereid(s.native_handle(), &uid, &gid) == 0;
#endif
  if (!known) return format("cannot connect to %s: cannot tell who serves it: %s", addressText(a), lastError().message());
  if (uid == ::geteuid() || uid == 0) return {};
  return format("%s is served by uid %d, not by this user", addressText(a), uid);
}

}  // namespace

// ---- Server ----

ValidPtr<Server> Server::ServerIs(asio::io_context& io, Address const& where, Options const& options) {
  Address bound = unbracketed(where);
  optionsCheck(bound, options);
  Ptr<ListenerBase> l = std::holds_alternative<UnixAddress>(bound) ? listenUnix(io, bound, options)
                                                                   : listenTcp(io, bound, options);
  return ValidPtr<Server>(new Server(std::move(l), std::move(bound)), adoptRef);
}

Server::Server(Ptr<ListenerBase> listener, Address address)
    : listener_(std::move(listener)), address_(std::move(address)) {}

Server::~Server() { listener_->closedIs(false); }

void Server::onConnectionIs(ConnectionHandler h) { listener_->onConnection = std::move(h); }
void Server::onClosedIs(ClosedHandler h) { listener_->onClosed = std::move(h); }
void Server::onRefusedIs(RefusedHandler h) { listener_->onRefused = std::move(h); }
std::uint64_t Server::connectionsRefused() const { return listener_->refused(); }
std::uint16_t Server::port() const { return listener_->port(); }
bool Server::isListening() const { return listener_->isListening(); }
std::vector<Ptr<Connection>> Server::connections() const { return listener_->connections(); }
void Server::flowOutsWake(Ptr<Connection> const& conn) { listener_->flowOutsWake(conn); }
void Server::closedIs() { listener_->closedIs(true); }

// ---- Client ----

ValidPtr<Client> Client::ClientIs(asio::io_context& io, Address const& address, Options const& options) {
  Address to = unbracketed(address);
  if (std::holds_alternative<UnixAddress>(to)) {
    UnixProtocol::endpoint ep = unixEndpoint("connect to", to);
    auto stream = Stream<UnixProtocol>::StreamIs(io, options);
    bool check = options.peerUidCheck;
    stream->socket().async_connect(ep, [stream, to, check](std::error_code ec) {
      if (stream->isClosed()) return;
      if (ec) return stream->closedIs(connectFailure(to, ec), CloseCause::connectFailed);
      // Before a byte is read or written: another user's server hears nothing.
      if (check) {
        if (String8 why = foreignServer(stream->socket(), to); why.size() > 0) {
          return stream->closedIs(std::move(why), CloseCause::connectFailed);
        }
      }
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
        if (ec) {
          return stream->closedIs(format("cannot resolve %s: %s", addressText(to), ec.message()), CloseCause::connectFailed);
        }
        asio::async_connect(stream->socket(), found, [stream, to](std::error_code e, TcpProtocol::endpoint const&) {
          if (stream->isClosed()) return;
          if (e) return stream->closedIs(connectFailure(to, e), CloseCause::connectFailed);
          stream->started();
        });
      });
  return ValidPtr<Client>(new Client(stream, to), adoptRef);
}

Client::Client(Ptr<StreamBase> stream, Address address) : stream_(std::move(stream)), address_(std::move(address)) {}

Client::~Client() {
  stream_->hooksAre(nullptr, nullptr);
  stream_->closedIs("client released", CloseCause::released);
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
void Client::closedIs(String8 reason) { stream_->closedIs(std::move(reason), CloseCause::closedHere); }

}  // namespace Zef::AttrLogSocket
