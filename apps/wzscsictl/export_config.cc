#include "apps/wzscsictl/export_config.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "hostlib/msg/CNMessageBase.h"
#include "hostlib/util/RnFiles.h"
#include "hostlib/util/WzScsiUtils.h"
#include "messages/WzScsiServerMessages.h"

namespace WzCtl {
namespace {

// What tgt-admin --dump writes where it cannot know a secret; the import
// recognises it.
const char* const kTgtPlaceholder = "PLEASE_CORRECT_THE_PASSWORD";
// tgtd admits an initiator that any rule of the target admits, and
// tgt-admin adds the rule ALL to a target without initiator-address lines,
// so initiator-name lines alone would let every initiator in. Every target
// gets this address rule, which no initiator logs in from.
const char* const kTgtNobody = "0.0.0.0/32";

std::string LunName(const ServiceTarget& t, const ServiceLun& l) {
  return "LUN " + std::to_string(l.number) + " of target " + t.name;
}

bool IsBlockDevice(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISBLK(st.st_mode);
  // Not visible here (exported on another machine): go by the name.
  return path.compare(0, 5, "/dev/") == 0;
}

std::string Comment(const std::string& text) {
  std::string out = "# ";
  for (char c : text) out += c == '\n' ? std::string("\n# ") : std::string(1, c);
  return out + "\n";
}

// Names and paths written into targets.conf must not break its syntax.
bool SafeForTgt(const std::string& value) {
  for (char c : value)
    if (c == '#' || c == '<' || c == '>' || c == '\n' || c == '\r' || c == '\\' || c == '"') return false;
  return !value.empty() && value.find_first_of(" \t") == std::string::npos;
}

}  // namespace

CRnError ReadSavedSecrets(const std::string& actionLogDir, const ServiceState& state,
                          std::map<std::string, PlannedChap>& secrets) {
  for (const auto& entry : state.targets) {
    const ServiceTarget& t = entry.second;
    if (!t.chap) continue;
    std::string id;
    CRnError ignored = GetGUID(t.name.data(), static_cast<int>(t.name.size()), id);
    (void)ignored;
    const std::string path = actionLogDir + "/Targets/" + id + "/Auth.wzf";
    CRnFile file;
    std::string text;
    CRnError e = file.Open(path, 0, 0);
    if (e.IsSuccess()) e = file.ReadAll(text, 1 << 20);
    if (e)
      return e.Push(FX_HERE_IN("wzscsictl"),
                    "cannot read the saved CHAP credentials of target %s (%s): run as root or as the daemon's "
                    "user, and name the action log with --action-log",
                    t.name.c_str(), path.c_str());
    int status = 0;
    std::unique_ptr<CNMessageBase> msg(CNMessageBase::ParseXml(text.data(), text.size(), &status));
    auto* auth = dynamic_cast<WzScsiServer::SetTargetAuth*>(msg.get());
    if (auth == nullptr || !auth->enabled() || auth->user() != t.chapUser || auth->mutualUser() != t.mutualUser)
      return FXErrorUtil::ErrorWin32(FX_HERE_IN("wzscsictl"), ERROR_INVALID_PARAMETER,
                                     "the saved CHAP credentials of target %s (%s) are not the ones the service "
                                     "reports (user %s): is --action-log the daemon's?",
                                     t.name.c_str(), path.c_str(), t.chapUser.c_str());
    secrets[t.name] = PlannedChap{auth->user(), auth->secret(), auth->mutualUser(), auth->mutualSecret()};
  }
  return CRnError();
}

ExportResult ExportTgt(const ServiceState& state, const std::map<std::string, PlannedChap>* secrets,
                       const ExportOptions& options) {
  ExportResult r;
  size_t luns = 0, mappings = 0;
  for (const auto& e : state.targets)
    for (const ServiceLun& l : e.second.luns) {
      ++luns;
      mappings += l.hosts.size();
    }
  std::string out =
      Comment("tgt configuration written by wzscsictl export tgt from " + options.source + " at " + options.time +
              ":\n" + std::to_string(state.targets.size()) + " targets, " + std::to_string(luns) + " LUNs, " +
              std::to_string(mappings) + " host mappings. Load it with: tgt-admin -e -c FILE");
  out += Comment(std::string("Each target has initiator-address ") + kTgtNobody +
                 ", which admits nobody: without an initiator-address line\n"
                 "tgt-admin would add the rule ALL, and tgtd admits an initiator that any rule admits.");
  out += Comment(secrets != nullptr ? std::string("It holds CHAP secrets: keep it readable by root only.")
                                    : std::string("CHAP secrets are left out: ") + kTgtPlaceholder +
                                          " stands in for each (wzscsictl export --with-secrets writes them).");
  out += "\ndefault-driver iscsi\n";
  for (const auto& entry : state.targets) {
    const ServiceTarget& t = entry.second;
    if (!SafeForTgt(t.name)) {
      r.warnings.push_back("target " + t.name + ": its name cannot be written into targets.conf: left out");
      continue;
    }
    out += "\n<target " + t.name + ">\n";
    // tgt grants whole targets: every host of any LUN reaches every LUN.
    std::set<std::string> hosts;
    std::set<int64_t> numbers;
    for (const ServiceLun& l : t.luns) {
      hosts.insert(l.hosts.begin(), l.hosts.end());
      numbers.insert(l.number);
    }
    int64_t spare = 1;
    for (const ServiceLun& l : t.luns) {
      if (l.path.empty() || !SafeForTgt(l.path)) {
        r.warnings.push_back(LunName(t, l) +
                             (l.path.empty() ? " has no backing path (a snapshot given by id)"
                                             : ": its path cannot be written into targets.conf") +
                             ": left out");
        continue;
      }
      int64_t number = l.number;
      if (number == 0) {
        // tgtd's LUN 0 is its controller.
        while (numbers.count(spare) != 0) ++spare;
        number = spare;
        numbers.insert(spare);
        r.warnings.push_back(LunName(t, l) + ": tgtd's LUN 0 is its controller: written as LUN " +
                             std::to_string(number));
      }
      if (l.type != "blkdev")
        r.warnings.push_back(LunName(t, l) + " is of type " + l.type + ": written as a LUN on " + l.path);
      out += "\t<backing-store " + l.path + ">\n\t\tlun " + std::to_string(number) + "\n";
      if (!l.serial.empty() && SafeForTgt(l.serial)) out += "\t\tscsi_sn " + l.serial + "\n";
      out += "\t</backing-store>\n";
      for (const std::string& h : hosts)
        if (l.hosts.count(h) == 0)
          r.warnings.push_back("target " + t.name + ": host " + h + " is not mapped to LUN " +
                               std::to_string(l.number) + ", but tgt grants whole targets: under tgt it reaches it");
    }
    if (t.chap) {
      const PlannedChap* chap = nullptr;
      if (secrets != nullptr) {
        auto it = secrets->find(t.name);
        if (it != secrets->end()) chap = &it->second;
      }
      out += "\tincominguser " + t.chapUser + " " + (chap != nullptr ? chap->secret : kTgtPlaceholder) + "\n";
      if (!t.mutualUser.empty())
        out += "\toutgoinguser " + t.mutualUser + " " + (chap != nullptr ? chap->mutualSecret : kTgtPlaceholder) + "\n";
    }
    out += "\tinitiator-address " + std::string(kTgtNobody) + "\n";
    for (const std::string& h : hosts) {
      if (SafeForTgt(h)) {
        out += "\tinitiator-name " + h + "\n";
      } else {
        r.warnings.push_back("target " + t.name + ": host " + h + " cannot be written into targets.conf: left out");
      }
    }
    out += "</target>\n";
  }
  r.text = out;
  return r;
}

ExportResult ExportLio(const ServiceState& state, const std::map<std::string, PlannedChap>* secrets,
                       const ExportOptions& options) {
  using nlohmann::json;
  ExportResult r;
  std::string address = options.portal;
  int64_t port = 3260;
  const size_t colon = options.portal.rfind(':');
  if (colon != std::string::npos && options.portal.find(']', colon) == std::string::npos) {
    address = options.portal.substr(0, colon);
    port = std::atoll(options.portal.c_str() + colon + 1);
  }
  json storage = json::array(), targets = json::array();
  std::set<std::string> names;
  for (const auto& entry : state.targets) {
    const ServiceTarget& t = entry.second;
    // Storage object names: the target's last part and the LUN number,
    // letters, digits, "_" and "-" only, unique.
    std::string base =
        t.name.substr(t.name.find_last_of(":.") == std::string::npos ? 0 : t.name.find_last_of(":.") + 1);
    for (char& c : base)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
    if (base.empty()) base = "lun";
    json luns = json::array();
    std::map<std::string, json> acls;  // by host
    const PlannedChap* chap = nullptr;
    if (t.chap && secrets != nullptr) {
      auto it = secrets->find(t.name);
      if (it != secrets->end()) chap = &it->second;
    }
    for (const ServiceLun& l : t.luns) {
      if (l.path.empty()) {
        r.warnings.push_back(LunName(t, l) + " has no backing path (a snapshot given by id): left out");
        continue;
      }
      if (l.type != "blkdev")
        r.warnings.push_back(LunName(t, l) + " is of type " + l.type + ": written as a LUN on " + l.path);
      std::string name = base + "_" + std::to_string(l.number);
      for (int n = 2; !names.insert(name).second; ++n)
        name = base + "_" + std::to_string(l.number) + "_" + std::to_string(n);
      const bool block = IsBlockDevice(l.path);
      json so{{"name", name}, {"plugin", block ? "block" : "fileio"}, {"dev", l.path}, {"write_back", false}};
      if (!l.serial.empty()) so["wwn"] = l.serial;
      if (block) {
        so["readonly"] = false;
      } else {
        char* end = nullptr;
        const unsigned long long size = std::strtoull(l.size.c_str(), &end, 10);
        if (!l.size.empty() && *end == '\0') {
          so["size"] = size;
          so["aio"] = false;
        } else {
          r.warnings.push_back(LunName(t, l) + ": the size of " + l.path +
                               " cannot be read; targetcli needs it: add \"size\" to storage object " + name);
        }
      }
      storage.push_back(so);
      luns.push_back({{"index", l.number},
                      {"storage_object", "/backstores/" + std::string(block ? "block" : "fileio") + "/" + name}});
      for (const std::string& h : l.hosts) {
        json& acl = acls[h];
        if (acl.is_null()) {
          acl = json{{"node_wwn", h}, {"mapped_luns", json::array()}};
          if (t.chap) {
            acl["chap_userid"] = t.chapUser;
            if (!t.mutualUser.empty()) acl["chap_mutual_userid"] = t.mutualUser;
            if (chap != nullptr) {
              acl["chap_password"] = chap->secret;
              if (!t.mutualUser.empty()) acl["chap_mutual_password"] = chap->mutualSecret;
            }
          }
        }
        acl["mapped_luns"].push_back({{"index", l.number}, {"tpg_lun", l.number}, {"write_protect", false}});
      }
    }
    json nodeAcls = json::array();
    for (auto& a : acls) nodeAcls.push_back(std::move(a.second));
    json tpg{
        {"tag", 1},
        {"enable", true},
        {"attributes", {{"authentication", t.chap ? 1 : 0}, {"generate_node_acls", 0}, {"demo_mode_write_protect", 1}}},
        {"portals", json::array({{{"ip_address", address}, {"port", port}}})},
        {"luns", luns},
        {"node_acls", nodeAcls}};
    targets.push_back({{"wwn", t.name}, {"fabric", "iscsi"}, {"tpgs", json::array({tpg})}});
    if (t.chap && chap == nullptr)
      r.warnings.push_back("target " + t.name +
                           ": CHAP secrets left out (--with-secrets writes them); the kernel target refuses its "
                           "logins until they are set");
  }
  json root{{"fabric_modules", json::array()}, {"storage_objects", storage}, {"targets", targets}};
  r.text = root.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  return r;
}

}  // namespace WzCtl
