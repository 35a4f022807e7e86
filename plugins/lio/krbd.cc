#include "plugins/lio/krbd.h"

#include <errno.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "hostlib/log/LogWriter.h"

namespace wzkrbd {

namespace {

const char* const kFile = "WzLioKrbd";
// A Ceph configuration or keyring larger than this is not one.
constexpr std::streamsize kMaxFileBytes = 1 << 20;
// Ceph's defaults, when a monitor names no port.
const char* const kMsgr1Port = "6789";
const char* const kMsgr2Port = "3300";
const char* const kDefaultKeyrings =
    "/etc/ceph/$cluster.$name.keyring,/etc/ceph/$cluster.keyring,/etc/ceph/keyring,/etc/ceph/keyring.bin";

CRnError Refused(const FXCodeLocation& where, const std::string& text) {
  return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "%s", text.c_str());
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

CRnError ReadSmallFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const int err = errno != 0 ? errno : ENOENT;
    return FXErrorUtil::ErrorErrNo(FX_HERE_IN(kFile), err, "cannot read %s", path.c_str());
  }
  std::vector<char> buffer(static_cast<size_t>(kMaxFileBytes) + 1);
  in.read(buffer.data(), kMaxFileBytes + 1);
  if (in.gcount() > kMaxFileBytes) return Refused(FX_HERE_IN(kFile), path + " is too large for a Ceph file");
  text.assign(buffer.data(), static_cast<size_t>(in.gcount()));
  return CRnError();
}

// Sections of an INI file as Ceph reads it: keys with blanks, '-' and '_'
// alike ("mon host" is "mon_host"), comments after '#' or ';', values
// optionally quoted. Later lines win.
using Sections = std::map<std::string, std::map<std::string, std::string>>;

std::string NormalKey(const std::string& key) {
  std::string out;
  for (char c : Trim(key)) {
    const char n = (c == ' ' || c == '\t' || c == '-') ? '_' : c;
    if (n == '_' && !out.empty() && out.back() == '_') continue;
    out += n;
  }
  return out;
}

Sections ParseIni(const std::string& text) {
  Sections sections;
  std::string current = "global";
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t comment = line.find_first_of("#;");
    if (comment != std::string::npos) line.erase(comment);
    line = Trim(line);
    if (line.empty()) continue;
    if (line.front() == '[' && line.back() == ']') {
      current = Trim(line.substr(1, line.size() - 2));
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    sections[current][NormalKey(line.substr(0, eq))] = value;
  }
  return sections;
}

// key in the most specific of the client's sections that has it.
std::string Lookup(const Sections& sections, const std::string& user, const std::string& key) {
  for (const std::string& name : {"client." + user, std::string("client"), std::string("global")}) {
    auto section = sections.find(name);
    if (section == sections.end()) continue;
    auto value = section->second.find(key);
    if (value != section->second.end()) return value->second;
  }
  return std::string();
}

std::string Substitute(std::string text, const std::string& user) {
  const std::pair<const char*, std::string> vars[] = {
      {"$cluster", "ceph"}, {"$name", "client." + user}, {"$type", "client"}, {"$id", user}};
  for (const auto& v : vars) {
    for (size_t at = text.find(v.first); at != std::string::npos; at = text.find(v.first, at + v.second.size())) {
      text.replace(at, std::strlen(v.first), v.second);
    }
  }
  return text;
}

std::vector<std::string> Split(const std::string& text, const char* separators) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(separators, start);
    if (end == std::string::npos) end = text.size();
    const std::string part = Trim(text.substr(start, end - start));
    if (!part.empty()) parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

// A key as the kernel takes it after "secret=": base64, nothing that would
// end the option.
bool ValidKey(const std::string& key) {
  if (key.empty()) return false;
  for (char c : key) {
    const bool ok =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=';
    if (!ok) return false;
  }
  return true;
}

