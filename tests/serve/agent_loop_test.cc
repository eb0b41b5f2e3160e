// The agent's loop over a real Unix socket: it serves its roots to a mount,
// polls until told to stop, and a stop, asked for or by signal, closes every
// mount and ends the loop.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "serve/agent_loop.h"
#include "serve/mount_loop.h"
#include "tests/serve/serve_testing.h"

namespace {

using physerve::AgentLoop;
using physerve::MountLoop;
using servetest::runFor;
using servetest::runUntil;
using Zef::AttrLogSocket::UnixAddress;

struct Served {
  servetest::TempDir dir;
  std::string path = dir.file("agent.sock");
  asio::io_context io;
  phytools::PhyDriver driver{1, 8};
  phytools::ChipSimulator sim{phytools::Scenario::noisy, 3, driver.ports()};
  std::uint64_t polls = 0;
  AgentLoop agent{io, driver.roots()};

  void poll() {
    driver.poll(sim, polls, double(polls + 1));
    ++polls;
  }
};

TEST(AgentLoop, AMountConvergesToThePolledState) {
  Served s;
  s.agent.listen(UnixAddress{s.path});
  s.agent.pollEvery(std::chrono::milliseconds(2), [&] { s.poll(); });
  MountLoop mount(s.io, UnixAddress{s.path});
  mount.start();
  ASSERT_TRUE(runUntil(s.io, [&] { return mount.syncCheck(); }));
  // Changes made after the first synchronisation follow it.
  std::uint64_t const synced = s.polls;
  ASSERT_TRUE(runUntil(s.io, [&] { return s.polls >= synced + 20; }));
  s.agent.pollStop();
  std::uint64_t const stopped = s.polls;
  auto const agentDump = phytools::dumpLines(*s.driver.statuses());
  ASSERT_TRUE(runUntil(s.io, [&] { return mount.comparedWith(agentDump).differences == 0; }))
      << phytools::comparisonLine(mount.comparedWith(agentDump));
  auto const c = mount.comparedWith(agentDump);
  EXPECT_EQ(c.ports, 8u);
  EXPECT_GT(c.statistics, 8u);
  runFor(s.io, std::chrono::milliseconds(20));
  EXPECT_EQ(s.polls, stopped) << "polls went on after pollStop";
  EXPECT_FALSE(s.agent.isPolling());
  // Both ends take their roles: the agent's end refuses writes, the mount's
  // never sends them.
  ASSERT_EQ(s.agent.server()->connections().size(), 1u);
  EXPECT_EQ(s.agent.server()->connections()[0]->role(), AgentLoop::Connection::Role::agent);
  EXPECT_EQ(mount.connection()->role(), MountLoop::Connection::Role::mount);
}

TEST(AgentLoop, AChangeOnASettledConnectionIsOnItsWayBeforeTheAgentsLoopTurnsAgain) {
  Served s;
  s.agent.listen(UnixAddress{s.path});
  // The mount turns a loop of its own, so that the agent's can stand still.
  asio::io_context mountIo;
  MountLoop mount(mountIo, UnixAddress{s.path});
  mount.start();
  auto const both = [&](std::function<bool()> const& done) {
    return runUntil(s.io, [&] {
      if (mountIo.stopped()) mountIo.restart();
      mountIo.poll();
      return done();
    });
  };
  ASSERT_TRUE(both([&] { return mount.syncCheck(); }));
  ASSERT_EQ(s.agent.server()->connections().size(), 1u);
  auto const conn = s.agent.server()->connections()[0];
  ASSERT_TRUE(both([&] { return conn->isSettled() && conn->out()->size() == 0; }));
  auto const converged = [&] {
    auto const agentDump = phytools::dumpLines(*s.driver.statuses());
    return both([&] { return mount.comparedWith(agentDump).differences == 0; });
  };
  auto const arrivesAlone = [&](auto change) {
    std::uint64_t const applied = mount.connection()->framesApplied();
    change();
    return runUntil(mountIo, [&] { return mount.connection()->framesApplied() > applied; },
                    std::chrono::milliseconds(500));
  };
  std::uint64_t const written = conn->out()->recordsWritten();
  // A poll's first change arrives while the agent's loop does not turn.
  EXPECT_TRUE(arrivesAlone([&] { s.poll(); }));
  ASSERT_GT(conn->out()->recordsWritten(), written + 1) << "the poll changed too little";
  // The rest of the turn waits for the loop, to go out together.
  runFor(mountIo, std::chrono::milliseconds(50));
  auto const agentDump = phytools::dumpLines(*s.driver.statuses());
  EXPECT_GT(mount.comparedWith(agentDump).differences, 0u) << "the whole poll went out before the loop turned";
  ASSERT_TRUE(converged());
  // Every turn's first change goes at once: the next poll's, and a lone one.
  EXPECT_TRUE(arrivesAlone([&] { s.poll(); }));
  ASSERT_TRUE(converged());
  auto const port = s.driver.statuses()->phyStatus(phytools::portName(0, 0));
  ASSERT_TRUE(port);
  EXPECT_TRUE(arrivesAlone([&] { port->temperatureIs(42.5); }));
  EXPECT_TRUE(converged());
}

TEST(AgentLoop, EachConnectionIsSetUpBeforeItsRootsAreServed) {
  Served s;
  std::vector<std::size_t> backlogs;
  s.agent.onConnectionIs([&](Zef::Ptr<AgentLoop::Connection> const& c) {
    EXPECT_EQ(c->role(), AgentLoop::Connection::Role::agent);
    EXPECT_FALSE(c->isFirstSyncUnderWay()) << "the roots were served before the hook";
    c->out()->lowPriorityBacklogIs(777);
  });
  s.agent.listen(UnixAddress{s.path});
  MountLoop first(s.io, UnixAddress{s.path});
  MountLoop second(s.io, UnixAddress{s.path});
  first.start();
  second.start();
  ASSERT_TRUE(runUntil(s.io, [&] { return first.syncCheck() && second.syncCheck(); }));
  for (auto const& c : s.agent.server()->connections()) backlogs.push_back(c->out()->lowPriorityBacklog());
  EXPECT_EQ(backlogs, (std::vector<std::size_t>{777, 777}));
  EXPECT_EQ(first.comparedWith(phytools::dumpLines(*s.driver.statuses())).differences, 0u);
}

TEST(AgentLoop, StopClosesEveryMountRemovesTheSocketAndTellsWhyOnce) {
  Served s;
  std::vector<std::string> whys;
  s.agent.onStopIs([&](std::string const& why) { whys.push_back(why); });
  std::vector<Zef::NboAttrLog::CloseCause> agentSaw;
  s.agent.onClosedIs([&](Zef::Ptr<AgentLoop::Connection> const& c, Zef::String8 const&) { agentSaw.push_back(c->closeCause()); });
  s.agent.listen(UnixAddress{s.path});
  s.agent.pollEvery(std::chrono::milliseconds(2), [&] { s.poll(); });
  MountLoop mount(s.io, UnixAddress{s.path});
  std::vector<bool> closes;
  mount.onClosedIs([&](std::string const&, bool wasConnected) { closes.push_back(wasConnected); });
  mount.start();
  ASSERT_TRUE(runUntil(s.io, [&] { return mount.syncCheck(); }));
  ASSERT_TRUE(std::filesystem::exists(s.path));

  s.agent.stop("done");
  s.agent.stop("again");
  EXPECT_TRUE(s.agent.isStopped());
  EXPECT_FALSE(s.agent.isPolling());
  EXPECT_EQ(whys, std::vector<std::string>{"done"});
  EXPECT_FALSE(std::filesystem::exists(s.path));
  EXPECT_EQ(agentSaw, std::vector<Zef::NboAttrLog::CloseCause>{Zef::NboAttrLog::CloseCause::serverClosed});
  ASSERT_TRUE(runUntil(s.io, [&] { return mount.state() == MountLoop::State::closed; }));
  EXPECT_EQ(closes, std::vector<bool>{true});
  EXPECT_EQ(mount.connection()->closeCause(), Zef::NboAttrLog::CloseCause::endOfStream);
  EXPECT_FALSE(mount.isSynced());
  // What it mounted stays held once the agent is gone.
  ASSERT_TRUE(mount.statuses());
  EXPECT_EQ(mount.statuses()->phyStatusCount(), 8u);
}

class AgentLoopSignal : public testing::TestWithParam<std::pair<int, char const*>> {};

TEST_P(AgentLoopSignal, EndsTheLoop) {
  Served s;
  std::vector<std::string> whys;
  s.agent.onStopIs([&](std::string const& why) { whys.push_back(why); });
  s.agent.listen(UnixAddress{s.path});
  s.agent.pollEvery(std::chrono::milliseconds(5), [&] { s.poll(); });
  s.agent.stopOnSignals();
  MountLoop mount(s.io, UnixAddress{s.path});
  mount.start();
  ASSERT_TRUE(runUntil(s.io, [&] { return mount.syncCheck(); }));
  mount.stop();
  std::raise(GetParam().first);
  // Nothing is left to do once the signal stopped the agent: run() returns.
  s.io.restart();
  s.io.run_for(std::chrono::seconds(30));
  EXPECT_TRUE(s.io.stopped());
  EXPECT_EQ(whys, std::vector<std::string>{GetParam().second});
  EXPECT_TRUE(s.agent.isStopped());
  EXPECT_FALSE(std::filesystem::exists(s.path));
}

INSTANTIATE_TEST_SUITE_P(IntAndTerm, AgentLoopSignal,
                         testing::Values(std::pair{SIGINT, "interrupted"}, std::pair{SIGTERM, "terminated"}));

TEST(AgentLoop, AnAddressInUseIsRefused) {
  Served s;
  s.agent.listen(UnixAddress{s.path});
  AgentLoop other(s.io, s.driver.roots());
  try {
    other.listen(UnixAddress{s.path});
    FAIL() << "a second agent listened on the same socket";
  } catch (Zef::AttrLogSocket::SocketException const& e) {
    EXPECT_EQ(e.code(), std::errc::address_in_use);
  }
  EXPECT_TRUE(std::filesystem::exists(s.path));
}

}  // namespace
