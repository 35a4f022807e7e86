#include "apps/wzscsictl/import_lio.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

namespace WzCtl {
namespace {

using nlohmann::json;

// Reads the text character by character for the parser and counts the
// lines it passed, so that the parser's callback knows where it is.
class LineCountingIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  LineCountingIterator(const char* p, int* line) : m_p(p), m_line(line) {}
  reference operator*() const { return *m_p; }
  LineCountingIterator& operator++() {
    if (*m_p == '\n') ++*m_line;
    ++m_p;
    return *this;
  }
  LineCountingIterator operator++(int) {
    LineCountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const LineCountingIterator& o) const { return m_p == o.m_p; }
  bool operator!=(const LineCountingIterator& o) const { return m_p != o.m_p; }

 private:
  const char* m_p;
  int* m_line;
};

// JSON pointer ("/targets/0/tpgs/0") -> the line where it starts.
using Lines = std::map<std::string, int>;

// Builds Lines from the parser's events: an object or array is placed at
// its opening bracket, a member at its key.
class LineRecorder {
 public:
  explicit LineRecorder(const int* line) : m_line(line) {}

  bool Event(json::parse_event_t event, const json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
      case json::parse_event_t::array_start:
        m_frames.push_back(Frame{ChildPointer(), event == json::parse_event_t::array_start, 0, std::string()});
        m_lines.emplace(m_frames.back().pointer, *m_line);
        break;
      case json::parse_event_t::key:
        if (!m_frames.empty()) {
          m_frames.back().key = parsed.get<std::string>();
          m_lines.emplace(m_frames.back().pointer + "/" + m_frames.back().key, *m_line);
        }
        break;
      case json::parse_event_t::value:
        if (!m_frames.empty() && m_frames.back().array) ++m_frames.back().index;
        break;
      case json::parse_event_t::object_end:
      case json::parse_event_t::array_end:
        m_frames.pop_back();
        if (!m_frames.empty() && m_frames.back().array) ++m_frames.back().index;
        break;
    }
    return true;
  }

  Lines Take() { return std::move(m_lines); }

 private:
  struct Frame {
    std::string pointer;
    bool array;
    size_t index;
    std::string key;
  };

  std::string ChildPointer() const {
    if (m_frames.empty()) return std::string();
    const Frame& f = m_frames.back();
    return f.pointer + "/" + (f.array ? std::to_string(f.index) : f.key);
  }

  const int* m_line;
  std::vector<Frame> m_frames;
  Lines m_lines;
};

int LineOfByte(const std::string& text, size_t byte) {
  byte = std::min(byte, text.size());
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(byte), '\n'));
}

// What rtslib calls the storage objects in a LUN's "storage_object".
std::string StorageKey(const std::string& plugin, const std::string& name) {
  return "/backstores/" + plugin + "/" + name;
}

struct StorageObject {
  const json* object;
  std::string pointer;
  bool used = false;
};

class LioPlanner {
 public:
  LioPlanner(ImportPlan& plan, const ImportOptions& options, const Lines& lines)
      : m_plan(plan), m_options(options), m_lines(lines) {}

  void Root(const json& root) {
    if (!root.is_object()) return Error("", "the file is not a JSON object");
    if (const json* modules = Member(root, "", "fabric_modules", json::value_t::array))
      for (size_t i = 0; i < modules->size(); ++i)
        Add(IssueKind::kIgnored, "/fabric_modules/" + std::to_string(i),
            "fabric module settings (discovery authentication): discovery sessions are not authenticated by the "
            "service");
    if (const json* objects = Member(root, "", "storage_objects", json::value_t::array))
      for (size_t i = 0; i < objects->size(); ++i) Storage((*objects)[i], "/storage_objects/" + std::to_string(i));
    if (const json* targets = Member(root, "", "targets", json::value_t::array))
      for (size_t i = 0; i < targets->size(); ++i) Target((*targets)[i], "/targets/" + std::to_string(i));
    for (const auto& so : m_storage)
      if (!so.second.used) Add(IssueKind::kIgnored, so.second.pointer, so.first + " is used by no LUN: not imported");
    Summary();
  }

