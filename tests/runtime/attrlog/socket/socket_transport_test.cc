// The socket transport, server and client in one process on one context,
// over a Unix socket in a temporary directory and over TCP on loopback.
#include "runtime/attrlog/socket/socket_transport.h"

#include <gtest/gtest.h>

#include <asio.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "model/phy_bcm54980_chip_config.h"
#include "model/phy_bcm54980_stats.h"
#include "runtime/attrlog/stream_adapter.h"
#include "standins/fru.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;
using Zef::Ptr;
using Zef::String8;
using Zef::AttrLogSocket::Address;
using Zef::AttrLogSocket::Client;
using Zef::AttrLogSocket::Options;
using Zef::AttrLogSocket::Server;
using Zef::AttrLogSocket::SocketException;
using Zef::AttrLogSocket::TcpAddress;
using Zef::AttrLogSocket::UnixAddress;
using Zef::NboAttrLog::CloseCause;
using Zef::NboAttrLog::Connection;
using Zef::NboAttrLog::FrameView;
using Zef::NboAttrLog::MsgHeader;
using Zef::NboAttrLog::Out;
using Zef::NboAttrLog::TransactToken;

struct Seen {
  MsgHeader header;
  Bytes payload;
  std::size_t offset;
  bool operator==(Seen const&) const = default;
};

// Every frame but the announcements of entities, which come before an
// entity's first record.
void collect(Ptr<Connection> const& conn, std::vector<Seen>* into) {
  conn->frameHandlerIs([into](Connection&, FrameView const& f) {
    if (f.header.entityId == 1 && f.header.attributeId == 136) return;
    into->push_back({f.header, Bytes(f.payload.begin(), f.payload.end()), f.offset});
  });
}

void record(Ptr<Out> const& out, MsgHeader const& h, Bytes const& payload) {
  out->nextHeaderIs(h);
  out << TransactToken{1};
  out->writeBytes(payload.data(), payload.size());
  out << TransactToken{3};
}

// The closed handler's reports.
struct Closures {
  std::vector<std::pair<Ptr<Connection>, std::string>> seen;
  Zef::AttrLogSocket::ClosedHandler handler() {
    return [this](Ptr<Connection> const& c, String8 const& reason) { seen.emplace_back(c, reason.str()); };
  }
};

class SocketTestBase {
 protected:
  SocketTestBase() {
    char dir[] = "/tmp/zefsocket-XXXXXX";
    if (!::mkdtemp(dir)) std::abort();
    dir_ = dir;
  }
  ~SocketTestBase() { std::filesystem::remove_all(dir_); }

  std::string path(char const* name) const { return (dir_ / name).string(); }
  // A client that ends before it connects: the one reason its closed
  // handler and its connection both give.
  std::string closedBeforeConnecting(Ptr<Client> const& client) {
    bool connected = false;
    std::vector<std::string> reasons;
    client->onConnectedIs([&](Ptr<Connection> const&) { connected = true; });
    client->onClosedIs([&](Ptr<Connection> const&, Zef::String8 const& why) { reasons.push_back(why.str()); });
    EXPECT_TRUE(runUntil([&] { return client->isClosed(); }));
    EXPECT_FALSE(connected);
    EXPECT_EQ(reasons.size(), 1u);
    EXPECT_EQ(client->connection()->closeReason(), reasons.empty() ? "" : reasons[0]);
    return reasons.empty() ? "" : reasons[0];
  }

  // Runs the context until `done`, for at most 10 s.
  bool runUntil(std::function<bool()> const& done) {
    auto end = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      io_.restart();
      io_.run_one_for(20ms);
    }
    return true;
  }
  // Runs whatever is ready, and what becomes ready within `d`.
  void runFor(std::chrono::milliseconds d) {
    io_.restart();
    io_.run_for(d);
  }

  asio::io_context io_;
  std::filesystem::path dir_;
};

// ---- Over both kinds of socket ----

class SocketTransportTest : public SocketTestBase, public ::testing::TestWithParam<bool> {
 protected:
  bool isUnix() const { return GetParam(); }
  Address listenAddress() const { return isUnix() ? Address(UnixAddress{path("s")}) : Address(TcpAddress{}); }

  // A server, and a client connected to it, with the server's connection.
  void connect(Options const& options = {}) {
    server_ = Server::ServerIs(io_, listenAddress(), options);
    server_->onConnectionIs([this](Ptr<Connection> const& c) {
      serverConn_ = c;
      if (onServerConnection) onServerConnection(c);
    });
    server_->onClosedIs(serverClosures_.handler());
    client_ = Client::ClientIs(io_, server_->address(), options);
    client_->onClosedIs(clientClosures_.handler());
    collect(client_->connection(), &atClient_);
    ASSERT_TRUE(runUntil([&] { return client_->isConnected() && serverConn_; }));
  }

