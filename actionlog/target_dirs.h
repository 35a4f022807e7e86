// Reading the action log's directories.
//
// Thread safety: pure functions of the file system.
#pragma once

#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"

// Bare names of an action-log directory in listing order, without "." and
// ".." and without the durable writer's temporary files. opened tells an
// open failure from one part-way (names then holds the entries read).
CRnError ListActionLogDir(const std::string& dir, std::vector<std::string>& names, bool& opened);