 private:
  // ------------------------------------------------------------ reading

  SourcePlace Place(std::string pointer) const {
    // The nearest enclosing place the parser saw.
    for (;;) {
      auto it = m_lines.find(pointer);
      if (it != m_lines.end()) return SourcePlace{m_plan.file, it->second};
      const size_t slash = pointer.rfind('/');
      if (slash == std::string::npos) return SourcePlace{m_plan.file, 0};
      pointer.erase(slash);
    }
  }
  void Add(IssueKind kind, const std::string& pointer, const std::string& text) {
    m_plan.Add(kind, Place(pointer), text);
  }
  void Error(const std::string& pointer, const std::string& text) { Add(IssueKind::kError, pointer, text); }

  static const char* TypeName(json::value_t type) {
    switch (type) {
      case json::value_t::object:
        return "an object";
      case json::value_t::array:
        return "an array";
      case json::value_t::string:
        return "a string";
      case json::value_t::boolean:
        return "true or false";
      default:
        return "a number";
    }
  }
  static bool IsType(const json& v, json::value_t type) {
    if (type == json::value_t::number_integer) return v.is_number_integer();
    return v.type() == type;
  }

  // The member key of obj when it is there; an error when it has another
  // type (or, required, when it is missing).
  const json* Member(const json& obj, const std::string& pointer, const char* key, json::value_t type,
                     bool required = false) {
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) {
      if (required) Error(pointer, std::string("\"") + key + "\" is missing");
      return nullptr;
    }
    if (!IsType(*it, type)) {
      Error(pointer + "/" + key, std::string("\"") + key + "\" must be " + TypeName(type));
      return nullptr;
    }
    return &*it;
  }
  std::string String(const json& obj, const std::string& pointer, const char* key, bool required = false) {
    const json* v = Member(obj, pointer, key, json::value_t::string, required);
    return v != nullptr ? v->get<std::string>() : std::string();
  }
  int64_t Integer(const json& obj, const std::string& pointer, const char* key, int64_t fallback,
                  bool required = false) {
    const json* v = Member(obj, pointer, key, json::value_t::number_integer, required);
    return v != nullptr ? v->get<int64_t>() : fallback;
  }
  bool Bool(const json& obj, const std::string& pointer, const char* key, bool fallback) {
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return fallback;
    // rtslib writes booleans, older versions 0 and 1.
    if (it->is_boolean()) return it->get<bool>();
    if (it->is_number_integer()) return it->get<int64_t>() != 0;
    Error(pointer + "/" + key, std::string("\"") + key + "\" must be true or false");
    return fallback;
  }
  // An attribute of an object's "attributes" (rtslib writes numbers).
  int64_t Attribute(const json& obj, const std::string& pointer, const char* key, int64_t fallback) {
    const json* attrs = Member(obj, pointer, "attributes", json::value_t::object);
    if (attrs == nullptr) return fallback;
    auto it = attrs->find(key);
    if (it == attrs->end() || !it->is_number_integer()) return fallback;
    return it->get<int64_t>();
  }

  // ------------------------------------------------------------ objects

  void Storage(const json& so, const std::string& pointer) {
    if (!so.is_object()) return Error(pointer, "a storage object must be an object");
    const std::string name = String(so, pointer, "name", true);
    const std::string plugin = String(so, pointer, "plugin", true);
    if (name.empty() || plugin.empty()) return;
    m_storage[StorageKey(plugin, name)] = StorageObject{&so, pointer, false};
  }

  struct Acl {
    std::string pointer;
    std::string host;
    bool hasChap = false;
    PlannedChap chap;
    bool enforced = false;
  };

  void Target(const json& t, const std::string& pointer) {
    if (!t.is_object()) return Error(pointer, "a target must be an object");
    PlannedTarget target;
    target.where = Place(pointer);
    target.name = String(t, pointer, "wwn", true);
    const std::string fabric = String(t, pointer, "fabric", true);
    if (target.name.empty() || fabric.empty()) return;
    if (fabric != "iscsi")
      return Add(IssueKind::kSkipped, pointer,
                 "target " + target.name + ": fabric " + fabric + " is not iSCSI, which is all the service serves");
    const json* tpgs = Member(t, pointer, "tpgs", json::value_t::array);
    if (tpgs == nullptr || tpgs->empty())
      return Add(IssueKind::kSkipped, pointer, "target " + target.name + " has no portal group: it serves nothing");
    // The service serves one portal group per target: tag 1, or the first.
    size_t chosen = 0;
    for (size_t i = 0; i < tpgs->size(); ++i)
      if ((*tpgs)[i].is_object() && Integer((*tpgs)[i], pointer, "tag", 0) == 1) chosen = i;
    for (size_t i = 0; i < tpgs->size(); ++i)
      if (i != chosen)
        Add(IssueKind::kSkipped, pointer + "/tpgs/" + std::to_string(i),
            "target " + target.name + ": a second portal group; the service serves one per target");
    const std::string tpgPointer = pointer + "/tpgs/" + std::to_string(chosen);
    const json& tpg = (*tpgs)[chosen];
    if (!tpg.is_object()) return Error(tpgPointer, "a portal group must be an object");
    if (!Bool(tpg, tpgPointer, "enable", true))
      return Add(IssueKind::kSkipped, tpgPointer,
                 "target " + target.name +
                     ": its portal group is disabled, so it serves nothing; import it once it "
                     "should serve");
    if (Attribute(tpg, tpgPointer, "generate_node_acls", 0) != 0)
      Add(IssueKind::kSkipped, tpgPointer,
          "target " + target.name +
              ": generate_node_acls=1 lets every initiator in; the service maps named initiators only (its node ACLs "
              "are imported)");
    for (const char* key : {"chap_userid", "chap_mutual_userid"})
      if (tpg.contains(key))
        Add(IssueKind::kIgnored, tpgPointer + "/" + key,
            "the portal group's own CHAP credentials serve generated ACLs only, which the service does not have");
    Portals(tpg, tpgPointer);
    std::map<int64_t, size_t> byIndex;  // the portal group's LUN number -> position in target.luns
    Luns(target, tpg, tpgPointer, byIndex);
    std::vector<Acl> acls;
    Acls(target, tpg, tpgPointer, byIndex, acls);
    if (!Chap(target, tpg, tpgPointer, acls)) return;
    m_plan.targets.push_back(std::move(target));
  }

  void Portals(const json& tpg, const std::string& pointer) {
    const json* portals = Member(tpg, pointer, "portals", json::value_t::array);
    if (portals == nullptr) return;
    for (size_t i = 0; i < portals->size(); ++i) {
      const json& p = (*portals)[i];
      const std::string pp = pointer + "/portals/" + std::to_string(i);
      if (!p.is_object()) return Error(pp, "a portal must be an object");
      const std::string address = String(p, pp, "ip_address");
      const int64_t port = Integer(p, pp, "port", 3260);
      if (address == "0.0.0.0" && port == 3260 && !Bool(p, pp, "iser", false)) continue;
      Add(IssueKind::kIgnored, pp,
          "portal " + address + ":" + std::to_string(port) +
              ": the service's targets listen where its engine is set to (Portal, TgtdPortal)");
    }
  }

  void Luns(PlannedTarget& target, const json& tpg, const std::string& pointer, std::map<int64_t, size_t>& byIndex) {
    const json* luns = Member(tpg, pointer, "luns", json::value_t::array);
    if (luns == nullptr) return;
    std::vector<std::pair<int64_t, size_t>> order;
    for (size_t i = 0; i < luns->size(); ++i) {
      const std::string lp = pointer + "/luns/" + std::to_string(i);
      if (!(*luns)[i].is_object()) {
        Error(lp, "a LUN must be an object");
        continue;
      }
      const int64_t index = Integer((*luns)[i], lp, "index", -1, true);
      if (index >= 0) order.push_back({index, i});
    }
    std::sort(order.begin(), order.end());
    std::set<std::string> paths;
    for (const auto& o : order) {
      const json& lun = (*luns)[o.second];
      const std::string lp = pointer + "/luns/" + std::to_string(o.second);
      const std::string what = "LUN " + std::to_string(o.first) + " of target " + target.name;
      const std::string key = String(lun, lp, "storage_object", true);
      if (key.empty()) continue;
      auto so = m_storage.find(key);
      if (so == m_storage.end()) {
        Add(IssueKind::kSkipped, lp, what + ": its storage object " + key + " is not in the file");
        continue;
      }
      so->second.used = true;
      PlannedLun planned;
      if (!StorageLun(*so->second.object, so->second.pointer, lp, key, what, target.name, planned)) continue;
      if (!paths.insert(planned.path).second) {
        Add(IssueKind::kSkipped, lp, what + ": the same backing store as another LUN of the target");
        continue;
      }
      planned.where = Place(lp);
      planned.sourceLun = o.first;
      byIndex[o.first] = target.luns.size();
      target.luns.push_back(std::move(planned));
    }
  }

  // Whether the LUN at lunPointer on storage object so can be imported;
  // what is wrong is reported at the LUN, which is what is left out.
  bool StorageLun(const json& so, const std::string& pointer, const std::string& lunPointer, const std::string& key,
                  const std::string& what, const std::string& targetName, PlannedLun& lun) {
    const std::string& at = lunPointer;
    const std::string plugin = String(so, pointer, "plugin");
    if (plugin == "pscsi")
      return Reject(at, what + ": " + key +
                            " passes a SCSI device through; the service serves files and block "
                            "devices only");
    if (plugin == "ramdisk" || plugin == "rd_mcp")
      return Reject(at, what + ": " + key + " is a RAM disk, whose data lives in memory only");
    if (plugin.compare(0, 5, "user:") == 0)
      return Reject(at, what + ": " + key + " is a tcmu-runner store (" + plugin + ") the service lacks");
    if (plugin != "fileio" && plugin != "block")
      return Reject(at, what + ": " + key + " is a storage type the service lacks");
    const std::string dev = String(so, pointer, "dev", true);
    if (dev.empty()) return false;
    if (dev[0] != '/') return Reject(at, what + ": " + dev + " is not an absolute path");
    if (Bool(so, pointer, "readonly", false))
      return Reject(at, what + ": " + key +
                            " is read-only; the service has no read-only LUNs and would let its "
                            "initiators write");
    const int64_t blockSize = Attribute(so, pointer, "block_size", 512);
    if (blockSize != 512)
      return Reject(at, what + ": " + key + " has " + std::to_string(blockSize) +
                            "-byte blocks; the service serves 512-byte blocks, under which its partition table "
                            "would not be found");
    lun.sourcePath = dev;
    lun.path = MapPath(m_options.pathMap, dev);
    if (plugin == "fileio" && !FileSizeFits(so, pointer, at, what, lun.path)) return false;
    const std::string kept = ServicePrefixOf(String(so, pointer, "wwn"), targetName);
    lun.serialPrefix = kept.empty() ? m_options.serialPrefix : kept;
    if (kept.empty()) ++m_newSerials;
    return true;
  }

  // The service serves a file whole; LIO may serve less (or more) of it.
  bool FileSizeFits(const json& so, const std::string& pointer, const std::string& at, const std::string& what,
                    const std::string& path) {
    const int64_t size = Integer(so, pointer, "size", -1);
    struct stat st;
    if (size < 0 || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return true;
    const auto bytes = static_cast<int64_t>(st.st_size);
    if (size > bytes)
      return Reject(at, what + ": the LUN has " + std::to_string(size) + " bytes but " + path + " only " +
                            std::to_string(bytes) + "; the service serves the file as it is: grow it (truncate -s " +
                            std::to_string(size) + ") and import again");
    if (size < bytes)
      Add(IssueKind::kNote, at,
          what + ": the kernel target served the first " + std::to_string(size) + " bytes of " + path +
              "; the service serves the whole file (" + std::to_string(bytes) + " bytes)");
    return true;
  }

  bool Reject(const std::string& pointer, const std::string& text) {
    Add(IssueKind::kSkipped, pointer, text);
    return false;
  }

  void Acls(PlannedTarget& target, const json& tpg, const std::string& pointer,
            const std::map<int64_t, size_t>& byIndex, std::vector<Acl>& acls) {
    const json* list = Member(tpg, pointer, "node_acls", json::value_t::array);
    if (list == nullptr) return;
    const int64_t tpgAuth = Attribute(tpg, pointer, "authentication", 0);
    for (size_t i = 0; i < list->size(); ++i) {
      const json& a = (*list)[i];
      Acl acl;
      acl.pointer = pointer + "/node_acls/" + std::to_string(i);
      if (!a.is_object()) {
        Error(acl.pointer, "a node ACL must be an object");
        continue;
      }
      acl.host = String(a, acl.pointer, "node_wwn", true);
      if (acl.host.empty()) continue;
      if (acl.host.find_first_of("*?") != std::string::npos) {
        Add(IssueKind::kSkipped, acl.pointer,
            "node ACL " + acl.host + ": a wildcard; the service maps exact initiator names only");
        continue;
      }
      acl.chap.user = String(a, acl.pointer, "chap_userid");
      acl.chap.secret = String(a, acl.pointer, "chap_password");
      acl.chap.mutualUser = String(a, acl.pointer, "chap_mutual_userid");
      acl.chap.mutualSecret = String(a, acl.pointer, "chap_mutual_password");
      acl.hasChap = !acl.chap.user.empty();
      const int64_t own = Attribute(a, acl.pointer, "authentication", -1);
      acl.enforced = own == 1 || (own < 0 && tpgAuth == 1);
      if (acl.enforced && !acl.hasChap) {
        Add(IssueKind::kSkipped, acl.pointer,
            "node ACL " + acl.host +
                ": CHAP is asked for but the ACL has no credentials, so it could not log in: "
                "not mapped");
        continue;
      }
      if (a.contains("tag"))
        Add(IssueKind::kIgnored, acl.pointer + "/tag", "ACL group tags have no equivalent in the service");
      Mappings(target, a, acl, byIndex);
      acls.push_back(acl);
    }
  }

  void Mappings(PlannedTarget& target, const json& a, const Acl& acl, const std::map<int64_t, size_t>& byIndex) {
    const json* mapped = Member(a, acl.pointer, "mapped_luns", json::value_t::array);
    if (mapped == nullptr) return;
    for (size_t k = 0; k < mapped->size(); ++k) {
      const json& m = (*mapped)[k];
      const std::string mp = acl.pointer + "/mapped_luns/" + std::to_string(k);
      if (!m.is_object()) {
        Error(mp, "a mapped LUN must be an object");
        continue;
      }
      const int64_t index = Integer(m, mp, "index", -1, true);
      const int64_t tpgLun = Integer(m, mp, "tpg_lun", -1, true);
      if (index < 0 || tpgLun < 0) continue;
      auto lun = byIndex.find(tpgLun);
      if (lun == byIndex.end()) continue;  // the LUN is not imported; that was said
      const std::string what = "host " + acl.host + " on LUN " + std::to_string(tpgLun) + " of target " + target.name;
      if (Bool(m, mp, "write_protect", false)) {
        Add(IssueKind::kSkipped, mp,
            what + ": mapped read-only; the service maps read-write only, so this mapping is left out");
        continue;
      }
      if (index != tpgLun)
        Add(IssueKind::kNote, mp,
            what + ": the host saw it as LUN " + std::to_string(index) +
                "; with the service it sees the LUN's own "
                "number");
      std::vector<std::string>& hosts = target.luns[lun->second].hosts;
      if (std::find(hosts.begin(), hosts.end(), acl.host) == hosts.end()) hosts.push_back(acl.host);
      ++m_mappings;
    }
  }

  // false: the target must not be imported, since its CHAP cannot be.
  bool Chap(PlannedTarget& target, const json& tpg, const std::string& pointer, const std::vector<Acl>& acls) {
    const Acl* first = nullptr;
    for (const Acl& acl : acls) {
      if (!acl.hasChap) continue;
      if (!acl.enforced) {
        Add(IssueKind::kIgnored, acl.pointer,
            "node ACL " + acl.host + ": CHAP credentials that the portal group does not ask for (authentication=0)");
        continue;
      }
      if (first == nullptr) {
        first = &acl;
        continue;
      }
      const PlannedChap& a = first->chap;
      const PlannedChap& b = acl.chap;
      if (a.user != b.user || a.secret != b.secret || a.mutualUser != b.mutualUser ||
          a.mutualSecret != b.mutualSecret) {
        Add(IssueKind::kSkipped, acl.pointer,
            "target " + target.name + ": node ACLs " + first->host + " and " + acl.host +
                " log in with different CHAP credentials; the service has one set per target (the target is left "
                "out: without its CHAP its initiators would get in without credentials)");
        return false;
      }
    }
    if (first == nullptr) return true;
    for (const Acl& acl : acls)
      if (!acl.enforced && !acl.hasChap)
        Add(IssueKind::kNote, acl.pointer,
            "node ACL " + acl.host + " logged in without CHAP; the service asks every host of the target for CHAP");
    const std::string problem = ChapProblem(first->chap);
    if (!problem.empty()) {
      Add(IssueKind::kSkipped, first->pointer,
          "target " + target.name + ": " + problem +
              " (the target is left out: without its CHAP its initiators would get in without credentials)");
      return false;
    }
    (void)tpg;
    (void)pointer;
    target.hasChap = true;
    target.chap = first->chap;
    return true;
  }

  void Summary() {
    const SourcePlace file{m_plan.file, 0};
    if (!m_plan.targets.empty())
      m_plan.Add(IssueKind::kNote, file,
                 "LUN numbers are the service's: the LUNs of a new target are created in the kernel target's order "
                 "and take the lowest free numbers (from 0 on the kernel target, from 1 on tgtd, whose LUN 0 is its "
                 "controller)");
    if (m_mappings > 0)
      m_plan.Add(IssueKind::kNote, file,
                 "on tgtd access is per target: a host mapped to one LUN of a target reaches all of its LUNs (on the "
                 "kernel target each host sees its mapped LUNs only)");
    if (m_newSerials > 0)
      m_plan.Add(IssueKind::kNote, file,
                 "unit serials are the service's (serial prefix " + m_options.serialPrefix +
                     "): initiators see new serials and device identifiers for " + std::to_string(m_newSerials) +
                     (m_newSerials == 1 ? " LUN" : " LUNs") + " (udev's by-id names and multipath WWIDs change)");
  }

  ImportPlan& m_plan;
  const ImportOptions& m_options;
  const Lines& m_lines;
  std::map<std::string, StorageObject> m_storage;  // by "/backstores/<plugin>/<name>"
  size_t m_mappings = 0;
  size_t m_newSerials = 0;
};

}  // namespace

