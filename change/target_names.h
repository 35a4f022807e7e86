// Target names and host ids: the iSCSI qualified-name rule, the one case
// folding the service applies (targets are stored lower-cased; host ids keep
// their case), and what a host id may hold.
//
// Thread safety: pure functions.
#pragma once

#include <string>

// Whole-name match of "^iqn\.[a-z0-9.:-]+" (after folding).
bool IsValidScsiTargetName(const std::string& name);
// ASCII lower case: the stored form of a target name.
std::string ToLowerTargetName(const std::string& name);
// Initiator names never hold "#", blanks or control characters; a host id
// that did would forge or confuse the listing lines (target#host#lun#time),
// and "-" stands there for "no host".
bool IsValidHostId(const std::string& id);
