// Failures and diagnostics: the framework's exceptions with their throwers
// and Expect scopes, assertions, and trace handles.
#pragma once

#include "runtime/failure/exception.h"
#include "runtime/failure/trace.h"
