#include "runtime/attrlog/msg_channel.h"

#include <utility>

#include "runtime/attrlog/demuxer.h"
#include "runtime/failure/exception.h"
#include "runtime/text/text.h"

namespace Zef::MsgChannel {

namespace {
// Each agent thread has its own connections, and so its own constrainer.
thread_local Ptr<Constrainer> current;
}  // namespace

Constrainer* constrainer() { return current.ptr(); }
void constrainerIs(Ptr<Constrainer> c) { current = std::move(c); }

Constrainer::~Constrainer() = default;

ValidPtr<Constrainer::ZefEntry> Constrainer::entryIs() { return ValidPtr<ZefEntry>(new ZefEntry(this), adoptRef); }

Constrainer::ZefEntry::ZefEntry(Constrainer* c) : constrainer_(c) {
  if (!c) throwRangeException("message channel: no constrainer to make it in");
}

Constrainer::ZefEntry::~ZefEntry() = default;

void Constrainer::ZefEntry::modeIs(unsigned m) {
  if (m > modeInternalWrite) throwRangeException(format("message channel: mode %d out of range 0 to 4", m).charPtr());
  mode_ = m;
}

void Constrainer::ZefEntry::doQuorraInternalWrite(EntityId eid, AttributeId a, Name const* key) {
  ++internalWrites_;
  lastEid_ = eid;
  lastAttr_ = a;
  lastKey_ = key ? *key : Name();
}

DeserializingEidAnchor::~DeserializingEidAnchor() {
  NboAttrLog::Demuxer::deserializingEidIs(previous_);
  if (constrainer_) {
    constrainer_->deserializingEidIs(previousEid_);
    constrainer_->deserializingInParentIs(previousParent_);
  }
}

}  // namespace Zef::MsgChannel
