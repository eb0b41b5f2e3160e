// The mount's loop over a real Unix socket: it reconnects to an agent that
// comes back and keeps what it mounted, holds no more than it may, and a
// stop ends it without another connection.
#include <gtest/gtest.h>

#include <optional>
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

MountLoop::Settings reconnecting() {
  MountLoop::Settings s;
  s.reconnect = true;
  s.backoffFirst = std::chrono::milliseconds(5);
  s.backoffMax = std::chrono::milliseconds(20);
  return s;
}

TEST(MountLoop, ReconnectsToAnAgentThatCameBackAndKeepsWhatItMounted) {
  servetest::TempDir dir;
  std::string const path = dir.file("agent.sock");
  asio::io_context io;
  phytools::PhyDriver driver(1, 8);
  phytools::ChipSimulator sim(phytools::Scenario::storm, 9, driver.ports());
  std::optional<AgentLoop> agent;
  agent.emplace(io, driver.roots());
  agent->listen(UnixAddress{path});

  MountLoop mount(io, UnixAddress{path}, reconnecting());
  std::vector<bool> closes;
  mount.onClosedIs([&](std::string const&, bool wasConnected) { closes.push_back(wasConnected); });
  unsigned connectedTold = 0;
  mount.onConnectedIs([&] { ++connectedTold; });
  EXPECT_EQ(mount.state(), MountLoop::State::connecting);
  mount.start();
  ASSERT_TRUE(runUntil(io, [&] { return mount.syncCheck(); }));
  EXPECT_EQ(mount.state(), MountLoop::State::connected);
  EXPECT_EQ(mount.kept(), 0u);
  std::size_t const held = mount.held();
  EXPECT_GT(held, 8u);
  Zef::Ptr<Hardware::Phy::PhyBcm54980StatusDir> const statuses = mount.statuses();
  ASSERT_TRUE(statuses);
  std::uint64_t const applied = mount.framesApplied();
  EXPECT_GT(applied, 0u);

  // The agent goes; its state changes while the mount is away.
  agent->stop("restart");
  agent.reset();
  ASSERT_TRUE(runUntil(io, [&] { return mount.state() == MountLoop::State::reconnecting; }));
  EXPECT_FALSE(mount.isSynced());
  EXPECT_EQ(mount.statuses().ptr(), statuses.ptr()) << "what was served last is shown while the agent is away";
  for (std::uint64_t p = 0; p < 5; ++p) driver.poll(sim, p, double(p + 1));
  // Tries to a missing socket fail and are told, then it comes back.
  runFor(io, std::chrono::milliseconds(30));
  agent.emplace(io, driver.roots());
  agent->listen(UnixAddress{path});
  ASSERT_TRUE(runUntil(io, [&] { return mount.syncCheck(); }));

  EXPECT_EQ(mount.connections(), 2u);
  EXPECT_EQ(connectedTold, 2u);
  ASSERT_GE(closes.size(), 1u);
  EXPECT_TRUE(closes.front());
  for (std::size_t i = 1; i < closes.size(); ++i) EXPECT_FALSE(closes[i]) << "a failed try counted as connected";
  // The same roots again: the mount kept its own, and their reactors with them.
  EXPECT_GE(mount.kept(), 5u);
  EXPECT_EQ(mount.statuses().ptr(), statuses.ptr());
  EXPECT_EQ(mount.held(), held);
  EXPECT_GT(mount.framesApplied(), applied) << "the totals lost the first connection's frames";
  auto const c = mount.comparedWith(phytools::dumpLines(*driver.statuses()));
  EXPECT_EQ(c.differences, 0u) << phytools::comparisonLine(c);
  EXPECT_EQ(c.ports, 8u);
}

TEST(MountLoop, StopClosesQuietlyAndConnectsNoMore) {
  servetest::TempDir dir;
  std::string const path = dir.file("agent.sock");
  asio::io_context io;
  phytools::PhyDriver driver(1, 2);
  AgentLoop agent(io, driver.roots());
  unsigned accepted = 0;
  agent.onConnectionIs([&](Zef::Ptr<AgentLoop::Connection> const&) { ++accepted; });
  std::vector<Zef::NboAttrLog::CloseCause> agentSaw;
  agent.onClosedIs([&](Zef::Ptr<AgentLoop::Connection> const& c, Zef::String8 const&) { agentSaw.push_back(c->closeCause()); });
  agent.listen(UnixAddress{path});
  MountLoop mount(io, UnixAddress{path}, reconnecting());
  unsigned closes = 0;
  mount.onClosedIs([&](std::string const&, bool) { ++closes; });
  mount.start();
  ASSERT_TRUE(runUntil(io, [&] { return mount.syncCheck(); }));
  mount.stop("done");
  EXPECT_EQ(mount.state(), MountLoop::State::closed);
  EXPECT_TRUE(mount.isStopped());
  ASSERT_TRUE(runUntil(io, [&] { return agentSaw.size() == 1; }));
  runFor(io, std::chrono::milliseconds(50));
  EXPECT_EQ(closes, 0u);
  EXPECT_EQ(agentSaw, std::vector<Zef::NboAttrLog::CloseCause>{Zef::NboAttrLog::CloseCause::endOfStream});
  EXPECT_EQ(mount.connection()->closeCause(), Zef::NboAttrLog::CloseCause::closedHere);
  EXPECT_EQ(mount.connection()->closeReason(), "done");
  EXPECT_EQ(accepted, 1u);
  EXPECT_TRUE(agent.server()->connections().empty());
}

TEST(MountLoop, AnAgentAnnouncingMoreThanTheLimitIsCutOff) {
  servetest::TempDir dir;
  std::string const path = dir.file("agent.sock");
  asio::io_context io;
  phytools::PhyDriver driver(1, 8);
  AgentLoop agent(io, driver.roots());
  agent.listen(UnixAddress{path});
  MountLoop::Settings settings;
  settings.maxEntities = 5;
  MountLoop mount(io, UnixAddress{path}, settings);
  std::vector<std::string> whys;
  mount.onClosedIs([&](std::string const& why, bool) { whys.push_back(why); });
  mount.start();
  ASSERT_TRUE(runUntil(io, [&] { return mount.state() == MountLoop::State::closed; }));
  EXPECT_FALSE(mount.syncCheck());
  ASSERT_EQ(whys.size(), 1u);
  EXPECT_EQ(whys[0], mount.lastError());
  EXPECT_EQ(mount.connection()->closeCause(), Zef::NboAttrLog::CloseCause::tooManyEntities) << whys[0];
}

TEST(MountLoop, NoAgentIsAClosedConnectionThatNeverConnected) {
  servetest::TempDir dir;
  asio::io_context io;
  MountLoop mount(io, UnixAddress{dir.file("nobody.sock")});
  std::vector<bool> closes;
  mount.onClosedIs([&](std::string const&, bool wasConnected) { closes.push_back(wasConnected); });
  mount.start();
  ASSERT_TRUE(runUntil(io, [&] { return mount.state() == MountLoop::State::closed; }));
  EXPECT_EQ(closes, std::vector<bool>{false});
  EXPECT_EQ(mount.connection()->closeCause(), Zef::NboAttrLog::CloseCause::connectFailed);
  EXPECT_EQ(mount.lastError(), mount.connection()->closeReason());
  EXPECT_EQ(mount.connections(), 0u);
  EXPECT_FALSE(mount.statuses());
  EXPECT_EQ(mount.comparedWith({"chip0/port0 crcErrors 1"}).differences, 1u);
}

}  // namespace
