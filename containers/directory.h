// The algorithms of every directory's collections: adopting a new member,
// releasing a removed one, and the constructor-parameter check on
// re-creation. Generated directories supply names, ids and parameter lists.
#pragma once

#include <type_traits>

#include "containers/hash_map.h"
#include "runtime/entity/dispatch.h"
#include "runtime/text/text.h"

namespace Zef {

// Picks the per-key overload of a handler that also has a whole-collection
// overload without arguments.
template <class N>
constexpr auto keyHandler(void (N::*handler)(Name)) {
  return handler;
}

// The creation step of a collection: the member takes the collection's id as
// its parent attribute id, joins the map and gets the directory as parent.
// The map holds it, and the directory's destruction removes every member,
// detaching each, so the record of children needs no entry for it.
template <class T, class Dir>
Ptr<T> adoptMember(Dir* dir, HashMap<T, Name>& map, Ptr<T> member, AttributeId id) {
  member->parentAttrIdIs(id);
  map.memberIs(member);
  member->zefHeldParentIs(Ptr<Entity>(dir));
  return member;
}

// The after-removal step: the member, already out of the map, loses its
// parent and the directory's reactors hear its key.
template <class N, class Dir, class T, class Handler>
void releaseMember(Dir* dir, Ptr<T> const& member, AttributeId id, Handler handler, Name const& key) {
  Ptr<T> hold = member;
  hold->parentIs(nullptr);
  notify<N>(dir->zefNotifieeList(), id, handler, key);
}

// A reference directory's add-or-replace: a new name gets a record, another
// entity under a known name replaces the record's reference in place, the
// same entity again changes nothing. Reactors hear the key of every change.
template <class N, class Dir, class R, class T, class Handler, class Make>
void referenceIs(Dir* dir, HashMap<R, Name>& map, Ptr<T> const& entity, AttributeId id, Handler handler,
                 Make make) {
  Name key = entity->name();
  if (R* record = map[key]) {
    if (record->fwkValue() == entity) return;
    record->fwkValueIs(entity);
  } else {
    make(entity);
  }
  notify<N>(dir->zefNotifieeList(), id, handler, key);
}

// Texts of constructor parameters in the re-creation message: the runtime's
// text forms, so a name or string reads back exactly, escapes included.
inline String8 parameterStrep(String8 const& s) { return valueToStrep(s); }
template <class T>
String8 parameterStrep(Ptr<T> const& p) {
  if (!p) return "null";
  return String8("Entity(") + valueToStrep(p->fullName()) + ")";
}
template <class E, class = std::enable_if_t<std::is_enum_v<E>>>
String8 parameterStrep(E e) {
  return valueToStrep(static_cast<unsigned long long>(e));
}

// Re-creating a member under an existing name must give the same constructor
// parameters; the first that differs is refused.
template <class V>
void checkParameter(Name const& key, char const* param, V const& given, V const& current) {
  if (sameValue(given, current)) return;
  String8 message = String8("Reinstantiating the entity with name ") + parameterStrep(String8(key)) +
                    " where constructor parameter attribute " + param + " has a different value of " +
                    parameterStrep(given) + " than the current value of " + parameterStrep(current) + " not allowed";
  throwNameInUseException(message.charPtr());
}

}  // namespace Zef
