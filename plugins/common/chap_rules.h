// What both engines need of CHAP credentials, checked by the platform
// drivers before anything reaches an engine (the service checks its own
// rules, such as the secret length, before the drivers see the request).
//
// User names: 1 to 255 printable ASCII characters without blanks or commas
// (tgtd splits its requests at commas and lists accounts one a line; the
// kernel target keeps at most 255). Secrets: 1 to 255 characters, no control
// characters (the engines keep them as C strings, byte for byte). A mutual
// user needs a mutual secret. Error texts name the field, never its value
// when it is a secret.
//
// Thread safety: pure functions.
#pragma once

#include <string>

#include "drivers/WzScsiSrvRecords.h"
#include "hostlib/errors/CRnError.h"

namespace wzplugin {

constexpr size_t kMaxChapText = 255;

inline bool ChapUserOk(const std::string& user) {
  if (user.empty() || user.size() > kMaxChapText) return false;
  for (unsigned char c : user) {
    if (c <= 0x20 || c >= 0x7f || c == ',') return false;
  }
  return true;
}

inline bool ChapSecretOk(const std::string& secret) {
  if (secret.empty() || secret.size() > kMaxChapText) return false;
  for (unsigned char c : secret) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

// Success when chap is off or its fields suit the engines.
inline CRnError CheckChap(const FXCodeLocation& where, const WzScsiSrvChap& chap) {
  if (!chap.enabled) return CRnError();
  if (!ChapUserOk(chap.user)) {
    return FXErrorUtil::ErrorWin32(where, ERROR_INVALID_PARAMETER,
                                   "the CHAP user name \"%s\" is empty, longer than %zu characters or holds a blank, "
                                   "a comma or a control character",
                                   chap.user.c_str(), kMaxChapText);
  }
  if (!ChapSecretOk(chap.secret)) {
    return FXErrorUtil::ErrorWin32(where, ERROR_INVALID_PARAMETER,
                                   "the CHAP secret of user %s is empty, longer than %zu characters or holds a "
                                   "control character",
                                   chap.user.c_str(), kMaxChapText);
  }
  if (chap.mutualUser.empty()) return CRnError();
  if (!ChapUserOk(chap.mutualUser)) {
    return FXErrorUtil::ErrorWin32(where, ERROR_INVALID_PARAMETER,
                                   "the mutual CHAP user name \"%s\" is longer than %zu characters or holds a blank, "
                                   "a comma or a control character",
                                   chap.mutualUser.c_str(), kMaxChapText);
  }
  if (!ChapSecretOk(chap.mutualSecret)) {
    return FXErrorUtil::ErrorWin32(where, ERROR_INVALID_PARAMETER,
                                   "the mutual CHAP secret of user %s is empty, longer than %zu characters or holds "
                                   "a control character",
                                   chap.mutualUser.c_str(), kMaxChapText);
  }
  return CRnError();
}

// "on, user U" / "on, user U, mutual user M" / "off": for log lines.
inline std::string DescribeChap(const WzScsiSrvChap& chap) {
  if (!chap.enabled) return "off";
  std::string out = "on, user " + chap.user;
  if (!chap.mutualUser.empty()) out += ", mutual user " + chap.mutualUser;
  return out;
}

}  // namespace wzplugin
