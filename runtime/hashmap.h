// The name-keyed intrusive hash map's type-independent core.
#pragma once

#include "runtime/hashmap/hash_map_generic.h"
