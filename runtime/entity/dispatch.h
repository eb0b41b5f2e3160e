// The algorithms every generated entity runs: store-if-changed, dispatch to
// reactors, and the reactor's attach and registration steps. Generated code
// supplies the names and ids; the behaviour lives here, once.
#pragma once

#include <type_traits>

#include "runtime/entity/entity.h"
#include "runtime/failure/exception.h"
#include "runtime/entity/list_raw.h"

namespace Zef {

// References compare by identity of the target, everything else by ==.
template <class T>
inline bool sameValue(T const& a, T const& b) {
  return a == b;
}

// Stores v when it differs from field; true when it did.
template <class T>
inline bool storeIfChanged(T& field, T const& v) {
  if (sameValue(field, v)) return false;
  field = v;
  return true;
}

// While a record read from a log is applied, the adapter applying it hears
// its own change of that attribute again, and in most states does nothing
// with it. When the adapter finds, as the application begins, that it would
// do nothing, it names its reactor here, and a dispatch of that attribute
// passes over that reactor alone. Scopes nest; the previous one returns at
// the end of each.
class AppliedEcho {
 public:
  AppliedEcho(PtrInterface::NotifieeConst const* reactor, AttributeId id) noexcept : previous_(current_) {
    current_ = {reactor, id};
  }
  ~AppliedEcho() { current_ = previous_; }
  AppliedEcho(AppliedEcho const&) = delete;
  AppliedEcho& operator=(AppliedEcho const&) = delete;

  // The reactor a dispatch of `id` passes over, or null.
  static PtrInterface::NotifieeConst const* reactorFor(AttributeId id) noexcept {
    return current_.id == id ? current_.reactor : nullptr;
  }