  // Waits until the client has seen `n` records.
  ::testing::AssertionResult arrived(std::size_t n) {
    if (runUntil([&] { return atClient_.size() >= n; })) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << atClient_.size() << " of " << n << " arrived";
  }

  // Which end of this test's connection a descriptor is: the server's has
  // the server's address as its own, the client's as its peer's.
  enum class End { none, server, client };
  End endOf(int fd) const {
    sockaddr_storage self{}, peer{};
    socklen_t selfSize = sizeof self, peerSize = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&self), &selfSize) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0) {
      return End::none;
    }
    auto isServers = [&](sockaddr_storage const& a) {
      if (a.ss_family == AF_UNIX) return std::string(reinterpret_cast<sockaddr_un const&>(a).sun_path) == path("s");
      if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in const&>(a).sin_port) == server_->port();
      if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6 const&>(a).sin6_port) == server_->port();
      return false;
    };
    if (isServers(self)) return End::server;
    return isServers(peer) ? End::client : End::none;
  }

  std::function<void(Ptr<Connection> const&)> onServerConnection;
  Ptr<Server> server_;
  Ptr<Client> client_;
  Ptr<Connection> serverConn_;
  std::vector<Seen> atClient_;
  Closures serverClosures_;
  Closures clientClosures_;
};

INSTANTIATE_TEST_SUITE_P(Sockets, SocketTransportTest, ::testing::Values(true, false),
                         [](auto const& info) { return info.param ? "Unix" : "Tcp"; });

TEST_P(SocketTransportTest, RecordsArriveIntactAndCutIntoTheSameFramesBothWays) {
  using Hardware::Phy::EventOrCountStat;
  using Hardware::Phy::PhyBcm54980Stats;
  auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("port0");
  Zef::EntityId statsEid = 0;
  // Entities attach in the connection handler; what they write goes out.
  onServerConnection = [&](Ptr<Connection> const& c) {
    EXPECT_TRUE(c->out()->isConnected());
    auto sa = stats->zefNboAttrLogSaIs({}, 1, c->out(), nullptr);
    statsEid = sa->entityId();
    record(c->out(), {7, 300, 2, 3, 4, 1}, {0xde, 0xad, 0xbe, 0xef});
    sa->doSerializeOrphan();  // now, rather than before the first record
  };
  connect();
  EventOrCountStat v;
  v.countIs(5);
  v.lastIs(7.5);
  stats->crcErrorsIs(v);
  ASSERT_TRUE(runUntil([&] { return atClient_.size() == 2; }));

  Ptr<Out> wire = Out::OutIs();
  wire << v;
  std::size_t firstSize = 3 + 1 + 2 + 4 + 4;  // prefix, entity and attribute ids, words, payload
  // The second follows the first and the statistics entity's announcement.
  EXPECT_GT(atClient_.at(1).offset, firstSize);
  EXPECT_EQ(atClient_, (std::vector<Seen>{
                           {{7, 300, 2, 3, 4, 1}, {0xde, 0xad, 0xbe, 0xef}, 0},
                           {{statsEid, PhyBcm54980Stats::crcErrorsAttrId}, Bytes(wire->bytes().begin(), wire->bytes().end()), atClient_.at(1).offset},
                       }));
  // The sender forgets what it sent once the socket took it.
  ASSERT_TRUE(runUntil([&] { return serverConn_->out()->size() == 0; }));
  EXPECT_EQ(client_->connection()->bytesReceivedCount(), serverConn_->out()->bytesWritten());

  std::vector<Seen> atServer;
  collect(serverConn_, &atServer);
  record(client_->connection()->out(), {9, 258}, {1});
  ASSERT_TRUE(runUntil([&] { return !atServer.empty(); }));
  EXPECT_EQ(atServer, (std::vector<Seen>{{{9, 258}, {1}, 0}}));
  EXPECT_TRUE(serverClosures_.seen.empty());
}

// Both ends of a TCP connection send at once: a small write held back until
// the last is acknowledged could wait out the other end's delayed
// acknowledgement with a link change in it. Found among this process's
// descriptors: the two sockets whose one end is the server's port.
TEST_P(SocketTransportTest, TcpEndsSendWithoutWaitingForAcknowledgements) {
  if (isUnix()) GTEST_SKIP() << "a TCP option";
  connect();
  int ends = 0;
  for (auto const& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    int const fd = std::atoi(entry.path().filename().c_str());
    if (endOf(fd) == End::none) continue;
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_NE(noDelay, 0) << "descriptor " << fd;
    ++ends;
  }
  EXPECT_EQ(ends, 2) << "the client's end and the server's";
}

