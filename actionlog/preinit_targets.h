// The pre-initialised targets: the configuration value "sPreInitializeTargets"
// of section "Quellport" (as Initialize read it, service/settings.h), a
// comma-separated list of target names whose directories the replay brings
// up first.
//
// Thread safety: pure functions of their arguments.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"
#include "service/settings.h"

// An ordered set of target identifiers (ascending byte order, no duplicates).
typedef std::set<std::string> TargetList;

// The configuration value ("" when the key is missing).
std::string GetPreInitTargetRegKeyValue(const WzScsiSrvSettings& settings);
// Splits the value (blanks trimmed, empty items dropped; an inner blank or a
// control character is an error).
CRnError GetPreInitTargetList(const std::string& value, std::vector<std::string>& names);
// The directory names (name ids) of the listed targets, as named (no case
// folding: the administrator names a target as stored).
CRnError GetPreInitTargets(const WzScsiSrvSettings& settings, TargetList& targets);
