#include "runtime/attrlog/close_cause.h"

#include <string>

namespace Zef::NboAttrLog {

char const* closeCauseName(CloseCause c) {
  switch (c) {
    case CloseCause::none: return "none";
    case CloseCause::closedHere: return "closedHere";
    case CloseCause::endOfStream: return "endOfStream";
    case CloseCause::serverClosed: return "serverClosed";
    case CloseCause::released: return "released";
    case CloseCause::evicted: return "evicted";
    case CloseCause::refused: return "refused";
    case CloseCause::tooManyEntities: return "tooManyEntities";
    case CloseCause::lostFraming: return "lostFraming";
    case CloseCause::overloaded: return "overloaded";
    case CloseCause::handlerFailed: return "handlerFailed";
    case CloseCause::socketError: return "socketError";
    case CloseCause::connectFailed: return "connectFailed";
  }
  return "unknown";
}

namespace {

class Category final : public std::error_category {
 public:
  char const* name() const noexcept override { return "attribute log connection"; }
  std::string message(int value) const override { return closeCauseName(static_cast<CloseCause>(value)); }
};

}  // namespace

std::error_category const& closeCauseCategory() {
  static Category const category;
  return category;
}

std::error_code make_error_code(CloseCause c) { return {static_cast<int>(c), closeCauseCategory()}; }

}  // namespace Zef::NboAttrLog