// Writes `total` numbered records of 1 KiB from a scheduled flow-out, only
// while the log may take more; a pass that stops resumes where it left off.
class BurstAdapter : public Zef::StreamAdapter {
 public:
  static constexpr std::size_t kFiller = 1020;

  BurstAdapter(Ptr<Out> const& out, std::uint32_t total) : StreamAdapter({}, 1, out, nullptr), total_(total) {}

  static Bytes payloadOf(std::uint32_t i) {
    Bytes b{static_cast<unsigned char>(i >> 24), static_cast<unsigned char>(i >> 16),
            static_cast<unsigned char>(i >> 8), static_cast<unsigned char>(i)};
    for (std::size_t k = 0; k < kFiller; ++k) b.push_back(static_cast<unsigned char>(i * 31 + k));
    return b;
  }

  // Resume points are the next record's number plus one: 0 means done.
  Zef::AttributeId handleAttrFlowOut(Zef::AttributeId start) override {
    std::uint32_t i = start == 0 ? 0 : static_cast<std::uint32_t>(start) - 1;
    for (; i < total_; ++i) {
      if (!continueFlowOut()) {
        ++stops;
        return static_cast<Zef::AttributeId>(i + 1);
      }
      record(nboAttrLogOut(), {entityId(), 300}, payloadOf(i));
    }
    return 0;
  }

  int stops = 0;

 private:
  std::uint32_t total_;
};

// Starts `burst`'s pass on its connection.
void burstStart(Ptr<Connection> const& c, Ptr<BurstAdapter> const& burst) {
  c->demuxer()->createFlowOut(burst, Zef::ConnectDesc(Zef::EntityUriPath(""), Zef::EntityUriPath("")), false, 0);
}

// A connection handler that gives each connection a burst of `total`
// records, kept in `into`, started at once when `start`.
std::function<void(Ptr<Connection> const&)> burstOnConnection(Ptr<BurstAdapter>& into, std::uint32_t total,
                                                              bool start = true) {
  return [&into, total, start](Ptr<Connection> const& c) {
    into = Ptr<BurstAdapter>(new BurstAdapter(c->out(), total), Zef::adoptRef);
    into->zefRegisterOn(c->out());
    if (start) burstStart(c, into);
  };
}

TEST_P(SocketTransportTest, ABurstOfMegabytesThroughASmallSendBufferArrivesCompleteAndInOrder) {
  constexpr std::uint32_t kRecords = 4096;  // 4 MiB through 64 KiB
  Ptr<BurstAdapter> burst;
  onServerConnection = burstOnConnection(burst, kRecords);
  connect(Options{64 * 1024});
  ASSERT_TRUE(arrived(kRecords));
  runFor(20ms);

  ASSERT_EQ(atClient_.size(), kRecords);
  for (std::uint32_t i = 0; i < kRecords; ++i) {
    ASSERT_EQ(atClient_[i].header, (MsgHeader{burst->entityId(), 300})) << i;
    ASSERT_EQ(atClient_[i].payload, BurstAdapter::payloadOf(i)) << i;
  }
  EXPECT_GT(burst->stops, 0);  // the buffer filled: the pass waited for the socket
  EXPECT_EQ(serverConn_->demuxer()->scheduledCount(), 0u);
  EXPECT_EQ(client_->connection()->framesRefused(), 0u);
}

// A stream with no descriptor to spare for its own epoll set still waits for
// room, through the loop's: the burst arrives whole.
TEST_P(SocketTransportTest, AWriterWithNoDescriptorToSpareStillWaitsForRoom) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers open descriptors of their own to check memory";
#endif
  constexpr std::uint32_t kRecords = 1024;  // 1 MiB through 16 KiB
  Ptr<BurstAdapter> burst;
  onServerConnection = burstOnConnection(burst, kRecords, false);
  connect(Options{64 * 1024, std::chrono::milliseconds(5), 16 * 1024});
  ASSERT_TRUE(burst);
  {
    // No new descriptor, whatever is open already, until the burst is in.
    struct NoNewDescriptors {
      rlimit was{};
      NoNewDescriptors() {
        getrlimit(RLIMIT_NOFILE, &was);
        rlimit none = was;
        none.rlim_cur = 0;
        EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
      }
      ~NoNewDescriptors() { EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &was), 0); }
    } limit;
    burstStart(serverConn_, burst);
    server_->flowOutsWake(serverConn_);
    ASSERT_TRUE(arrived(kRecords));
  }
  EXPECT_GT(burst->stops, 0);
  for (std::uint32_t i = 0; i < kRecords; ++i) ASSERT_EQ(atClient_[i].payload, BurstAdapter::payloadOf(i)) << i;
  EXPECT_TRUE(serverClosures_.seen.empty());
  EXPECT_TRUE(clientClosures_.seen.empty());
}

