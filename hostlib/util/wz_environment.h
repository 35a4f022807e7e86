// The process environment behind one lock. The service tells drivers about a
// request through thread-specific variables (luns/lun_req_flags.h) while
// other threads' drivers read theirs, and setenv may move the environment
// under a concurrent getenv: every library of this system reads and writes
// variables through here, so the two never overlap.
//
// Thread safety: safe from any thread.
#pragma once

#include <string>

#include "hostlib/errors/CRnError.h"

namespace WzEnvironment {
// The variable's value; "" when unset.
WZ_EXPORT std::string Get(const std::string& name);
// Whether the variable is set (to any value).
WZ_EXPORT bool Has(const std::string& name);
// setenv with overwrite: the strings are copied. False when setenv fails.
WZ_EXPORT bool Set(const std::string& name, const std::string& value);
// unsetenv. False when unsetenv fails (a name that is not set is no failure).
WZ_EXPORT bool Unset(const std::string& name);
}  // namespace WzEnvironment
