// The framework's exceptions. Every failure of the library is one of these,
// raised through a thrower so that call sites stay one line and the message
// texts live where the behaviour is defined.
#pragma once

#include <exception>
#include <vector>

#include "runtime/object/assertion.h"
#include "runtime/object/string8.h"

namespace Zef {

// The exception ids an `Expect` scope or a thrower attaches to a failure.
using ExceptionIdSet = std::vector<int>;

class Exception : public std::exception {
 public:
  explicit Exception(String8 message, ExceptionIdSet ids = {})
      : message_(std::move(message)), ids_(std::move(ids)) {}
  char const* what() const noexcept override { return message_.charPtr(); }
  String8 const& message() const { return message_; }
  ExceptionIdSet const& ids() const { return ids_; }

 private:
  String8 message_;
  ExceptionIdSet ids_;
};

#define ZEF_EXCEPTION_CLASS(Name_) \
  class Name_ : public Exception { \
   public: \
    using Exception::Exception; \
  }

ZEF_EXCEPTION_CLASS(RangeException);
ZEF_EXCEPTION_CLASS(InternalException);
ZEF_EXCEPTION_CLASS(NameInUseException);
ZEF_EXCEPTION_CLASS(AttrLogEntityException);
// A record could not be finished and must be written again from its start.
ZEF_EXCEPTION_CLASS(AttrLogRecordException);
// A log has no entity id left to give.
ZEF_EXCEPTION_CLASS(EntityIdUnavailableException);
ZEF_EXCEPTION_CLASS(TypeException);
ZEF_EXCEPTION_CLASS(ConstException);
ZEF_EXCEPTION_CLASS(BadIndexAttrException);
ZEF_EXCEPTION_CLASS(UnknownArgException);
ZEF_EXCEPTION_CLASS(OpNotSupportedException);

#undef ZEF_EXCEPTION_CLASS

[[noreturn]] void throwRangeException(char const* message);
[[noreturn]] void throwInternalException(char const* message);
[[noreturn]] void throwNameInUseException(char const* message);
[[noreturn]] void throwTypeException(char const* message);
[[noreturn]] void throwConstException(char const* message);
[[noreturn]] void throwBadIndexAttrException(char const* message);
[[noreturn]] void throwUnknownArgException(char const* message);

// Marks the stretch of code in which exceptions of the given id are expected.
// The runtime keeps the innermost id per thread; failures raised inside carry
// it so that a handler can tell an expected failure from a bug.
class Expect {
 public:
  explicit Expect(int exceptionId) : previous_(current_) { current_ = exceptionId; }
  ~Expect() { current_ = previous_; }
  Expect(Expect const&) = delete;
  Expect& operator=(Expect const&) = delete;
  static int current() { return current_; }

 private:
  int previous_;
  // Initial-exec: read inline on every reactor call, so no TLS lookup call.
  [[gnu::tls_model("initial-exec")]] static constinit thread_local int current_;
};


}  // namespace Zef