// A reader that has followed a burst reads differently from one that
// follows single changes; going from one to the other loses nothing, and the
// end of the stream is seen in either.
TEST_P(SocketTransportTest, AfterABurstSingleRecordsAndTheEndOfTheStreamStillArrive) {
  constexpr std::uint32_t kRecords = 512;
  Ptr<BurstAdapter> burst;
  onServerConnection = burstOnConnection(burst, kRecords);
  connect();
  ASSERT_TRUE(arrived(kRecords));
  for (unsigned char i = 0; i < 3; ++i) {
    record(serverConn_->out(), {5, 301}, {i});
    ASSERT_TRUE(runUntil([&] { return atClient_.size() == kRecords + i + 1u; })) << int(i);
    EXPECT_EQ(atClient_.back().payload, Bytes{i});
  }
  // Another burst, cut off by the end of the stream once it is written.
  record(serverConn_->out(), {5, 302}, Bytes(8000, 7));
  record(serverConn_->out(), {5, 303}, Bytes(9000, 9));
  ASSERT_TRUE(runUntil([&] { return serverConn_->out()->size() == 0; }));
  server_->closedIs();
  ASSERT_TRUE(runUntil([&] { return client_->isClosed(); }));
  EXPECT_EQ(client_->connection()->closeCause(), CloseCause::endOfStream);
  ASSERT_EQ(atClient_.size(), kRecords + 5u);
  EXPECT_EQ(atClient_[kRecords + 3].payload, Bytes(8000, 7));
  EXPECT_EQ(atClient_[kRecords + 4].payload, Bytes(9000, 9));
  EXPECT_EQ(client_->connection()->framesRefused(), 0u);
}

// A record made while the send buffer has been empty a while leaves at
// once, before the loop turns: a lone change does not wait. One made moments
// after a turn's write emptied the buffer, as in a burst, waits for its own
// turn's write with whatever follows it, rather than cost a write and a
// wake-up of the reader alone. The gap is widened here so that a test slowed
// by a sanitizer still makes its second record within it; one descheduled
// for longer would see it leave alone too, so the burst is tried a few times.
TEST_P(SocketTransportTest, ALoneRecordLeavesAtOnceAndOneRightAfterAWriteJoinsItsTurnsWrite) {
  Options options;
  options.burstGap = 20ms;
  connect(options);
  Ptr<Out> const& out = serverConn_->out();
  std::size_t sent = 0;
  bool held = false;
  for (int attempt = 0; attempt < 5 && !held; ++attempt) {
    std::this_thread::sleep_for(30ms);
    record(out, {5, 301}, {1});
    EXPECT_EQ(out->size(), 0u) << "a lone record waited, attempt " << attempt;
    // The turn ends; its posted write finds nothing left to write.
    io_.restart();
    io_.poll();
    record(out, {5, 301}, {2});
    held = out->size() > 0;
    record(out, {5, 301}, {3});
    sent += 3;
    ASSERT_TRUE(arrived(sent));
  }
  EXPECT_TRUE(held) << "a record right after a write was written alone in every attempt";
  ASSERT_EQ(atClient_.size(), sent);
  for (std::size_t i = 0; i < sent; ++i) {
    EXPECT_EQ(atClient_[i].payload, Bytes{static_cast<unsigned char>(1 + i % 3)}) << i;
  }
}

// Without a gap, every turn's first record leaves at once.
TEST_P(SocketTransportTest, WithNoBurstGapARecordRightAfterAWriteLeavesAtOnce) {
  Options options;
  options.burstGap = 0us;
  connect(options);
  Ptr<Out> const& out = serverConn_->out();
  record(out, {5, 301}, {1});
  io_.restart();
  io_.poll();
  record(out, {5, 301}, {2});
  EXPECT_EQ(out->size(), 0u);
  ASSERT_TRUE(arrived(2));
}

// A writer that once waited for room is not woken by the reader's reads
// afterwards: no epoll set in this process still watches the server's end
// for room. Left watching, every read at the other end that frees space
// would wake the writer, and a Unix socket's reader would pay for it.
TEST_P(SocketTransportTest, AWriterThatWaitedForRoomStopsWatchingForItOnceItHasSentAll) {
  constexpr std::uint32_t kRecords = 1024;  // 1 MiB through 16 KiB: many waits
  Ptr<BurstAdapter> burst;
  onServerConnection = burstOnConnection(burst, kRecords);
  connect(Options{64 * 1024, std::chrono::milliseconds(5), 16 * 1024});
  ASSERT_TRUE(arrived(kRecords));
  runFor(20ms);
  ASSERT_EQ(atClient_.size(), kRecords);
  EXPECT_GT(burst->stops, 0);

  int sets = 0, watches = 0;
  for (auto const& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec).string() != "anon_inode:[eventpoll]") continue;
    ++sets;
    std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
    std::string word;
    while (info >> word) {
      if (word != "tfd:") continue;
      int fd = -1;
      std::string eventsWord;
      unsigned long events = 0;
      info >> fd >> eventsWord >> std::hex >> events >> std::dec;
      ASSERT_EQ(eventsWord, "events:");
      if (endOf(fd) != End::server) continue;
      ++watches;
      EXPECT_EQ(events & EPOLLOUT, 0u) << "set " << entry.path().filename() << " watches descriptor " << fd
                                       << " for room";
    }
  }
  EXPECT_GT(sets, 0);
  EXPECT_GT(watches, 0) << "the loop watches the server's end for bytes";
}

