// The pre-initialised targets: the value of the setting
// "sPreInitializeTargets" (WzScsiSrvSettings::preInitializeTargets, as
// Initialize read it), a comma-separated list of target names whose
// directories the replay brings up first.
//
// Thread safety: pure functions of their arguments.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"

// An ordered set of target identifiers (ascending byte order, no duplicates).
typedef std::set<std::string> TargetList;

// Splits the value (blanks trimmed, empty items dropped; an inner blank or a
// control character is an error).
CRnError GetPreInitTargetList(const std::string& value, std::vector<std::string>& names);
// The directory names (name ids) of the targets value lists, as named (no
// case folding: the administrator names a target as stored); none for "".
CRnError GetPreInitTargets(const std::string& value, TargetList& targets);
