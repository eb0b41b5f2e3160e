// The throwers and the Expect scope behind every framework exception.
#include "runtime/failure/exception.h"

#include <cstdio>
#include <cstdlib>

namespace Zef {

[[gnu::tls_model("initial-exec")]] constinit thread_local int Expect::current_ = 0;

namespace {
ExceptionIdSet currentIds() {
  int id = Expect::current();
  return id ? ExceptionIdSet{id} : ExceptionIdSet{};
}
}  // namespace

void throwRangeException(char const* m) { throw RangeException(m, currentIds()); }
void throwInternalException(char const* m) { throw InternalException(m, currentIds()); }
void throwNameInUseException(char const* m) { throw NameInUseException(m, currentIds()); }
void throwTypeException(char const* m) { throw TypeException(m, currentIds()); }
void throwConstException(char const* m) { throw ConstException(m, currentIds()); }
void throwBadIndexAttrException(char const* m) { throw BadIndexAttrException(m, currentIds()); }
void throwUnknownArgException(char const* m) { throw UnknownArgException(m, currentIds()); }

void throwNullValidPtr() { throwRangeException("null ValidPtr"); }

}  // namespace Zef