TEST_P(SocketTransportTest, ClosingTheClientClosesTheServersConnectionAndTellsBoth) {
  connect();
  client_->closedIs("done");
  ASSERT_TRUE(runUntil([&] { return !serverClosures_.seen.empty(); }));
  EXPECT_EQ(serverClosures_.seen.size(), 1u);
  EXPECT_EQ(serverClosures_.seen[0].first, serverConn_);
  EXPECT_EQ(serverConn_->closeCause(), CloseCause::endOfStream);
  EXPECT_TRUE(serverConn_->isClosed());
  EXPECT_TRUE(server_->connections().empty());
  ASSERT_EQ(clientClosures_.seen.size(), 1u);
  EXPECT_EQ(clientClosures_.seen[0].second, "done");
  EXPECT_EQ(client_->connection()->closeCause(), CloseCause::closedHere);
  EXPECT_TRUE(client_->isClosed());
  EXPECT_TRUE(client_->connection()->out()->isClosed());
  // Closing again tells nobody twice.
  client_->closedIs("again");
  runFor(5ms);
  EXPECT_EQ(clientClosures_.seen.size(), 1u);
  EXPECT_EQ(serverClosures_.seen.size(), 1u);
}

TEST_P(SocketTransportTest, ClosingTheServerEndsEveryConnectionAndTheClientSeesTheEnd) {
  connect();
  server_->closedIs();
  EXPECT_FALSE(server_->isListening());
  ASSERT_EQ(serverClosures_.seen.size(), 1u);
  EXPECT_EQ(serverClosures_.seen[0].first->closeCause(), CloseCause::serverClosed);
  ASSERT_TRUE(runUntil([&] { return client_->isClosed(); }));
  ASSERT_EQ(clientClosures_.seen.size(), 1u);
  EXPECT_EQ(clientClosures_.seen[0].first->closeCause(), CloseCause::endOfStream);
  if (isUnix()) {
    EXPECT_FALSE(std::filesystem::exists(path("s")));
  }
}

TEST_P(SocketTransportTest, BytesThatLoseTheFramingCloseTheConnectionNamingTheOffset) {
  connect();
  record(client_->connection()->out(), {3, 258}, {1, 2});
  Bytes junk{0xff, 0, 0};
  client_->connection()->out()->writeBytes(junk.data(), junk.size());
  ASSERT_TRUE(runUntil([&] { return !serverClosures_.seen.empty() && client_->isClosed(); }));
  EXPECT_EQ(serverClosures_.seen[0].second, "unknown frame tag 0xff at offset 8");
  EXPECT_EQ(serverConn_->closeCause(), CloseCause::lostFraming);
  EXPECT_EQ(serverConn_->framesReceived(), 1u);
  EXPECT_EQ(clientClosures_.seen.at(0).first->closeCause(), CloseCause::endOfStream);
}

TEST_P(SocketTransportTest, ASecondServerOnTheSameAddressIsRefused) {
  connect();
  Address taken = server_->address();
  try {
    Server::ServerIs(io_, taken);
    FAIL() << "a second server listens";
  } catch (SocketException const& e) {
    EXPECT_NE(std::string(e.what()).find("address in use"), std::string::npos) << e.what();
    EXPECT_EQ(e.code(), std::errc::address_in_use);
  }
  // The first one still serves.
  auto again = Client::ClientIs(io_, taken);
  ASSERT_TRUE(runUntil([&] { return server_->connections().size() == 2; }));
  EXPECT_TRUE(again->isConnected());
}

TEST_P(SocketTransportTest, ConnectingWhereNobodyListensFailsClearly) {
  Address nowhere = UnixAddress{path("missing")};
  std::string expected = "cannot connect to unix:" + path("missing") + ": no such socket";
  if (!isUnix()) {
    // A port that was just free again.
    nowhere = Server::ServerIs(io_, TcpAddress{})->address();
    expected = "cannot connect to " + Zef::AttrLogSocket::addressText(nowhere) +
               ": connection refused: nobody listens there";
  }
  EXPECT_EQ(closedBeforeConnecting(Client::ClientIs(io_, nowhere)), expected);
}

