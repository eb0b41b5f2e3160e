// One end of an attribute-log connection, whatever carries its bytes: the
// output log and its demuxer going out, the frame reader coming in.
//
// A transport (a socket, or the in-memory pair below) drains out() into its
// byte stream, hands what arrives to bytesReceived(), calls flowOutReady()
// when the stream has taken bytes, and closedIs() when it ends. Everything
// runs on the thread that owns the entities.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "runtime/attrlog/close_cause.h"
#include "runtime/attrlog/demuxer.h"
#include "runtime/attrlog/frame.h"
#include "runtime/attrlog/nbo_attr_log.h"

namespace Zef::NboAttrLog {

class Connection : public PtrInterface {
 public:
  // What a received frame is handed to; a failure it throws refuses the
  // frame (counted), and reading goes on with the next one.
  using FrameHandler = std::function<void(Connection&, FrameView const&)>;
  // Told of each refused frame: its offset in the stream and why.
  using RefusalHandler = std::function<void(Connection&, std::uint64_t offset, String8 const& why)>;

  static ValidPtr<Connection> ConnectionIs(std::size_t capacity = Out::kDefaultCapacity) {
    return ValidPtr<Connection>(new Connection(capacity), adoptRef);
  }

  // Who may change what across this connection.
  //  - peer: records from the other end are applied and changes go out both
  //    ways (the default);
  //  - agent: this end serves its roots and the other end may only read.
  //    Every frame it sends is refused with the write-back message and
  //    changes nothing; announcements are never mounted here. After
  //    refusalLimit() refused frames, malformed ones included, the
  //    connection is cut.
  //  - mount: this end applies what the other end serves and never writes
  //    to it. The other end may have at most entityLimit() entities held
  //    here; one more cuts the connection. It may not make an entity
  //    nondestructing here (a record setting it is refused).
  enum class Role { peer, agent, mount };
  Role role() const { return role_; }
  void roleIs(Role r);
  static constexpr std::uint64_t kDefaultRefusalLimit = 64;
  std::uint64_t refusalLimit() const { return refusalLimit_; }
  void refusalLimitIs(std::uint64_t n) { refusalLimit_ = n; }
  // Over ten times what a chassis of 4096 ports announces (about 22,500).
  static constexpr std::size_t kDefaultEntityLimit = std::size_t(1) << 18;
  std::size_t entityLimit() const { return entityLimit_; }
  void entityLimitIs(std::size_t n) { entityLimit_ = n; }

  Ptr<Out> const& out() const { return out_; }
  Ptr<Demuxer> const& demuxer() const { return demuxer_; }

  // Replaces how received frames are handled; by default they are applied
  // to the entities on this connection (applyFrame).
  void frameHandlerIs(FrameHandler h) { frameHandler_ = std::move(h); }
  // A frame from the other end, applied: an attribute record to the adapter
  // registered under its entity id, a transaction marker likewise, an orphan
  // announcement by mounting the entity it announces. A bad record throws
  // and leaves every entity as it was.
  void applyFrame(FrameView const& frame);

  // Writer side: serves `root` on this connection. It is announced and then
  // every attribute follows, as the buffer allows; the other end may not
  // write it back.
  void rootIs(Ptr<Entity> const& root);
  // Writer side: serves each of `roots` as rootIs does, but attaches them a
  // few at a time as the stream takes bytes, so that the first records are
  // on their way before the last root is attached. The first
  // synchronisation ends only after the last of them.
  void rootsAre(std::vector<Ptr<Entity>> roots);
  static constexpr std::size_t kRootsAttachedAtOnce = 32;
  // Mount side: the entities announced by the other end, held here while
  // the connection lives; told to `onMounted` as they come.
  std::vector<Ptr<Entity>> mounted() const;
  Ptr<Entity> mounted(EntityId eid) const;
  void onMountedIs(std::function<void(Ptr<Entity> const&)> f) { onMounted_ = std::move(f); }
  // Mount side: an announced root that a mount already holds (from an
  // earlier connection to the same writer) is kept rather than made anew,
  // so that its reactors stay and hear only what changed meanwhile.
  using RootFinder = std::function<Ptr<Entity>(ZefType* type, Name const& name)>;
  void rootFinderIs(RootFinder f) { rootFinder_ = std::move(f); }
  void refusalHandlerIs(RefusalHandler h) { refusalHandler_ = std::move(h); }
  // Bytes from the other end, in order. A frame split across calls is kept
  // until it is complete. Lost framing closes the connection.
  void bytesReceived(std::span<unsigned char const> bytes);
  // The stream took bytes: run the scheduled flow-outs while there is room.
  // True when flow-outs are still waiting.
  bool flowOutReady();

  // Mount side: every root the other end serves has arrived in full (the
  // writer says so with a sync-mode record once its first passes are done);
  // false again while a new connection resynchronises.
  bool isSynced() const;
  // Writer side: roots are being served for the first time, their passes
  // or the records that end them not all written yet.
  bool isFirstSyncUnderWay() const { return !syncSent_ && !demuxer_->initialSyncDone(); }
  // Writer side: the first synchronisation is written and no flow-out is
  // scheduled, so bytes finished now owe nothing to anything before them.
  bool isSettled() const { return syncSent_ && demuxer_->scheduledCount() == 0; }

