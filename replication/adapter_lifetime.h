// An adapter's life beside its entity: creating it with its reactor,
// following its notifier, retiring it, and the entity's side that finds,
// creates and detaches its adapters.
#pragma once

#include "replication/attr_rows.h"

namespace Zef::Repl {

// Creation of an adapter and of its reactor.

template <class R, class Sa>
ValidPtr<R> newAdapterReactor(Ptr<PtrInterface const> const& entity, Sa* sa) {
  Ptr<R> r(new R(sa), adoptRef);
  r->isRegisteredNotifieeIs(true);
  r->notifierIs(entity);
  r->isWeakReferenceIs(true);
  r->hasNotificationActiveIs(true);
  return r;
}

// Once the adapter is whole: the reactor, then the entity.
template <class Sa, class E>
void constructStateAdapter(Sa* sa, Ptr<E> const& entity) {
  // One reference as a notifier for both: each conversion would count.
  Ptr<PtrInterface const> const notifier(entity);
  // What the reactor's factory does, without a counted reference for the
  // back pointer it keeps uncounted.
  sa->zefReactor_ = newAdapterReactor<typename Sa::ZefNboAttrLogSaAdapter_>(notifier, sa);
  // A mount's adapter holds its entity without counting it: the entity lives
  // by its own holders, and goes when they go.
  if (sa->zef_bitSet.isMountRemote()) sa->isWeakReferenceIs(true);
  sa->notifierIs(notifier);
}

template <class Sa, class E>
ValidPtr<Sa> newStateAdapter(typename Sa::Zef_BitSet flags, Ptr<E> const& entity, unsigned n,
                             Ptr<NboAttrLog::Out> const& out, PtrInterface* owner) {
  Ptr<Sa> sa(new Sa(flags, entity, n, out, owner), adoptRef);
  constructStateAdapter(sa.ptr(), entity);
  sa->zefRegisterOn(out);
  sa->hasNotificationActiveIs(true);
  return sa;
}

// The adapter's notifierIs: its reactor follows first; a weak adapter's
// notifier is held uncounted.
template <class Sa>
void stateAdapterNotifierIs(Sa* sa, Ptr<PtrInterface const> const& n) {
  if (sa->zefReactor_) sa->zefReactor_->notifierIs(n);
  PtrInterface const* old = sa->zefEntity();
  if (old != n.ptr()) {
    Ptr<PtrInterface const> keepOld(old);
    sa->StreamAdapter::notifierIs(n);
    if (sa->isWeakReference()) {
      _referencesInc(old);
      _referencesDec(n.ptr());
    }
  }
  sa->isRegisteredNotifieeIs(false);
}

template <class Sa>
void stateAdapterRetire(Sa* sa) {
  sa->isWeakReferenceIs(false);
  if (auto r = std::move(sa->zefReactor_)) {
    r->isRegisteredNotifieeIs(false);
    r->notifierIs(nullptr);
    r->zefReactorAdapterIs(nullptr);
  }
}

// Adapter and reactor keep one notification-active state; the equality test
// ends the mutual call.
template <class Sa>
void stateAdapterNotificationActiveIs(Sa* sa, bool b) {
  if (b == sa->hasNotificationActive()) return;
  sa->StreamAdapter::hasNotificationActiveIs(b);
  if (sa->zefReactor_) sa->zefReactor_->hasNotificationActiveIs(b);
}

template <class R>
void adapterReactorNotificationActiveIs(R* r, bool b) {
  if (b == r->hasNotificationActive()) return;
  r->PtrInterface::NotifieeConst::hasNotificationActiveIs(b);
  if (r->zefReactorAdapter() && !r->zefMarkedForDeletion()) r->zefReactorAdapter()->hasNotificationActiveIs(b);
}

template <class Sa>
void stateAdapterZombieIs(Sa* sa, bool z) {
  if (z == sa->zefMarkedForDeletion()) return;
  if (sa->zefReactor_) sa->zefReactor_->zefDoZombieReactors(z);
  sa->zefMarkedForDeletionIs(z);
}

template <class R>
void adapterReactorZombieIs(R* r, bool z) {
  if (z == r->zefMarkedForDeletion()) return;
  if (r->notifier()) r->hasNotificationActiveIs(!z);
  r->zefMarkedForDeletionIs(z);
}

// The entity side: find, create and detach an entity's adapters.

// The adapter of `self` on `out`, walking the entity's reactor list.
template <class E>
Ptr<Entity::ZefNboAttrLogSa> stateAdapterOf(E const* self, Ptr<NboAttrLog::Out const> const& out) {
  NboAttrLog::Demuxer* demuxer = out ? out->demuxer() : nullptr;
  // Nothing here changes the list: a plain walk.
  for (auto* it = self->zefNotifieeList().head(); it; it = it->listNext) {
    Ptr<PtrInterface::NotifieeConst> reactor = it->zefReactor();
    if (!reactor || !reactor->zefIsStreamAdapter()) continue;
    auto* sa = static_cast<Entity::ZefNboAttrLogSa*>(reactor.ptr());
    if (sa->nboAttrLogOut() == out) return Ptr<Entity::ZefNboAttrLogSa>(sa);
    if (!out) continue;
    if (!demuxer) return nullptr;
    // Another log of the same connection knows the entity under this id:
    // the answer is that connection's adapter. Another connection may well
    // use the same id for the same entity, and its adapter is not ours.
    if (sa->entityId() & 1) {
      Ptr<StreamAdapter> r = demuxer->reactor(sa->entityId());
      if (r && r->zefNotifierEntity().ptr() == self) {
        if (auto* mine = dynamic_cast<Entity::ZefNboAttrLogSa*>(r.ptr())) return Ptr<Entity::ZefNboAttrLogSa>(mine);
      }
    }
  }
  return nullptr;
}

template <class Sa, class E>
ValidPtr<Entity::ZefNboAttrLogSa> stateAdapterIs(E* self, typename Sa::Zef_BitSet flags, unsigned n,
                                                 Ptr<NboAttrLog::Out> const& out, PtrInterface* owner) {
  if (!out) throwNullValidPtr();
  // An adapter is found through its reactor on the entity's list: with the
  // list empty there is none to look for.
  Ptr<Entity::ZefNboAttrLogSa> found;
  if (self->zefNotifieeList().memberCount() != 0) found = self->zefNboAttrLogSa(Ptr<NboAttrLog::Out const>(out));
  if (found) {
    if (auto* same = dynamic_cast<Sa*>(found.ptr())) {
      if (same->notificationFlags() != flags) same->notificationFlagsIs(flags);
      return found;
    }
    self->zefNboAttrLogSaDel(Ptr<NboAttrLog::Out const>(out));
  }
  return Sa::ZefNboAttrLogSaIs(flags, Ptr<E>(self), n, out, owner);
}

template <class E>
Ptr<Entity::ZefNboAttrLogSa> stateAdapterDel(E* self, Ptr<NboAttrLog::Out const> const& out) {
  NboAttrLog::Demuxer* demuxer = out ? out->demuxer() : nullptr;
  if (!demuxer) return nullptr;
  Ptr<Entity::ZefNboAttrLogSa> sa = self->zefNboAttrLogSa(out);
  if (sa) demuxer->reactorDel(sa->entityId());
  return sa;
}

// Another live adapter of the entity on the same message channel as
// `other`. Without a channel, `other` is answered by an adapter that has
// none either.
template <class E>
Ptr<Entity::ZefNboAttrLogSa> siblingStateAdapter(E const* self, Ptr<Entity::ZefNboAttrLogSa> const& other) {
  auto* chan = other ? other->msgChannelEntry() : nullptr;
  for (auto* it = self->zefNotifieeList().head(); it; it = it->listNext) {
    Ptr<PtrInterface::NotifieeConst> reactor = it->zefReactor();
    if (!reactor || !reactor->zefIsStreamAdapter()) continue;
    auto* sa = static_cast<Entity::ZefNboAttrLogSa*>(reactor.ptr());
    if (sa == other.ptr() || !(sa->entityId() & 1) || !sa->isOkToSerialize()) continue;
    if (sa->msgChannelEntry() == chan) return Ptr<Entity::ZefNboAttrLogSa>(sa);
  }
  return nullptr;
}

}  // namespace Zef::Repl