// One monitor address: "v1:A:P", "v2:A:P", "A:P" or "A" (A may be "[v6]").
struct MonAddr {
  std::string v1;
  std::string v2;
};

bool AddAddress(const std::string& text, MonAddr& mon) {
  std::string addr = text;
  std::string type;
  for (const char* prefix : {"v1:", "v2:", "any:"}) {
    if (addr.compare(0, std::strlen(prefix), prefix) == 0) {
      type = std::string(prefix, std::strlen(prefix) - 1);
      addr = addr.substr(std::strlen(prefix));
    }
  }
  if (addr.empty() || addr.find_first_of(" \t,") != std::string::npos) return false;
  // The port follows the last ':' outside an IPv6 address's brackets.
  std::string host = addr;
  std::string port;
  const size_t close = addr.rfind(']');
  const size_t colon = addr.rfind(':');
  const bool bracketed = addr.front() == '[';
  if (bracketed && close == std::string::npos) return false;
  if (colon != std::string::npos && (!bracketed || colon > close)) {
    if (!bracketed && addr.find(':') != colon) {
      port.clear();  // a bare IPv6 address: no port
    } else {
      host = addr.substr(0, colon);
      port = addr.substr(colon + 1);
      if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos) return false;
    }
  }
  if (type == "v2" || (type.empty() && port == kMsgr2Port)) {
    mon.v2 = host + ":" + (port.empty() ? kMsgr2Port : port);
  } else if (type == "v1" || type == "any" || !port.empty()) {
    mon.v1 = host + ":" + (port.empty() ? kMsgr1Port : port);
  } else {
    mon.v1 = host + ":" + kMsgr1Port;
    mon.v2 = host + ":" + kMsgr2Port;
  }
  return true;
}

CRnError ReadAttrTrimmed(WzLioConfigFs& fs, const std::string& path, std::string& value) {
  if (CRnError err = fs.ReadAttr(path, value)) return err;
  value = Trim(value);
  return CRnError();
}

}  // namespace

CRnError ParseMonHost(const std::string& monHost, std::string& monitors, bool& msgr2) {
  // Monitors are separated by ',', ';' or blanks outside brackets; a
  // bracket holds one monitor's addresses ("[v2:A:P,v1:A:Q]") or an IPv6
  // address ("[::1]:6789").
  std::vector<std::string> tokens;
  std::string token;
  int depth = 0;
  for (char c : monHost + " ") {
    if (c == '[') ++depth;
    if (c == ']') --depth;
    if (depth == 0 && (c == ',' || c == ';' || c == ' ' || c == '\t')) {
      if (!token.empty()) tokens.push_back(token);
      token.clear();
      continue;
    }
    token += c;
  }
  std::vector<MonAddr> mons;
  for (const std::string& t : tokens) {
    MonAddr mon;
    bool ok = true;
    const bool group = t.front() == '[' && t.back() == ']' &&
                       (t.compare(1, 3, "v1:") == 0 || t.compare(1, 3, "v2:") == 0 || t.compare(1, 4, "any:") == 0);
    if (group) {
      std::string inner = t.substr(1, t.size() - 2);
      std::string part;
      int level = 0;
      for (char c : inner + ",") {
        if (c == '[') ++level;
        if (c == ']') --level;
        if (level == 0 && c == ',') {
          ok = ok && AddAddress(part, mon);
          part.clear();
          continue;
        }
        part += c;
      }
    } else {
      ok = AddAddress(t, mon);
    }
    if (!ok || depth != 0) {
      return Refused(FX_HERE_IN(kFile), "the monitor address \"" + t + "\" of \"mon host\" cannot be read");
    }
    mons.push_back(mon);
  }
  if (mons.empty()) return Refused(FX_HERE_IN(kFile), "\"mon host\" names no monitor");
  bool allV1 = true;
  bool allV2 = true;
  for (const MonAddr& m : mons) {
    allV1 = allV1 && !m.v1.empty();
    allV2 = allV2 && !m.v2.empty();
  }
  if (!allV1 && !allV2) {
    return Refused(FX_HERE_IN(kFile), "the monitors of \"" + monHost +
                                          "\" share no protocol (some have msgr v1 addresses only, some v2 only)");
  }
  msgr2 = !allV1;
  monitors.clear();
  for (const MonAddr& m : mons) monitors += (monitors.empty() ? "" : ",") + (msgr2 ? m.v2 : m.v1);
  return CRnError();
}

