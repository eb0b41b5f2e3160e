// Types and access by name: type objects and the registry, the values'
// field-table algorithms, and generic interfaces over any object.
#pragma once

#include "runtime/types/zef_type.h"
#include "runtime/types/value.h"
#include "runtime/types/generic_if.h"
#include "runtime/types/stored.h"
