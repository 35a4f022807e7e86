#include "plugins/common/rbd_args.h"

#include <cerrno>
#include <cstdlib>

#include "hostlib/util/CCommandLineArguments.h"

namespace wzrbd {

namespace {

bool NameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
}

// Why name (a pool, image or user name) is refused, or "" when it is fine.
std::string NameProblem(const std::string& name, size_t maxLength) {
  if (name.empty()) return "is empty";
  if (name.size() > maxLength) return "is longer than " + std::to_string(maxLength) + " characters";
  if (name[0] == '-') return "starts with '-'";
  for (char c : name) {
    if (!NameChar(c)) return "holds a character other than letters, digits, '.', '_' and '-'";
  }
  return "";
}

CRnError Bad(const char* lib, const std::string& text) {
  return FXErrorUtil::ErrorWin32(FX_HERE_IN(lib), ERROR_BAD_ARGUMENTS, "%s", text.c_str());
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The characters that would split the text tgtd is given ("--bsopts" is cut
// at ';' into options and travels inside a ','-separated request).
bool ConfPathChar(char c) {
  return c != ';' && c != ',' && c != ' ' && c != '\t' && static_cast<unsigned char>(c) >= 0x20;
}

}  // namespace

CRnError ParseImageRef(const char* lib, const std::string& text, RbdImageRef& ref) {
  const size_t slash = text.find('/');
  if (text.empty() || slash == std::string::npos) {
    return Bad(lib, "the RBD image " + Quoted(text) + " is not of the form POOL/IMAGE");
  }
  if (text.find('@') != std::string::npos) {
    return Bad(lib, "the RBD image " + Quoted(text) + " names a snapshot; a LUN is served from an image itself");
  }
  if (text.find('/', slash + 1) != std::string::npos) {
    return Bad(
        lib, "the RBD image " + Quoted(text) + " has more than one '/'; namespaces are not supported, give POOL/IMAGE");
  }
  RbdImageRef parsed{text.substr(0, slash), text.substr(slash + 1)};
  std::string why = NameProblem(parsed.pool, kMaxNameLength);
  if (!why.empty()) return Bad(lib, "the pool name of the RBD image " + Quoted(text) + " " + why);
  why = NameProblem(parsed.image, kMaxNameLength);
  if (!why.empty()) return Bad(lib, "the image name of the RBD image " + Quoted(text) + " " + why);
  ref = std::move(parsed);
  return CRnError();
}

CRnError ParseIdentity(const char* lib, const std::string& text, RbdIdentity& identity) {
  RbdIdentity parsed;
  bool haveConf = false;
  bool haveUser = false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(start, end - start);
    start = end + 1;
    if (item.empty()) continue;
    if (item.compare(0, 5, "conf=") == 0) {
      parsed.confFile = item.substr(5);
      haveConf = true;
    } else if (item.compare(0, 3, "id=") == 0) {
      parsed.user = item.substr(3);
      haveUser = true;
    } else {
      return Bad(lib,
                 "the Ceph identity " + Quoted(text) + " holds " + Quoted(item) + "; it takes conf=FILE;id=USER only");
    }
  }
  if (!haveConf || !haveUser) {
    return Bad(lib, "the Ceph identity " + Quoted(text) + " lacks " + (haveConf ? "id=USER" : "conf=FILE") +
                        " (conf=FILE;id=USER)");
  }
  if (parsed.confFile.empty() || parsed.confFile[0] != '/') {
    return Bad(lib, "the Ceph configuration file " + Quoted(parsed.confFile) + " is not an absolute path");
  }
  for (char c : parsed.confFile) {
    if (!ConfPathChar(c)) {
      return Bad(lib, "the Ceph configuration file " + Quoted(parsed.confFile) +
                          " holds a blank, ';', ',' or a control character");
    }
  }
  if (parsed.user.compare(0, 7, "client.") == 0) {
    return Bad(lib, "the Ceph user " + Quoted(parsed.user) +
                        " is given with its type; give it without \"client.\" (id=" + parsed.user.substr(7) + ")");
  }
  const std::string why = NameProblem(parsed.user, kMaxUserLength);
  if (!why.empty()) return Bad(lib, "the Ceph user " + Quoted(parsed.user) + " " + why);
  identity = std::move(parsed);
  return CRnError();
}

CRnError ParseByteCount(const char* lib, const std::string& option, const std::string& text, uint64_t& bytes) {
  bool digits = !text.empty();
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  if (!digits) {
    return Bad(lib, "-" + option + " takes a number of bytes in decimal digits, not " + Quoted(text));
  }
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return Bad(lib, "-" + option + " " + text + " is beyond any size");
  bytes = value;
  return CRnError();
}

CRnError ParseCreateArgs(const char* lib, const std::string& args, RbdCreateArgs& out) {
  CCommandLineArguments parsed(args.c_str());
  RbdCreateArgs result;
  std::string value;
  if (parsed.GetOption("path", value).IsError() || value.empty()) {
    return Bad(lib, "an RBD LUN needs a -path option naming its image as POOL/IMAGE");
  }
  if (CRnError err = ParseImageRef(lib, value, result.ref)) return err;
  if (parsed.GetOption("size", value).IsSuccess()) {
    if (CRnError err = ParseByteCount(lib, "size", value, result.size)) return err;
    result.sizeGiven = true;
  }
  if (parsed.GetOption("existing", value).IsSuccess()) {
    if (value != "1" && value != "0" && !value.empty()) {
      return Bad(lib, "-existing takes 1 (adopt the image) or 0, not " + Quoted(value));
    }
    result.adopt = value != "0";
  }
  if (parsed.HasOption("playback")) result.adopt = true;
  if (!result.adopt && !result.sizeGiven) {
    return Bad(lib, "a new RBD image for " + result.ref.Path() +
                        " needs -size BYTES; -existing 1 adopts an image that exists");
  }
  out = std::move(result);
  return CRnError();
}

}  // namespace wzrbd