  // The stream ended: every adapter leaves the log, nothing more is written.
  // The first reason and cause given are kept.
  void closedIs(String8 reason, CloseCause cause = CloseCause::closedHere);
  bool isClosed() const { return out_->isClosed(); }
  String8 const& closeReason() const { return closeReason_; }
  // none while open; overloaded once the send buffer overflowed, whatever
  // ended the stream after.
  CloseCause closeCause() const;

  // Counts of what arrived.
  // Frames read whole, of which some were refused (a refusal of lost
  // framing counts too, though its frame was never read) and the rest
  // applied.
  std::uint64_t framesReceived() const { return framesReceived_; }
  std::uint64_t framesRefused() const { return framesRefused_; }
  std::uint64_t framesApplied() const { return framesApplied_; }
  std::uint64_t bytesReceivedCount() const { return bytesReceived_; }
  String8 const& lastRefusal() const { return lastRefusal_; }
  // Bytes of a frame still incomplete.
  std::size_t pendingBytes() const { return pending_.size(); }

 private:
  explicit Connection(std::size_t capacity);
  ~Connection() override;

  void refused(std::uint64_t offset, String8 why);
  // Reads and applies the whole frames at the front of `input`, the first at
  // streamOffset_; returns the bytes they took.
  std::size_t readFrames(std::span<unsigned char const> input);
  // The records at `at` that go on from the last frame read, for the same
  // entity and the attribute after, applied with one look-up of its adapter;
  // returns where they end.
  std::size_t applyRun(std::span<unsigned char const> input, std::size_t at);
  // One frame, given to `apply`: counted as applied, or refused at `offset`
  // when it throws. False once reading must stop.
  template <class Apply>
  bool applied(std::uint64_t offset, Apply apply);
  // A mount over its limit of entities is cut off; true if it was. Asked
  // after every frame applied.
  bool entityLimitPassed() {
    return role_ == Role::mount && demuxer_->reactorCount() > entityLimit_ && cutAtEntityLimit();
  }
  [[gnu::cold]] bool cutAtEntityLimit();
  // Writer side: once the first passes over the roots are done, every
  // entity announced alone is told complete (the incremental sync mode).
  void syncDoneSend();
  void mountOrphan(FrameView const& frame);
  // Agent role: the frame is refused as a write-back.
  void writeBackRefused(FrameView const& frame);

  Ptr<Out> out_;
  Ptr<Demuxer> demuxer_;
  FrameReader reader_;
  FrameHandler frameHandler_;
  std::function<void(Ptr<Entity> const&)> onMounted_;
  RootFinder rootFinder_;
  Role role_ = Role::peer;
  std::uint64_t refusalLimit_ = kDefaultRefusalLimit;
  std::size_t entityLimit_ = kDefaultEntityLimit;
  bool syncSent_ = true;
  // Roots given to rootsAre and not attached yet, in order.
  std::deque<Ptr<Entity>> rootsWaiting_;
  // The orphans told that the first synchronisation is done, a turn at a
  // time, and the next to tell.
  std::vector<EntityId> syncModesDue_;
  std::size_t syncModesNext_ = 0;
  FlatTable<EntityId, Ptr<Entity>> mounted_;
  RefusalHandler refusalHandler_;
  std::vector<unsigned char> pending_;  // an incomplete frame's bytes
  std::uint64_t streamOffset_ = 0;      // of pending_'s first byte
  std::uint64_t framesReceived_ = 0;
  std::uint64_t framesRefused_ = 0;
  std::uint64_t framesApplied_ = 0;
  std::uint64_t bytesReceived_ = 0;
  String8 lastRefusal_;
  String8 closeReason_;
  CloseCause closeCause_ = CloseCause::none;
};

// Two connections joined in memory, for tests and for mounting in the same
// process: pump() moves each one's finished bytes to the other, as a
// transport would, until neither has anything left to say. A reader that
// stalls is one whose bytes are not pumped.
class MemoryPair {
 public:
  MemoryPair(std::size_t capacity = Out::kDefaultCapacity)
      : a_(Connection::ConnectionIs(capacity)), b_(Connection::ConnectionIs(capacity)) {}

  Ptr<Connection> const& a() const { return a_; }
  Ptr<Connection> const& b() const { return b_; }

  // Moves bytes both ways and runs flow-outs until both ends are quiet;
  // returns the bytes moved.
  std::size_t pump();
  // Moves at most `limit` bytes from a to b once, then lets a run its
  // flow-outs: a slow reader.
  std::size_t pumpAtoB(std::size_t limit);

 private:
  static std::size_t move(Connection& from, Connection& to, std::size_t limit);

  Ptr<Connection> a_;
  Ptr<Connection> b_;
};

}  // namespace Zef::NboAttrLog
