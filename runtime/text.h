// Text: the bounded integers and time stamps, and the text forms of the
// built-in types.
#pragma once

#include "runtime/text/bounded.h"
#include "runtime/text/text.h"