 private:
  struct State {
    PtrInterface::NotifieeConst const* reactor = nullptr;
    AttributeId id = 0;
  };
  State previous_;
  // Initial-exec: read inline by every dispatch.
  [[gnu::tls_model("initial-exec")]] static constinit thread_local State current_;
};

// One reactor's call inside an Expect scope; a handler that throws is told
// through its own onNotificationException(id).
template <class R, class Handler, class... Args>
void callReactor(R* r, AttributeId id, Handler handler, Args const&... args) {
  try {
    Expect scope(0);
    (r->*handler)(args...);
  } catch (...) {
    r->onNotificationException(id);
  }
}

// One reactor, most often an adapter's: what a snapshot of it alone would
// do, without the snapshot.
template <class T, class Handler, class... Args>
[[gnu::noinline]] void callOne(T* r, AttributeId id, Handler handler, Args const&... args) {
  if (r->zefIsDestroying()) return;
  KeepForCall keep(r);
  callReactor(r, id, handler, args...);
}

// Calls `handler` on every reactor on `list` when the call began, in list
// order; a reactor that throws does not stop the others. When the list holds
// reactors of a base type, only those of type `Target` are called. Reached
// through notify(), which has already passed over an applied echo alone and,
// on a list of Target's own, called a lone owner of the handler itself.
template <class Target, class T, class Handler, class... Args>
[[gnu::noinline]] void dispatchNotification(ListRaw<T> const& list, AttributeId id, Handler handler,
                                            Args const&... args) {
  PtrInterface::NotifieeConst const* const echo = AppliedEcho::reactorFor(id);
  for (SnapshotIterator<ListRaw<T>> it(list); it; ++it) {
    if (echo && static_cast<PtrInterface::NotifieeConst const*>(it.ptr()) == echo) continue;
    Target* r;
    if constexpr (std::is_same_v<Target, T>) {
      r = it.ptr();
    } else {
      r = dynamic_cast<Target*>(it.ptr());
      if (!r) continue;
    }
    callReactor(r, id, handler, args...);
  }
}

// The reactors on `list` with their own `handler`: how many (0, 1, or 2 for
// more than one) and the first of them. Every handler an entity's reactor
// class declares does nothing until a reactor overrides it, so a reactor
// without its own would only be called to do nothing: passing over it is
// the same to everyone, and spares the snapshot's holds when one reactor is
// left. Reads each reactor's handler through its vtable (a GNU extension);
// elsewhere every reactor is taken to have its own.
template <class T>
struct OwnHandlers {
  unsigned count = 0;
  T* first = nullptr;
};

template <class T, class Handler>
[[gnu::always_inline]] inline OwnHandlers<T> ownHandlers(ListRaw<T> const& list, Handler handler) {
#if defined(__GNUC__) && !defined(__clang__)
  if constexpr (std::is_member_function_pointer_v<Handler> && std::is_default_constructible_v<T> &&
                !std::is_abstract_v<T>) {
    // A reactor of exactly T, never attached: its vtable holds T's own handlers.
    static T const* const plain = [] {
      alignas(T) static unsigned char storage[sizeof(T)];
      return ::new (static_cast<void*>(storage)) T();
    }();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpmf-conversions"
    using Fn = void (*)();
    auto const own = reinterpret_cast<Fn>(const_cast<T*>(plain)->*handler);
    OwnHandlers<T> found;
    for (T* r = list.head(); r; r = r->listNext) {
      if (reinterpret_cast<Fn>(r->*handler) == own) continue;
      if (found.count++ == 1) return found;
      found.first = r;
    }
#pragma GCC diagnostic pop
    return found;
  }
#endif
  (void)handler;
  return {list.memberCount() < 2 ? list.memberCount() : 2u, list.head()};
}

template <class Target, class T, class Handler, class... Args>
[[gnu::always_inline]] inline void notify(ListRaw<T> const& list, AttributeId id, Handler handler, Args const&... args) {
  if (list.memberCount() == 0) return;
  // The applying adapter alone: nobody to tell.
  if (list.memberCount() == 1 &&
      static_cast<PtrInterface::NotifieeConst const*>(list.head()) == AppliedEcho::reactorFor(id)) {
    return;
  }
  if constexpr (std::is_same_v<Target, T>) {
    OwnHandlers<T> const own = ownHandlers(list, handler);
    if (own.count == 0) return;
    if (own.count == 1) {
      if (static_cast<PtrInterface::NotifieeConst const*>(own.first) == AppliedEcho::reactorFor(id)) return;
      return callOne(own.first, id, handler, args...);
    }
  }
  dispatchNotification<Target>(list, id, handler, args...);
}

// The two attributes every entity inherits from PtrInterface.
template <class N, class E>
void entityIsNondestructingIs(E* self, bool b) {
  if (b == self->isNondestructing()) return;
  self->PtrInterface::isNondestructingIs(b);
  notify<N>(self->zefNotifieeList(), 6, &N::onIsNondestructing);
}

// Called by the runtime when the count reached zero; it stores nothing.
template <class N, class E>
void entityZeroReferencesIs(E* self) {
  notify<N>(self->zefNotifieeList(), 5, &N::onZeroReferences);
}

// The name of attribute `id` in a table of contiguous ids from `first`, or
// null when the id is not in the table.
template <std::size_t N>
inline char const* attributeName(char const* const (&names)[N], AttributeId first, AttributeId id) {
  return id >= first && id - first < static_cast<AttributeId>(N) ? names[id - first] : nullptr;
}

// An instantiating child attribute: the entity creates, owns and replaces its
// child by name, and tells its reactors of every creation, replacement and
// removal.
template <class Child, class E>
Ptr<Child> adoptChild(E* self, Ptr<Child> child, AttributeId id) {
  child->parentAttrIdIs(id);
  child->parentIs(Ptr<Entity>(self));
  return child;
}

template <class N, class E, class Child, class Handler, class Make>
ValidPtr<Child> childIs(E* self, Ptr<Child>& field, Name const& name, AttributeId id, Handler handler, Make make) {
  Ptr<Child> current = field;
  if (current && current->name() == name) return current;
  if (current) current->parentIs(nullptr);
  Ptr<Child> child = make(name);
  field = child;
  // The field holds it, and the entity's destruction clears the field.
  if (child->parent().ptr() == self) child->zefHeldByParentIs(true);
  notify<N>(self->zefNotifieeList(), id, handler);
  return child;
}

template <class N, class E, class Child, class Handler>
Ptr<Child> childDel(E* self, Ptr<Child>& field, AttributeId id, Handler handler) {
  Ptr<Child> old = std::move(field);
  field = nullptr;
  if (!old) return old;
  old->parentIs(nullptr);
  notify<N>(self->zefNotifieeList(), id, handler);
  return old;
}

// Destruction of an entity with reactors still on its list (weak ones: a
// strong reactor keeps its notifier alive): they forget the entity.
template <class T>
void retireNotifiees(ListRaw<T>& list) {
  while (T* r = list.head()) {
    list.deleteMember(r);
    r->listNext = nullptr;
    r->zefNotifierGone();
  }
}

// Puts a reactor on an entity's list: state adapters' reactors at the head,
// all others at the tail in attachment order.
template <class T>
void newNotifieeIn(ListRaw<T>& list, T* r) {
  Ptr<PtrInterface::NotifieeConst> reactor = r->zefReactor();
  if (reactor && reactor->zefIsStreamAdapter()) list.newHead(r);
  else list.newMember(r);
}

// The notifier of reactor N as an E, read without counting it: the typed
// notifier() hands out a counted reference.
template <class E, class N>
E const* notifierOf(N const* self) {
  return static_cast<E const*>(self->PtrInterface::NotifieeConst::notifier().ptr());
}

// notifierIs of an entity type E's reactor N: attach to n (a notifier of
// another type counts as null), keep a weak reactor's count off the notifier,
// and move the registration from the old notifier's list to the new one.
template <class E, class N>
void reactorNotifierIs(N* self, Ptr<PtrInterface const> const& n) {
  E const* next = dynamic_cast<E const*>(n.ptr());
  E const* old = notifierOf<E>(self);
  if (next == old) return;
  Ptr<E const> keepOld(old);
  // n itself when it is the E: no counted copy for the call.
  if (static_cast<PtrInterface const*>(next) == n.ptr()) self->Entity::NotifieeConst::notifierIs(n);
  else self->Entity::NotifieeConst::notifierIs(Ptr<PtrInterface const>(next));
  if (self->isWeakReference()) {
    _referencesInc(old);
    _referencesDec(next);
  }
  if (self->isRegisteredNotifiee()) {
    if (old) old->zefNotifieeList().deleteMember(self);
    if (next) next->newNotifiee(self);
  }
}

template <class E, class N>
void reactorIsRegisteredNotifieeIs(N const* self, bool b) {
  if (b == self->isRegisteredNotifiee()) return;
  self->zefIsRegisteredNotifieeFlagIs(b);
  E const* e = notifierOf<E>(self);
  if (!e) return;
  N* r = const_cast<N*>(self);
  if (b) e->newNotifiee(r);
  else e->zefNotifieeList().deleteMember(r);
}

// Destructor step of E's reactor N, before the runtime's base destructor.
template <class E, class N>
void reactorRetire(N* self) {
  E const* e = notifierOf<E>(self);
  if (!e) return;
  // The base destructor releases one reference; a weak reactor never held it.
  if (self->isWeakReference()) _referencesInc(e);
  if (self->isRegisteredNotifiee() && !self->zefMarkedForDeletion()) e->zefNotifieeList().deleteMember(self);
}

template <class E, class N>
String8 reactorName(N const* self) {
  E const* e = notifierOf<E>(self);
  return e ? String8(e->name()) : String8();
}

}  // namespace Zef
