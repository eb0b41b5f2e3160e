#include "runtime/text/bounded.h"

#include "runtime/text/text.h"
#include "runtime/types/zef_type.h"

U1::U1(Zef::String8::IteratorConst& it, Zef::String8::IteratorConst const& end) {
  Zef::String8::IteratorConst at = it;
  long long n = Zef::sequenceToValue<long long>(at, end);
  if (n < 0 || n > kMax) Zef::throwRangeException(Zef::kU1Message);
  *this = U1(static_cast<unsigned char>(n));
  it = at;
}

unsigned long long Zef::strepToUnsigned(String8 const& text, unsigned long long max, char const* rangeMessage) {
  long long n = strepToNumber<long long>(text);
  if (n < 0 || static_cast<unsigned long long>(n) > max) throwRangeException(rangeMessage);
  return static_cast<unsigned long long>(n);
}

namespace {
class U1Type : public Zef::ZefType {
 public:
  U1Type() : ZefType("U1", nullptr, nullptr, Zef::ZefTypeFlags::zefEmpty()) {}
};
}  // namespace

Zef::ZefType* U1::_fwkType() {
  static Zef::ZefType* slot = nullptr;
  return Zef::typeObject<U1Type>(slot);
}

Zef::String8 valueToStrep(U1 const& v) { return Zef::valueToStrep(static_cast<unsigned long long>(v.value())); }
