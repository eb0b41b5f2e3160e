// Why a connection ended, for code to act on; the connection's close reason
// keeps the words for people. A cause is also an error code of its own
// category, so that it travels where std::error_code does.
#pragma once

#include <system_error>

namespace Zef::NboAttrLog {

enum class CloseCause {
  none = 0,        // still open: the error code of a cause that is no error
  closedHere,      // this end's owner closed it, in its own words
  endOfStream,     // the other end closed the stream
  serverClosed,    // the server it was accepted by closed
  released,        // the client's owner let go of it
  evicted,         // a server at its limit gave its place to a new connection
  refused,         // the other end sent more refused frames than it may
  tooManyEntities, // the other end announced more entities than it may
  lostFraming,     // the bytes that arrived are no longer frames
  overloaded,      // the send buffer overflowed: changes could no longer all go out
  handlerFailed,   // a connection, frame or flow-out handler threw
  socketError,     // reading or writing the socket failed
  connectFailed,   // no connection: nobody listens, unresolved, or another user's server
};

// The cause's name as written above ("endOfStream"); "unknown" for a value
// that is none of them.
char const* closeCauseName(CloseCause c);

std::error_category const& closeCauseCategory();
std::error_code make_error_code(CloseCause c);

}  // namespace Zef::NboAttrLog

template <>
struct std::is_error_code_enum<Zef::NboAttrLog::CloseCause> : std::true_type {};
