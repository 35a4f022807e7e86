// Small helpers that the tgt driver's units share (tgt_platform.cc,
// tgt_chap.cc). Private to plugins/tgt_driver.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"
#include "hostlib/util/FXString.h"
#include "plugins/tgt_driver/tgt_platform.h"
#include "plugins/tgtd_client/tgt_protocol.h"
#include "plugins/tgtd_client/tgt_state.h"

namespace wztgtdriver {

// The library name in the driver's error locations.
constexpr const char* kFile = "WzScsiSrvTgt";

inline std::string Lower(const std::string& s) { return FXString::ToLowerAscii(s); }

// Whether t carries the service's mark (tgt_platform.h).
inline bool Marked(const wztgt::TgtTargetInfo& t) {
  auto controller = t.luns.find(0);
  return controller != t.luns.end() && controller->second.serial == WzScsiSrvTgtPlatform::OwnerMark(t.name);
}

// "a, b, c"; "none" for no names.
inline std::string JoinNames(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ", ") + n;
  return out.empty() ? std::string("none") : out;
}

// tgtd's "already gone" answers, which a removal takes as done.
inline bool Gone(const CRnError& err, uint32_t status, uint32_t goneStatus) {
  return err.IsSuccess() || status == goneStatus || status == wztgt::kTgtNoTarget;
}

}  // namespace wztgtdriver
