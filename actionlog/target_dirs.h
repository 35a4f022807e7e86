// Reading the action log's directories: their saved entries, the target
// directories in replay order (the pre-initialised targets of the
// configuration first), and what a crash can leave behind.
//
// Thread safety: functions of the file system (and of the configuration
// store, which is thread-safe).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"

// Bare names of an action-log directory in listing order, without "." and
// ".." and without the durable writer's temporary files. opened tells an
// open failure from one part-way (names then holds the entries read).
CRnError ListActionLogDir(const std::string& dir, std::vector<std::string>& names, bool& opened);
// The target directories under <root>/Targets in replay order (first the
// targets preInitTargets lists, actionlog/preinit_targets.h). An error when
// the log exists but cannot be read whole (dirs then holds what was found
// before the failure); none when it does not exist yet.
CRnError WzScsiSrvCollectTargetDirs(const std::string& root, const std::string& preInitTargets,
                                    std::vector<std::string>& dirs);
// True when a directory holds nothing saved: only temporary files of the
// durable writer and directories that hold nothing saved (what a create or
// a delete cut off by a crash leaves behind).
bool WzScsiSrvHoldsNothingSaved(const std::string& dir, int depth = 0);
// Removes the temporary files and set-aside files a crash left in dir (and,
// with depth, in its subdirectories); returns how many. They are never
// replayed; removing them keeps the tree from filling up over many crashes.
size_t WzScsiSrvRemoveLeftovers(const std::string& dir, int depth);
