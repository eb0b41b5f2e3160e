#include "runtime/attrlog/value_codec.h"

namespace Zef::NboAttrLog {

namespace {
// The built-in types learn their encoding when the library is loaded, before
// any reader asks them.
template <class T>
void builtinReads() {
  builtinWireReaderIs(Builtin<T>::_fwkType(), &genericFromWire<T>);
}

[[maybe_unused]] bool const kBuiltinsRead = [] {
  builtinReads<bool>();
  builtinReads<double>();
  builtinReads<unsigned char>();
  builtinReads<unsigned int>();
  builtinReads<String8>();
  builtinReads<Name>();
  return true;
}();
}  // namespace

}  // namespace Zef::NboAttrLog
