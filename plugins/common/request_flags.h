// What the service tells a platform driver about the request behind a call,
// through thread-specific environment variables (the driver interface has
// no argument for it).
//
// Thread safety: reads the calling thread's own variable.
#pragma once

#include <sstream>
#include <string>
#include <thread>

#include "hostlib/util/wz_environment.h"

namespace wzplugin {

// Whether the calling thread's request only closes the LUN: the service sets
// CloseOnly_<thread id> to "1" around the calls of such a request. A closed
// LUN leaves the engine but stays configured, so its number stays taken.
inline bool CloseOnlyRequested() {
  std::ostringstream name;
  name << "CloseOnly_" << std::this_thread::get_id();
  return WzEnvironment::Get(name.str()) == "1";
}

}  // namespace wzplugin