TEST_P(SocketTransportTest, ConnectionsBeyondTheLimitAreClosedAtOnceCountedAndToldOnceABurst) {
  Options o;
  o.maxConnections = 2;
  server_ = Server::ServerIs(io_, listenAddress(), o);
  std::vector<Ptr<Connection>> accepted;
  std::vector<std::size_t> bursts;
  server_->onConnectionIs([&](Ptr<Connection> const& c) { accepted.push_back(c); });
  server_->onClosedIs(serverClosures_.handler());
  server_->onRefusedIs([&](std::size_t open) { bursts.push_back(open); });

  // Two that never read fill it.
  std::vector<Ptr<Client>> open;
  std::vector<std::vector<Seen>> seen(2);
  for (auto& into : seen) {
    open.push_back(Client::ClientIs(io_, server_->address()));
    collect(open.back()->connection(), &into);
  }
  ASSERT_TRUE(runUntil([&] { return accepted.size() == 2 && open[0]->isConnected() && open[1]->isConnected(); }));

  // Three more are ended at once, and only counted.
  Closures refused;
  std::vector<Ptr<Client>> beyond;
  for (int i = 0; i < 3; ++i) {
    beyond.push_back(Client::ClientIs(io_, server_->address()));
    beyond.back()->onClosedIs(refused.handler());
  }
  ASSERT_TRUE(runUntil([&] { return refused.seen.size() == 3; }));
  for (auto const& [conn, reason] : refused.seen) EXPECT_EQ(conn->closeCause(), CloseCause::endOfStream) << reason;
  EXPECT_EQ(server_->connectionsRefused(), 3u);
  EXPECT_EQ(bursts, std::vector<std::size_t>{2});
  EXPECT_EQ(accepted.size(), 2u);
  EXPECT_EQ(server_->connections(), accepted);
  EXPECT_TRUE(serverClosures_.seen.empty());

  // Those still open carry records as before.
  for (auto const& c : accepted) record(c->out(), {7, 300}, {1, 2});
  ASSERT_TRUE(runUntil([&] { return seen[0].size() == 1 && seen[1].size() == 1; }));
  EXPECT_EQ(seen[0][0].payload, (Bytes{1, 2}));

  // Once they leave, a new one gets in; a refusal after that is a new burst.
  for (auto const& c : open) c->closedIs("done");
  ASSERT_TRUE(runUntil([&] { return server_->connections().empty(); }));
  open.clear();
  for (int i = 0; i < 2; ++i) open.push_back(Client::ClientIs(io_, server_->address()));
  ASSERT_TRUE(runUntil([&] { return accepted.size() == 4 && open[1]->isConnected(); }));
  auto late = Client::ClientIs(io_, server_->address());
  ASSERT_TRUE(runUntil([&] { return late->isClosed(); }));
  EXPECT_EQ(server_->connectionsRefused(), 4u);
  EXPECT_EQ(bursts, (std::vector<std::size_t>{2, 2}));
  EXPECT_EQ(server_->connections().size(), 2u);
}

