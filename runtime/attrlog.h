// The network-byte-order attribute log: records in, records out.
#pragma once

#include "runtime/attrlog/nbo_attr_log.h"
