#include "serve/mount_loop.h"

#include <algorithm>

namespace physerve {

using Hardware::Phy::PhyBcm54980StatusDir;
using Zef::Ptr;
using Zef::String8;
using Zef::AttrLogSocket::Client;

MountLoop::MountLoop(asio::io_context& io, Zef::AttrLogSocket::Address where, Settings settings)
    : io_(io), where_(std::move(where)), settings_(std::move(settings)), reconnect_(io), backoff_(settings_.backoffFirst) {}

// The client goes quietly: nobody is told of its end.
MountLoop::~MountLoop() = default;

void MountLoop::onMountedIs(std::function<void(Ptr<Zef::Entity> const&)> h) {
  onMounted_ = std::move(h);
  if (client_) client_->connection()->onMountedIs(onMounted_);
}

void MountLoop::start() {
  if (!client_ && !stopped_) connect();
}

void MountLoop::connect() {
  // The counts of the connection gone, so that the totals only ever grow.
  if (client_) {
    auto const& c = client_->connection();
    appliedBefore_ += c->framesApplied();
    refusedBefore_ += c->framesRefused();
  }
  state_ = connections_ == 0 && !client_ ? State::connecting : State::reconnecting;
  synced_ = false;
  kept_ = 0;
  client_ = Client::ClientIs(io_, where_, settings_.socket);
  Ptr<Connection> conn = client_->connection();
  conn->roleIs(settings_.role);
  conn->entityLimitIs(settings_.maxEntities);
  conn->rootFinderIs([this](Zef::ZefType* type, Zef::Name const& name) -> Ptr<Zef::Entity> {
    if (held_.empty()) return nullptr;
    auto it = held_.find({type, name.str()});
    if (it == held_.end()) return nullptr;
    ++kept_;
    return it->second;
  });
  if (onMounted_) conn->onMountedIs(onMounted_);
  if (onConnection_) onConnection_(*conn);
  client_->onConnectedIs([this](Ptr<Connection> const&) {
    state_ = State::connected;
    ++connections_;
    if (onConnected_) onConnected_();
  });
  client_->onClosedIs([this](Ptr<Connection> const&, String8 const& why) { closed(why.str()); });
}

void MountLoop::closed(std::string why) {
  bool const wasConnected = state_ == State::connected;
  lastError_ = std::move(why);
  synced_ = false;
  state_ = settings_.reconnect ? State::reconnecting : State::closed;
  if (onClosed_) onClosed_(lastError_, wasConnected);
  if (!settings_.reconnect || stopped_) return;
  reconnect_.expires_after(backoff_);
  backoff_ = std::min(backoff_ * 2, settings_.backoffMax);
  reconnect_.async_wait([this](std::error_code ec) {
    // A wait already due when cancelled comes back without an error.
    if (!ec && !stopped_) connect();
  });
}

void MountLoop::stop(std::string const& why) {
  if (stopped_) return;
  stopped_ = true;
  reconnect_.cancel();
  if (client_) {
    client_->onClosedIs(nullptr);
    client_->closedIs(String8(why));
  }
  state_ = State::closed;
}

Ptr<Zef::NboAttrLog::Connection> MountLoop::connection() const {
  return client_ ? client_->connection() : nullptr;
}

bool MountLoop::syncCheck() {
  if (synced_) return true;
  if (state_ != State::connected || !client_->connection()->isSynced()) return false;
  synced_ = true;
  held_.clear();
  for (auto const& e : client_->connection()->mounted()) held_[{e->fwkType(), e->name().str()}] = e;
  backoff_ = settings_.backoffFirst;
  return true;
}

Ptr<PhyBcm54980StatusDir> MountLoop::statuses() const {
  if (client_) {
    for (auto const& e : client_->connection()->mounted()) {
      if (auto* d = dynamic_cast<PhyBcm54980StatusDir*>(e.ptr())) return Ptr<PhyBcm54980StatusDir>(d);
    }
  }
  for (auto const& [key, e] : held_) {
    if (auto* d = dynamic_cast<PhyBcm54980StatusDir*>(e.ptr())) return Ptr<PhyBcm54980StatusDir>(d);
  }
  return nullptr;
}

std::uint64_t MountLoop::framesApplied() const {
  return appliedBefore_ + (client_ ? client_->connection()->framesApplied() : 0);
}

std::uint64_t MountLoop::framesRefused() const {
  return refusedBefore_ + (client_ ? client_->connection()->framesRefused() : 0);
}

phytools::Comparison MountLoop::comparedWith(std::vector<std::string> const& agentDump) const {
  Ptr<PhyBcm54980StatusDir> s = statuses();
  return phytools::compareDumps(agentDump, s ? phytools::dumpLines(*s) : std::vector<std::string>{});
}

}  // namespace physerve
