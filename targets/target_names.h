// Target names: the iSCSI qualified-name rule and the one case folding the
// service applies (targets are stored lower-cased; host ids keep their case).
//
// Thread safety: pure functions.
#pragma once

#include <string>

// Whole-name match of "^iqn\.[a-z0-9.:-]+" (after folding).
bool IsValidScsiTargetName(const std::string& name);
// ASCII lower case: the stored form of a target name.
std::string ToLowerTargetName(const std::string& name);
