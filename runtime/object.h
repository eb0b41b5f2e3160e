// Objects: the reference word, counted references (Ptr, ValidPtr), sized
// allocation with byte accounting, and the flag-word bit set.
#pragma once

#include "runtime/object/bit_set.h"
#include "runtime/object/ptr.h"