CRnError ReadKernelClientArgs(const wzrbd::RbdIdentity& identity, KernelClientArgs& client) {
  std::string text;
  if (CRnError err = ReadSmallFile(identity.confFile, text)) {
    return err.Push(FX_HERE_IN(kFile), "the kernel's RBD client needs the Ceph configuration (RbdConfFile)");
  }
  const Sections conf = ParseIni(text);
  const std::string& user = identity.user;
  std::string monHost = Lookup(conf, user, "mon_host");
  if (monHost.empty()) {
    // Older files name each monitor in its own section.
    for (const auto& section : conf) {
      auto addr = section.second.find("mon_addr");
      if (section.first.compare(0, 4, "mon.") == 0 && addr != section.second.end()) {
        monHost += (monHost.empty() ? "" : ",") + addr->second;
      }
    }
  }
  if (monHost.empty()) {
    return Refused(FX_HERE_IN(kFile), identity.confFile +
                                          " names no monitor (\"mon host\"): the kernel's RBD "
                                          "client cannot reach the cluster");
  }
  KernelClientArgs parsed;
  bool msgr2 = false;
  if (CRnError err = ParseMonHost(monHost, parsed.monitors, msgr2)) {
    return err.Push(FX_HERE_IN(kFile), "in %s", identity.confFile.c_str());
  }
  // The key: in the configuration itself, or in the first keyring that
  // exists of those it names.
  std::string key = Lookup(conf, user, "key");
  std::string keyrings = Lookup(conf, user, "keyring");
  if (keyrings.empty()) keyrings = kDefaultKeyrings;
  std::string tried;
  for (const std::string& path : Split(Substitute(keyrings, user), ",; \t")) {
    if (!key.empty()) break;
    std::string ring;
    tried += (tried.empty() ? "" : ", ") + path;
    if (ReadSmallFile(path, ring).IsError()) continue;
    const Sections entries = ParseIni(ring);
    auto entry = entries.find("client." + user);
    if (entry == entries.end()) continue;
    auto found = entry->second.find("key");
    if (found != entry->second.end()) key = found->second;
  }
  if (key.empty()) {
    return Refused(FX_HERE_IN(kFile),
                   "no key of client." + user + " in " + identity.confFile + " or its keyrings (" + tried + ")");
  }
  if (!ValidKey(key)) {
    return Refused(FX_HERE_IN(kFile), "the key of client." + user + " is not a base64 Ceph key");
  }
  parsed.options = "name=" + user + ",secret=" + key + (msgr2 ? ",ms_mode=prefer-crc" : "");
  client = std::move(parsed);
  return CRnError();
}

