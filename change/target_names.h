// Target names and host ids: the iSCSI naming rules, the one case folding
// the service applies (targets are stored lower-cased; host ids keep their
// case), and what a host id may hold.
//
// Thread safety: pure functions.
#pragma once

#include <string>

// The iSCSI naming rules (RFC 3720 3.2.6.3, RFC 7143 4.2.7), after folding:
// at most 223 bytes of letters, digits, '.', '-' and ':', and one of
//   iqn.YYYY-MM.<naming authority>[:<anything>]  a real month (01 to 12),
//                                                 an authority not empty
//   eui.<16 hex digits>
//   naa.<16 or 32 hex digits>
// Every new target's name follows them.
bool IsValidScsiTargetName(const std::string& name);
// A name the service accepts from its saved configuration: the rules above,
// or "^iqn\.[a-z0-9.:-]+" that older versions created, so that an upgrade
// restores every target it had.
bool IsSavedScsiTargetName(const std::string& name);
// ASCII lower case: the stored form of a target name.
std::string ToLowerTargetName(const std::string& name);
// Initiator names never hold "#", blanks or control characters; a host id
// that did would forge or confuse the listing lines (target#host#lun#time),
// and "-" stands there for "no host".
bool IsValidHostId(const std::string& id);
