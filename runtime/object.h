// Objects: the reference word, counted references (Ptr, ValidPtr), sized
// allocation with byte accounting, the flag-word bit set, the framework's
// string (String8 and Name) and its assertion.
#pragma once

#include "runtime/object/assertion.h"
#include "runtime/object/bit_set.h"
#include "runtime/object/ptr.h"
#include "runtime/object/string8.h"
