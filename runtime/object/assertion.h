// The runtime's assertion: prints the failed expression as the framework's
// headers name it and aborts. At the bottom, so that even a bit set may
// assert.
#pragma once

namespace Zef {

[[noreturn]] void assertionFailed(char const* expression, char const* file, int line);

}  // namespace Zef