ImportPlan ParseLioConfigText(const std::string& file, const std::string& text, const ImportOptions& options) {
  ImportPlan plan;
  plan.format = "lio";
  plan.file = file;
  int line = 1;
  LineRecorder recorder(&line);
  json root;
  try {
    root = json::parse(
        LineCountingIterator(text.data(), &line), LineCountingIterator(text.data() + text.size(), &line),
        [&recorder](int, json::parse_event_t event, json& parsed) { return recorder.Event(event, parsed); });
  } catch (const json::parse_error& e) {
    // The library's text starts with its own codes and place; ours says it.
    std::string why = e.what();
    const size_t colon = why.find(": ");
    if (colon != std::string::npos) why = why.substr(colon + 2);
    plan.Add(IssueKind::kError, SourcePlace{file, LineOfByte(text, e.byte > 0 ? e.byte - 1 : 0)},
             "not valid JSON: " + why);
    return plan;
  }
  const Lines lines = recorder.Take();
  LioPlanner(plan, options, lines).Root(root);
  if (plan.HasErrors()) plan.targets.clear();
  return plan;
}

ImportPlan ParseLioConfig(const std::string& file, const ImportOptions& options) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    ImportPlan plan;
    plan.format = "lio";
    plan.file = file;
    plan.Add(IssueKind::kError, SourcePlace{file, 0}, std::string("cannot read it: ") + std::strerror(errno));
    return plan;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ParseLioConfigText(file, text, options);
}

}  // namespace WzCtl
