#include "serve/agent_loop.h"

namespace physerve {

using Zef::Ptr;
using Zef::AttrLogSocket::Server;

AgentLoop::AgentLoop(asio::io_context& io, std::vector<Ptr<Zef::Entity>> roots, Settings settings)
    : io_(io), roots_(std::move(roots)), settings_(std::move(settings)), pollTimer_(io) {}

// The server goes quietly: nobody is told of the mounts it closes.
AgentLoop::~AgentLoop() = default;

void AgentLoop::listen(Zef::AttrLogSocket::Address const& where) {
  server_ = Server::ServerIs(io_, where, settings_.socket);
  server_->onConnectionIs([this](Ptr<Connection> const& c) {
    c->roleIs(settings_.role);
    if (onConnection_) onConnection_(c);
    c->rootsAre(roots_);
  });
  if (onClosed_) server_->onClosedIs(onClosed_);
}

void AgentLoop::onClosedIs(Zef::AttrLogSocket::ClosedHandler h) {
  onClosed_ = std::move(h);
  if (server_) server_->onClosedIs(onClosed_);
}

void AgentLoop::pollEvery(Clock::duration period, std::function<void()> poll) {
  period_ = period;
  poll_ = std::move(poll);
  polling_ = !stopped_;
  nextPoll_ = Clock::now();
  if (polling_) pollNext();
}

void AgentLoop::pollNext() {
  nextPoll_ += period_;
  if (nextPoll_ < Clock::now()) nextPoll_ = Clock::now();
  pollTimer_.expires_at(nextPoll_);
  pollTimer_.async_wait([this](std::error_code ec) {
    // A wait already due when cancelled comes back without an error.
    if (ec || !polling_) return;
    poll_();
    flowsWake();
    pollNext();
  });
}

void AgentLoop::pollStop() {
  polling_ = false;
  pollTimer_.cancel();
}

void AgentLoop::flowsWake() {
  if (!server_) return;
  for (auto const& c : server_->connections()) server_->flowOutsWake(c);
}

void AgentLoop::stopOnSignals() {
  if (!signals_) signals_.emplace(io_);
  signals_->wait([this](std::string const& why) { stop(why); });
}

void AgentLoop::stop(std::string const& why) {
  if (stopped_) return;
  stopped_ = true;
  if (onStop_) onStop_(why);
  pollStop();
  if (signals_) signals_->cancel();
  if (server_) server_->closedIs();
}

}  // namespace physerve
