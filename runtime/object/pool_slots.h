// What the framework pool's slab slots really take, for memory benchmarks.
#pragma once

#include <cstddef>

namespace Zef {

// The slab slots and blocks handed out and not yet returned, each at its size
// class's whole size, where ZefMemPool::bytesInUse counts what was asked for.
// Other sizes are the system allocator's to count.
std::size_t poolSlotBytesInUse() noexcept;

}  // namespace Zef