// At the limit, a client that connected and never reads gives its place to
// a new one; a reader that keeps up keeps its place.
TEST_P(SocketTransportTest, AtTheLimitAStalledReaderGivesItsPlaceToANewConnection) {
  Options o;
  o.maxConnections = 2;
  o.stallEviction = std::chrono::milliseconds(50);
  server_ = Server::ServerIs(io_, listenAddress(), o);
  std::vector<Ptr<Connection>> accepted;
  server_->onConnectionIs([&](Ptr<Connection> const& c) { accepted.push_back(c); });
  server_->onClosedIs(serverClosures_.handler());

  auto reader = Client::ClientIs(io_, server_->address());
  ASSERT_TRUE(runUntil([&] { return accepted.size() == 1 && reader->isConnected(); }));
  // A bare socket: connected, and never a byte read.
  asio::local::stream_protocol::socket unixPeer(io_);
  asio::ip::tcp::socket tcpPeer(io_);
  if (isUnix()) unixPeer.connect(asio::local::stream_protocol::endpoint(path("s")));
  else tcpPeer.connect({asio::ip::address_v4::loopback(), server_->port()});
  ASSERT_TRUE(runUntil([&] { return accepted.size() == 2; }));
  Ptr<Connection> stalled = accepted[1];
  // More than any socket buffers take, to both.
  Bytes big(8000, 0x5a);
  auto flood = [&] {
    for (auto const& c : {accepted[0], stalled}) {
      while (c->out()->freeSpace() > 64 * 1024) record(c->out(), {7, 300}, big);
      server_->flowOutsWake(c);
    }
  };
  flood();
  ASSERT_TRUE(runUntil([&] { return reader->connection()->framesReceived() > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  runUntil([&] { return reader->connection()->out()->size() == 0 && accepted[0]->out()->size() == 0; });
  auto late = Client::ClientIs(io_, server_->address());
  ASSERT_TRUE(runUntil([&] { return accepted.size() == 3 && late->isConnected(); }));
  ASSERT_EQ(serverClosures_.seen.size(), 1u);
  EXPECT_EQ(serverClosures_.seen[0].first, stalled);
  EXPECT_EQ(stalled->closeCause(), CloseCause::evicted) << serverClosures_.seen[0].second;
  EXPECT_FALSE(reader->isClosed()) << "the reader kept its place";
  EXPECT_EQ(server_->connectionsRefused(), 0u);
}

// ---- Unix socket files ----

class UnixSocketFileTest : public SocketTestBase, public ::testing::Test {};

TEST_F(UnixSocketFileTest, AStaleSocketFileIsReplacedAndTheServersFileRemovedWhenItGoes) {
  std::string p = path("s");
  {
    // A socket file left behind by a server that is gone.
    asio::local::stream_protocol::acceptor a(io_, asio::local::stream_protocol::endpoint(p));
  }
  ASSERT_TRUE(std::filesystem::is_socket(p));
  Ptr<Server> server = Server::ServerIs(io_, UnixAddress{p});
  auto client = Client::ClientIs(io_, UnixAddress{p});
  ASSERT_TRUE(runUntil([&] { return client->isConnected(); }));
  server = nullptr;
  EXPECT_FALSE(std::filesystem::exists(p));
  ASSERT_TRUE(runUntil([&] { return client->isClosed(); }));
}

TEST_F(UnixSocketFileTest, FlowOutsThatWaitForAnEntityIdAreRetriedUntilOneIsFree) {
  using Hardware::Phy::PhyBcm54980ChipConfig;
  auto server = Server::ServerIs(io_, UnixAddress{path("s")});
  Ptr<Connection> conn;
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  server->onConnectionIs([&](Ptr<Connection> const& c) {
    conn = c;
    chip->zefNboAttrLogSaIs({}, 1, c->out(), nullptr);
    c->demuxer()->entityIdLimitIs(1);  // the chip holds the only one
  });
  auto client = Client::ClientIs(io_, UnixAddress{path("s")});
  std::vector<Seen> atClient;
  collect(client->connection(), &atClient);
  ASSERT_TRUE(runUntil([&] { return conn && client->isConnected(); }));

  // The reference needs an id for the GPO: none is free, so it waits.
  chip->resetIs(Fru::Gpo::GpoIs("gpo3"));
  server->flowOutsWake(conn);
  runFor(20ms);
  EXPECT_TRUE(atClient.empty());
  EXPECT_GT(conn->demuxer()->scheduledCount(), 0u);

  conn->demuxer()->entityIdLimitIs(8);
  ASSERT_TRUE(runUntil([&] {
    return std::any_of(atClient.begin(), atClient.end(),
                       [](Seen const& s) { return s.header.attributeId == PhyBcm54980ChipConfig::resetAttrId; });
  }));
  EXPECT_EQ(conn->demuxer()->reactorCount(), 2u);
}

// ---- Who may connect ----

TEST_F(UnixSocketFileTest, TheSocketFileIsOwnerOnlyWhateverTheUmaskAndAsWideAsAskedForAGroup) {
  struct UmaskBack {
    mode_t old = ::umask(0);
    ~UmaskBack() { ::umask(old); }
  } wideOpen;
  auto server = Server::ServerIs(io_, UnixAddress{path("s")});
  EXPECT_EQ(std::filesystem::status(path("s")).permissions(), std::filesystem::perms(0600));

  // Root may give the file to any group; others to one of their own.
  gid_t group = ::geteuid() == 0 && ::getegid() != 65534 ? 65534 : ::getegid();
  Options o;
  o.socketMode = 0660;
  o.socketGroup = group;
  auto shared = Server::ServerIs(io_, UnixAddress{path("g")}, o);
  struct stat st {};
  ASSERT_EQ(::lstat(path("g").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(st.st_gid, group);
  auto client = Client::ClientIs(io_, UnixAddress{path("g")});
  ASSERT_TRUE(runUntil([&] { return client->isConnected(); }));
}

TEST_F(UnixSocketFileTest, BadOptionsAndPathsAreRefusedWithTheirReasonsLeavingNoFileAndForeignFilesAlone) {
  std::string const p = path("s");
  auto refusal = [&](Options const& o) -> std::string {
    bool const existed = std::filesystem::exists(p);
    try {
      Server::ServerIs(io_, UnixAddress{p}, o);
    } catch (SocketException const& e) {
      EXPECT_EQ(std::filesystem::exists(p), existed) << e.what();
      return e.what();
    }
    return "listened";
  };
  std::string const prefix = "cannot listen on unix:" + p + ": ";
  Options none;
  none.maxConnections = 0;
  EXPECT_EQ(refusal(none), prefix + "maxConnections must be at least 1");
  Options sticky;
  sticky.socketMode = 01777;
  EXPECT_EQ(refusal(sticky), prefix + "socket mode 1777 is not permission bits (0000 to 0777)");
  if (::geteuid() != 0) {
    // A group this user is not in: the file it bound goes again.
    Options foreign;
    foreign.socketGroup = 0;
    EXPECT_NE(refusal(foreign).find("cannot give the socket to group 0"), std::string::npos);
  }
  EXPECT_THROW(Server::ServerIs(io_, TcpAddress{"127.0.0.1", 0}, none), SocketException);
  std::string const tooLong = path(std::string(200, 'x').c_str());
  EXPECT_THROW(Server::ServerIs(io_, UnixAddress{tooLong}), SocketException);
  EXPECT_THROW(Client::ClientIs(io_, UnixAddress{tooLong}), SocketException);
  EXPECT_THROW(Server::ServerIs(io_, UnixAddress{""}), SocketException);
  // A file that is not a socket is left alone.
  std::ofstream(p) << "keep me";
  EXPECT_EQ(refusal({}), prefix + "a file that is not a socket is in the way");
  std::ifstream in(p);
  std::string text;
  std::getline(in, text);
  EXPECT_EQ(text, "keep me");
}

// A Unix socket bound at `p` by a child that takes another user's
// credentials before it listens; the child stays until this goes.
struct ForeignServer {
  ForeignServer(std::string const& p, uid_t uid, gid_t gid) {
    int ready[2];
    if (::pipe(ready) != 0 || ::pipe(hold) != 0) return;
    if ((pid = ::fork()) == 0) {
      int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un a{};
      a.sun_family = AF_UNIX;
      std::strncpy(a.sun_path, p.c_str(), sizeof a.sun_path - 1);
      char c = 1;
      // The peer credentials are the listener's at listen(). The child
      // ends when the parent closes `hold`, or dies.
      if (::close(hold[1]) != 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::setgid(gid) != 0 ||
          ::setuid(uid) != 0 || ::listen(fd, 8) != 0 || ::write(ready[1], &c, 1) != 1) {
        ::_exit(1);
      }
      while (::read(hold[0], &c, 1) > 0) {
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    char c = 0;
    listening = pid > 0 && ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
  }
  ~ForeignServer() {
    ::close(hold[1]);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
  }
  int hold[2] = {-1, -1};
  pid_t pid = -1;
  bool listening = false;
};

TEST_F(UnixSocketFileTest, AClientRefusesAServerRunByAnotherUserUnlessToldNotToCheck) {
  if (::geteuid() != 0) GTEST_SKIP() << "running a server as another user needs root";
  std::string p = path("theirs");
  ForeignServer theirs(p, 65534, 65534);
  ASSERT_TRUE(theirs.listening);

  EXPECT_EQ(closedBeforeConnecting(Client::ClientIs(io_, UnixAddress{p})),
            "unix:" + p + " is served by uid 65534, not by this user");

  Options trusting;
  trusting.peerUidCheck = false;
  auto told = Client::ClientIs(io_, UnixAddress{p}, trusting);
  ASSERT_TRUE(runUntil([&] { return told->isConnected(); }));
}

// ---- IPv6 ----

bool hasIpv6Loopback() {
  int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

class SocketIpv6Test : public SocketTestBase, public ::testing::Test {};

TEST_F(SocketIpv6Test, ServersListenAndClientsConnectOnIpv6HostsNamedInBrackets) {
  EXPECT_EQ(Zef::AttrLogSocket::addressText(TcpAddress{"::1", 7000}), "tcp:[::1]:7000");
  EXPECT_EQ(Zef::AttrLogSocket::addressText(TcpAddress{"127.0.0.1", 7000}), "tcp:127.0.0.1:7000");
  if (!hasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  for (std::string host : {"::1", "::", "[::1]"}) {
    SCOPED_TRACE(host);
    auto server = Server::ServerIs(io_, TcpAddress{host, 0});
    std::string bare = host == "[::1]" ? "::1" : host;
    EXPECT_EQ(Zef::AttrLogSocket::addressText(server->address()),
              "tcp:[" + bare + "]:" + std::to_string(server->port()));
    server->onConnectionIs([](Ptr<Connection> const& c) { record(c->out(), {5, 300}, {6}); });
    auto client = Client::ClientIs(io_, TcpAddress{"::1", server->port()});
    std::vector<Seen> atClient;
    collect(client->connection(), &atClient);
    ASSERT_TRUE(runUntil([&] { return !atClient.empty(); })) << client->connection()->closeReason().str();
    EXPECT_EQ(atClient[0].payload, Bytes{6});
  }
}

}  // namespace
