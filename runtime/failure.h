// Failures and diagnostics: the framework's exceptions with their throwers
// and Expect scopes, assertions, trace handles, and the escaper of text
// for records and quoted strings.
#pragma once

#include "runtime/failure/escape.h"
#include "runtime/failure/exception.h"
#include "runtime/failure/trace.h"