CRnError FindMapping(WzLioConfigFs& fs, const wzrbd::RbdImageRef& ref, std::string& id) {
  id.clear();
  const std::string devices = std::string(kBusDir) + "/devices";
  if (fs.KindOf(devices) != WzLioConfigFs::Kind::kDir) return CRnError();
  std::vector<WzLioConfigFs::Entry> entries;
  if (CRnError err = fs.List(devices, entries)) return err.Push(FX_HERE_IN(kFile));
  long lowest = -1;
  for (const WzLioConfigFs::Entry& e : entries) {
    if (e.name.empty() || e.name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string dir = devices + "/" + e.name;
    std::string pool;
    std::string name;
    std::string snap;
    std::string ns;
    // A device going away as it is read is no mapping.
    if (ReadAttrTrimmed(fs, dir + "/pool", pool).IsError() || ReadAttrTrimmed(fs, dir + "/name", name).IsError()) {
      continue;
    }
    if (ReadAttrTrimmed(fs, dir + "/current_snap", snap).IsSuccess() && snap != "-") continue;
    if (ReadAttrTrimmed(fs, dir + "/pool_ns", ns).IsSuccess() && !ns.empty()) continue;
    if (pool != ref.pool || name != ref.image) continue;
    const long number = std::strtol(e.name.c_str(), nullptr, 10);
    if (lowest < 0 || number < lowest) lowest = number;
  }
  if (lowest >= 0) id = std::to_string(lowest);
  return CRnError();
}

CRnError Map(WzLioConfigFs& fs, const wzrbd::RbdImageRef& ref, const wzrbd::RbdIdentity& identity, std::string& device,
             bool& made) {
  made = false;
  if (fs.KindOf(kBusDir) != WzLioConfigFs::Kind::kDir) {
    return Refused(FX_HERE_IN(kFile),
                   std::string("the kernel's RBD client is not loaded (") + kBusDir + " does not exist: modprobe rbd)");
  }
  std::string id;
  if (CRnError err = FindMapping(fs, ref, id)) return err.Push(FX_HERE_IN(kFile));
  if (!id.empty()) {
    device = "/dev/rbd" + id;
    WZLOG(1, "RBD image %s is mapped by the kernel already as %s: reused", ref.Path().c_str(), device.c_str());
    return CRnError();
  }
  KernelClientArgs client;
  if (CRnError err = ReadKernelClientArgs(identity, client)) return err.Push(FX_HERE_IN(kFile));
  const std::string request = client.monitors + " " + client.options + " " + ref.pool + " " + ref.image;
  // The request holds the key: written as a credential, its text never
  // shown.
  if (CRnError err = fs.WriteCredential(std::string(kBusDir) + "/add_single_major", request)) {
    return err.Push(FX_HERE_IN(kFile), "the kernel's RBD client cannot map %s as client.%s from monitors %s",
                    ref.Path().c_str(), identity.user.c_str(), client.monitors.c_str());
  }
  if (CRnError err = FindMapping(fs, ref, id)) return err.Push(FX_HERE_IN(kFile));
  if (id.empty()) {
    return Refused(FX_HERE_IN(kFile),
                   "the kernel mapped " + ref.Path() + " but shows no device of it under " + kBusDir + "/devices");
  }
  device = "/dev/rbd" + id;
  made = true;
  WZLOG(1, "Mapped RBD image %s as %s (monitors %s, client.%s)", ref.Path().c_str(), device.c_str(),
        client.monitors.c_str(), identity.user.c_str());
  return CRnError();
}

CRnError Unmap(WzLioConfigFs& fs, const wzrbd::RbdImageRef& ref) {
  std::set<std::string> removed;
  for (;;) {
    std::string id;
    if (CRnError err = FindMapping(fs, ref, id)) return err.Push(FX_HERE_IN(kFile));
    if (id.empty()) return CRnError();
    if (!removed.insert(id).second) {
      return Refused(FX_HERE_IN(kFile), "RBD image " + ref.Path() + " is still mapped as /dev/rbd" + id +
                                            " after the kernel took its removal");
    }
    CRnError err = fs.WriteAttr(std::string(kBusDir) + "/remove_single_major", id);
    // Gone meanwhile: what was asked for.
    if (err.IsError() && !WzLioIsErrno(err, ENOENT)) {
      return err.Push(FX_HERE_IN(kFile), "cannot unmap RBD image %s (/dev/rbd%s)%s", ref.Path().c_str(), id.c_str(),
                      WzLioIsErrno(err, EBUSY) ? ": another program holds the device open" : "");
    }
    WZLOG(1, "Unmapped RBD image %s (/dev/rbd%s)", ref.Path().c_str(), id.c_str());
  }
}

}  // namespace wzkrbd
