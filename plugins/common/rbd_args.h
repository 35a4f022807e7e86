// What an RBD LUN is made of, read from text: the image ("POOL/IMAGE", the
// LUN's path), the Ceph identity the gateway connects with ("conf=FILE;id=USER",
// the LUN record's extData, handed unchanged to tgtd as --bsopts) and the
// options of a creation ("-path POOL/IMAGE -size BYTES [-existing 1]").
// Nothing here needs Ceph, so that whoever builds or checks these texts (the
// store, and the kernel target's driver, which has the kernel map the image)
// can share the same rules without linking librados.
//
// Each refusal names what was wrong and how to say it right; lib names the
// caller in the error's code location. Out parameters are untouched on
// failure.
//
// Thread safety: the functions keep no state.
#pragma once

#include <cstdint>
#include <string>

#include "hostlib/errors/CRnError.h"

namespace wzrbd {

// Longest pool or image name taken; the names are kept to letters, digits,
// '.', '_' and '-' (not first), which every tool on the path (tgtadm, the
// saved configuration, the Ceph CLI) passes through unquoted.
constexpr size_t kMaxNameLength = 127;
constexpr size_t kMaxUserLength = 64;

struct RbdImageRef {
  std::string pool;
  std::string image;
  std::string Path() const { return pool + "/" + image; }  // "POOL/IMAGE"
};

struct RbdIdentity {
  std::string confFile;  // absolute path of the ceph.conf to read
  std::string user;      // the Ceph user without "client."
  std::string ExtData() const { return "conf=" + confFile + ";id=" + user; }
};

struct RbdCreateArgs {
  RbdImageRef ref;
  bool sizeGiven = false;
  uint64_t size = 0;  // bytes
  // Adopt an image that exists instead of creating one: "-existing 1", or a
  // creation replayed from the saved configuration ("-playback"), whose
  // image was made when the LUN was first created.
  bool adopt = false;
};

// "POOL/IMAGE": exactly one '/', both names valid. Snapshots ("@SNAP") and
// namespaces ("POOL/NS/IMAGE") are refused.
CRnError ParseImageRef(const char* lib, const std::string& text, RbdImageRef& ref);

// "conf=FILE;id=USER" in either order, both required, nothing else.
CRnError ParseIdentity(const char* lib, const std::string& text, RbdIdentity& identity);

// A number of bytes in decimal digits (no sign, no suffix, no overflow).
CRnError ParseByteCount(const char* lib, const std::string& option, const std::string& text, uint64_t& bytes);

// The options of a creation request's argument string.
CRnError ParseCreateArgs(const char* lib, const std::string& args, RbdCreateArgs& out);

}  // namespace wzrbd
