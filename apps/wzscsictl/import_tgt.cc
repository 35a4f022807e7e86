#include "apps/wzscsictl/import_tgt.h"

#include <glob.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

namespace WzCtl {
namespace {

// Config::General nests includes without limit; a loop must end somewhere.
constexpr int kMaxIncludeDepth = 16;

// One option (`key value`) or block (`<key value>...</key>`) of the file.
struct ConfEntry {
  std::string key;
  std::string value;
  SourcePlace where;
  bool block = false;
  std::vector<ConfEntry> children;
};

bool EqualsNoCase(const std::string& a, const std::string& b) { return LowerName(a) == LowerName(b); }

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  const size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

std::string Unquote(const std::string& s) {
  if (s.size() >= 2 && ((s.front() == '"' && s.back() == '"') || (s.front() == '\'' && s.back() == '\'')))
    return s.substr(1, s.size() - 2);
  return s;
}

std::string DirOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool ReadText(const std::string& path, std::string& text, std::string& why) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    why = std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    why = "it is a directory";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = std::strerror(errno);
    return false;
  }
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// The file-level syntax: lines into a tree of entries, includes expanded in
// place.
class ConfReader {
 public:
  explicit ConfReader(ImportPlan& plan) : m_plan(plan) {}

  void ReadText(const std::string& file, const std::string& text, std::vector<ConfEntry>& into, int depth) {
    std::vector<ConfEntry*> open{nullptr};  // nullptr: the level `into`
    std::istringstream lines(text);
    std::string raw;
    int lineNo = 0;
    while (std::getline(lines, raw)) {
      ++lineNo;
      const int first = lineNo;
      // A backslash at the end joins the next line.
      while (!raw.empty() &&
             (raw.back() == '\\' || (raw.back() == '\r' && raw.size() > 1 && raw[raw.size() - 2] == '\\'))) {
        if (raw.back() == '\r') raw.pop_back();
        raw.pop_back();
        std::string next;
        if (!std::getline(lines, next)) break;
        ++lineNo;
        raw += next;
      }
      const SourcePlace where{file, first};
      std::vector<ConfEntry>& level = open.back() == nullptr ? into : open.back()->children;
      const std::string line = Trim(StripComment(raw));
      if (line.empty()) continue;
      if (line.compare(0, 2, "</") == 0) {
        CloseBlock(line, where, open);
        continue;
      }
      if (line[0] == '<') {
        if (ConfEntry* block = OpenBlock(line, where, level)) open.push_back(block);
        continue;
      }
      ConfEntry option;
      option.where = where;
      SplitOption(line, option.key, option.value);
      if (option.value.compare(0, 2, "<<") == 0) {
        m_plan.Add(IssueKind::kError, where, "here-documents (" + option.key + " <<...) are not supported");
        continue;
      }
      if (EqualsNoCase(option.key, "include")) {
        Include(file, option, level, depth);
        continue;
      }
      level.push_back(std::move(option));
    }
    for (size_t i = open.size() - 1; i > 0; --i)
      m_plan.Add(
          IssueKind::kError, open[i]->where,
          "<" + open[i]->key + (open[i]->value.empty() ? "" : " " + open[i]->value) + "> is never closed in " + file);
  }

  void ReadFile(const std::string& file, std::vector<ConfEntry>& into, int depth, const SourcePlace& from) {
    char resolved[PATH_MAX];
    const std::string real = ::realpath(file.c_str(), resolved) != nullptr ? resolved : file;
    if (std::find(m_stack.begin(), m_stack.end(), real) != m_stack.end()) {
      m_plan.Add(IssueKind::kError, from, "include of " + file + " includes itself");
      return;
    }
    std::string text, why;
    if (!WzCtl::ReadText(file, text, why)) {
      m_plan.Add(IssueKind::kError, from, "cannot read " + file + ": " + why);
      return;
    }
    m_stack.push_back(real);
    ReadText(file, text, into, depth);
    m_stack.pop_back();
  }

  void PushTop(const std::string& file) {
    char resolved[PATH_MAX];
    m_stack.push_back(::realpath(file.c_str(), resolved) != nullptr ? resolved : file);
  }

 private:
  // "#" starts a comment unless escaped as "\#".
  static std::string StripComment(const std::string& raw) {
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '\\' && i + 1 < raw.size() && raw[i + 1] == '#') {
        out += '#';
        ++i;
      } else if (raw[i] == '#') {
        break;
      } else {
        out += raw[i];
      }
    }
    return out;
  }

  static void SplitOption(const std::string& line, std::string& key, std::string& value) {
    size_t end = 0;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '=') ++end;
    key = line.substr(0, end);
    std::string rest = Trim(line.substr(end));
    if (!rest.empty() && rest[0] == '=') rest = Trim(rest.substr(1));
    value = Unquote(rest);
  }

  ConfEntry* OpenBlock(const std::string& line, const SourcePlace& where, std::vector<ConfEntry>& level) {
    if (line.back() != '>') {
      m_plan.Add(IssueKind::kError, where, "a block line must end with \">\": " + line);
      return nullptr;
    }
    const std::string inner = Trim(line.substr(1, line.size() - 2));
    ConfEntry block;
    block.block = true;
    block.where = where;
    SplitOption(inner, block.key, block.value);
    if (block.key.empty()) {
      m_plan.Add(IssueKind::kError, where, "a block without a name: " + line);
      return nullptr;
    }
    level.push_back(std::move(block));
    return &level.back();
  }

  void CloseBlock(const std::string& line, const SourcePlace& where, std::vector<ConfEntry*>& open) {
    const std::string name = line.back() == '>' ? Trim(line.substr(2, line.size() - 3)) : std::string();
    if (open.size() == 1) {
      m_plan.Add(IssueKind::kError, where, line + " closes no block");
      return;
    }
    if (!EqualsNoCase(name, open.back()->key)) {
      m_plan.Add(
          IssueKind::kError, where,
          line + " does not close <" + open.back()->key + "> of line " + std::to_string(open.back()->where.line));
      return;
    }
    open.pop_back();
  }

  void Include(const std::string& file, const ConfEntry& option, std::vector<ConfEntry>& level, int depth) {
    if (depth >= kMaxIncludeDepth) {
      m_plan.Add(IssueKind::kError, option.where,
                 "includes nest deeper than " + std::to_string(kMaxIncludeDepth) + " files: " + option.value);
      return;
    }
    if (option.value.empty()) {
      m_plan.Add(IssueKind::kError, option.where, "include without a file");
      return;
    }
    const std::string pattern = option.value[0] == '/' ? option.value : DirOf(file) + "/" + option.value;
    std::vector<std::string> files;
    struct stat st;
    if (pattern.find_first_of("*?[") != std::string::npos) {
      // A pattern that matches nothing includes nothing, as tgt-admin's
      // default `include /etc/tgt/conf.d/*.conf` on an empty conf.d.
      files = Glob(pattern);
    } else if (::stat(pattern.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      files = Glob(pattern + "/*");
    } else {
      files.push_back(pattern);
    }
    for (const std::string& f : files) {
      if (::stat(f.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
      ReadFile(f, level, depth + 1, option.where);
    }
  }

  // Sorted, as Config::General reads them.
  static std::vector<std::string> Glob(const std::string& pattern) {
    std::vector<std::string> files;
    glob_t g;
    if (::glob(pattern.c_str(), 0, nullptr, &g) == 0)
      for (size_t i = 0; i < g.gl_pathc; ++i) files.push_back(g.gl_pathv[i]);
    ::globfree(&g);
    return files;
  }

  ImportPlan& m_plan;
  std::vector<std::string> m_stack;  // the files being read, outermost first
};

// ------------------------------------------------------------------ meaning

// The options of one LUN: the target's, overridden by its backing-store
// block's.
using LunOptions = std::map<std::string, const ConfEntry*>;

const char* const kInquiryOptions[] = {
    "scsi_id",          "vendor_id", "product_id", "product_rev",  "sense_format", "removable",
    "online",           "mode_page", "params",     "lbppbe",       "la_lba",       "optimal_xfer_gran",
    "optimal_xfer_len", "bsopts",    "bsoflags",   "allow-in-use", "path",         "write-cache"};
const char* const kLunOptions[] = {"lun", "bs-type", "block-size", "device-type", "readonly", "scsi_sn"};
const char* const kIscsiParameters[] = {"MaxRecvDataSegmentLength",
                                        "MaxXmitDataSegmentLength",
                                        "HeaderDigest",
                                        "DataDigest",
                                        "InitialR2T",
                                        "MaxOutstandingR2T",
                                        "ImmediateData",
                                        "FirstBurstLength",
                                        "MaxBurstLength",
                                        "DataPDUInOrder",
                                        "DataSequenceInOrder",
                                        "ErrorRecoveryLevel",
                                        "IFMarker",
                                        "OFMarker",
                                        "DefaultTime2Wait",
                                        "DefaultTime2Retain",
                                        "OFMarkInt",
                                        "IFMarkInt",
                                        "MaxConnections",
                                        "RDMAExtensions",
                                        "TargetRecvDataSegmentLength",
                                        "InitiatorRecvDataSegmentLength",
                                        "MaxOutstandingUnexpectedPDUs",
                                        "TargetAlias",
                                        "QueueDepth"};

template <size_t N>
bool In(const char* const (&list)[N], const std::string& key) {
  for (const char* k : list)
    if (key == k) return true;
  return false;
}

// What `wzscsictl export tgt` writes for a target without hosts: no
// initiator ever logs in from 0.0.0.0.
const char* const kAdmitsNobody = "0.0.0.0/32";

// An IPv4 or IPv6 address, with or without a netmask: digits, hex digits,
// dots, colons, brackets and slashes, beginning as no iSCSI name does
// ("iqn.", "eui.", "naa.").
bool LooksLikeAddress(const std::string& value) {
  if (value.empty() || !(std::isdigit(static_cast<unsigned char>(value[0])) || value[0] == ':' || value[0] == '['))
    return false;
  return std::all_of(value.begin(), value.end(), [](char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) || c == '.' || c == ':' || c == '/' || c == '[' || c == ']';
  });
}

bool IsTrue(const std::string& value) {
  const std::string v = LowerName(value);
  return v == "1" || v == "yes" || v == "on" || v == "true";
}

struct TgtStore {
  const ConfEntry* entry;  // the backing-store option or block
  std::string path;
  LunOptions options;
  int64_t lun = -1;
};

class TgtPlanner {
 public:
  TgtPlanner(ImportPlan& plan, const ImportOptions& options) : m_plan(plan), m_options(options) {}

  void Top(const std::vector<ConfEntry>& entries) {
    // Blocks of one target name are one target (tgt-admin merges them).
    std::vector<std::pair<std::string, std::vector<const ConfEntry*>>> targets;
    for (const ConfEntry& e : entries) {
      if (e.block && e.key == "target") {
        if (e.value.empty()) {
          m_plan.Add(IssueKind::kError, e.where, "<target> without a name");
          continue;
        }
        auto same = std::find_if(targets.begin(), targets.end(), [&](const auto& t) { return t.first == e.value; });
        if (same == targets.end()) {
          targets.push_back({e.value, {&e}});
        } else {
          same->second.push_back(&e);
        }
      } else if (e.block) {
        m_plan.Add(IssueKind::kIgnored, e.where, "<" + e.key + "> is not a block tgt-admin knows");
      } else if (e.key == "default-driver") {
        m_defaultDriver = e.value;
      } else if (e.key == "incomingdiscoveryuser" || e.key == "outgoingdiscoveryuser") {
        m_plan.Add(IssueKind::kIgnored, e.where, e.key + ": discovery sessions are not authenticated by the service");
      } else if (e.key == "ignore-errors" || e.key == "control-port" || e.key.compare(0, 4, "iSNS") == 0) {
        m_plan.Add(IssueKind::kIgnored, e.where, e.key + ": a setting of tgt-admin or tgtd itself");
      } else {
        m_plan.Add(IssueKind::kIgnored, e.where, e.key + " is not an option tgt-admin knows");
      }
    }
    for (const auto& t : targets) Target(t.first, t.second);
    Summary();
  }

 private:
  void Target(const std::string& name, const std::vector<const ConfEntry*>& blocks) {
    PlannedTarget target;
    target.where = blocks.front()->where;
    target.name = name;
    LunOptions targetOptions;
    std::vector<TgtStore> stores;
    std::vector<const ConfEntry*> incoming, outgoing, addresses, names;
    std::string driver = m_defaultDriver;
    bool skip = false;
    for (const ConfEntry* block : blocks) {
      for (const ConfEntry& e : block->children) {
        if (e.key == "backing-store") {
          TgtStore s;
          s.entry = &e;
          s.path = e.value;
          if (e.block)
            for (const ConfEntry& o : e.children) StoreOption(s, o);
          stores.push_back(std::move(s));
        } else if (e.key == "direct-store") {
          m_plan.Add(IssueKind::kSkipped, e.where,
                     "direct-store " + e.value +
                         ": a SCSI device passed through; the service serves files and block devices only");
        } else if (e.block) {
          m_plan.Add(IssueKind::kIgnored, e.where, "<" + e.key + "> is not a block tgt-admin knows in a target");
        } else if (e.key == "incominguser") {
          incoming.push_back(&e);
        } else if (e.key == "outgoinguser") {
          outgoing.push_back(&e);
        } else if (e.key == "initiator-address") {
          addresses.push_back(&e);
        } else if (e.key == "initiator-name") {
          names.push_back(&e);
        } else if (e.key == "driver") {
          driver = e.value;
        } else if (e.key == "controller_tid") {
          m_plan.Add(IssueKind::kIgnored, e.where, "controller_tid: tgtd's target ids are tgtd's business");
        } else if (e.key == "lun") {
          m_plan.Add(IssueKind::kIgnored, e.where, "lun outside a <backing-store> block");
        } else if (In(kLunOptions, e.key) || In(kInquiryOptions, e.key)) {
          targetOptions[e.key] = &e;
        } else if (In(kIscsiParameters, e.key)) {
          m_plan.Add(IssueKind::kIgnored, e.where, e.key + ": an iSCSI parameter; the engine's own values apply");
        } else {
          m_plan.Add(IssueKind::kIgnored, e.where, e.key + " is not an option tgt-admin knows");
        }
      }
    }
    if (!driver.empty() && driver != "iscsi") {
      if (driver == "iser") {
        m_plan.Add(
            IssueKind::kNote, target.where,
            "target " + name + " uses iSER; the service serves it over iSCSI on TCP: point its initiators there");
      } else {
        m_plan.Add(IssueKind::kSkipped, target.where,
                   "target " + name + ": driver " + driver + " is not iSCSI, which is all the service serves");
        skip = true;
      }
    }
    if (!Chap(target, incoming, outgoing)) skip = true;
    if (skip) return;
    Hosts(target, addresses, names);
    Luns(target, stores, targetOptions);
    if (!target.luns.empty() && !m_hosts.empty()) {
      ++m_mappedTargets;
      m_mappings += m_hosts.size() * target.luns.size();
    }
    for (PlannedLun& lun : target.luns) lun.hosts = m_hosts;
    m_plan.targets.push_back(std::move(target));
  }

  void StoreOption(TgtStore& s, const ConfEntry& o) {
    if (o.block) {
      m_plan.Add(IssueKind::kIgnored, o.where, "<" + o.key + "> in a <backing-store> block");
    } else if (o.key == "lun") {
      char* end = nullptr;
      const long long n = std::strtoll(o.value.c_str(), &end, 10);
      if (o.value.empty() || *end != '\0' || n < 0 || n > 65535) {
        m_plan.Add(IssueKind::kError, o.where, "lun " + o.value + " is not a LUN number");
      } else {
        s.lun = n;
      }
    } else if (In(kLunOptions, o.key) || In(kInquiryOptions, o.key)) {
      s.options[o.key] = &o;
    } else {
      m_plan.Add(IssueKind::kIgnored, o.where, o.key + " is not an option of a backing store");
    }
  }

  // false: the target must not be imported, since its CHAP cannot be.
  bool Chap(PlannedTarget& target, const std::vector<const ConfEntry*>& incoming,
            const std::vector<const ConfEntry*>& outgoing) {
    auto split = [](const std::string& value, std::string& user, std::string& secret) {
      std::istringstream words(value);
      words >> user >> secret;
    };
    if (incoming.empty()) {
      for (const ConfEntry* o : outgoing)
        m_plan.Add(IssueKind::kIgnored, o->where,
                   "outgoinguser without an incominguser: tgtd asks no CHAP of the initiators, so none is set");
      return true;
    }
    target.hasChap = true;
    split(incoming.front()->value, target.chap.user, target.chap.secret);
    for (size_t i = 1; i < incoming.size(); ++i) {
      std::string user, secret;
      split(incoming[i]->value, user, secret);
      m_plan.Add(IssueKind::kSkipped, incoming[i]->where,
                 "incominguser " + user + ": the service has one CHAP user per target (" + target.chap.user +
                     "); initiators that log in as " + user + " must use " + target.chap.user);
    }
    if (!outgoing.empty()) split(outgoing.front()->value, target.chap.mutualUser, target.chap.mutualSecret);
    for (size_t i = 1; i < outgoing.size(); ++i)
      m_plan.Add(IssueKind::kIgnored, outgoing[i]->where, "a second outgoinguser: tgt-admin uses the first only");
    const std::string problem = ChapProblem(target.chap);
    if (problem.empty()) return true;
    m_plan.Add(IssueKind::kSkipped, incoming.front()->where,
               "target " + target.name + ": " + problem +
                   " (the target is left out: without its CHAP its initiators would get in without credentials)");
    return false;
  }

  // tgtd admits an initiator that one rule of the target admits, an
  // address rule (ALL, an address, an address with a netmask) or a name
  // rule; and tgt-admin adds the address rule ALL to a target without
  // initiator-address lines.
  // The service maps named initiators only: names are carried, address
  // rules and ALL are not, and what they admitted is said.
  void Hosts(const PlannedTarget& target, const std::vector<const ConfEntry*>& addressLines,
             const std::vector<const ConfEntry*>& nameLines) {
    m_hosts.clear();
    std::vector<const ConfEntry*> addresses = addressLines, names;
    // tgt-admin --dump tells address rules from names by their characters:
    // it writes ALL, and an address with a netmask, as `initiator-name`.
    for (const ConfEntry* n : nameLines) {
      if (n->value == "ALL") {
        m_plan.Add(IssueKind::kNote, n->where,
                   "initiator-name ALL: what tgt-admin --dump writes for the address rule ALL; read as that, not as "
                   "an initiator");
        addresses.push_back(n);
      } else if (LooksLikeAddress(n->value)) {
        m_plan.Add(IssueKind::kNote, n->where,
                   "initiator-name " + n->value +
                       ": an address (tgt-admin --dump writes address rules with a netmask so); read as an address "
                       "rule");
        addresses.push_back(n);
      } else {
        names.push_back(n);
      }
    }
    for (const ConfEntry* n : names) {
      if (n->value.find_first_of("*?") != std::string::npos) {
        m_plan.Add(IssueKind::kSkipped, n->where,
                   "initiator-name " + n->value + ": a wildcard; the service maps exact initiator names only");
      } else if (n->value.empty() || n->value.find_first_of(" \t") != std::string::npos) {
        m_plan.Add(IssueKind::kError, n->where, "initiator-name \"" + n->value + "\" is not one initiator name");
      } else if (std::find(m_hosts.begin(), m_hosts.end(), n->value) == m_hosts.end()) {
        m_hosts.push_back(n->value);
      }
    }
    const std::string others =
        m_hosts.empty() ? std::string("nobody is mapped") : std::string("initiators not named here lose the target");
    const ConfEntry* all = nullptr;
    for (const ConfEntry* a : addresses) {
      if (a->value == "ALL") {
        all = a;
      } else if (a->value != kAdmitsNobody) {
        m_plan.Add(IssueKind::kSkipped, a->where,
                   "initiator-address " + a->value + ": the service has no address rules: " + others);
      }
    }
    if (all != nullptr) {
      m_plan.Add(IssueKind::kSkipped, all->where,
                 "the address rule ALL lets every initiator in; the service maps named initiators only: " + others);
    } else if (addresses.empty() && addressLines.empty()) {
      // tgt-admin looks for initiator-address lines, whatever they hold.
      m_plan.Add(IssueKind::kSkipped, target.where,
                 "target " + target.name +
                     " has no initiator-address line, so tgt-admin adds the address rule ALL, which lets every "
                     "initiator in; the service maps named initiators only: " +
                     others);
    }
  }

  void Luns(PlannedTarget& target, std::vector<TgtStore>& stores, const LunOptions& targetOptions) {
    // tgt-admin numbers the stores in the order of their paths, from 1,
    // around the numbers that `lun` options reserve.
    std::sort(stores.begin(), stores.end(), [](const TgtStore& a, const TgtStore& b) { return a.path < b.path; });
    std::set<int64_t> taken;
    for (const TgtStore& s : stores)
      if (s.lun >= 0) taken.insert(s.lun);
    int64_t next = 1;
    for (TgtStore& s : stores) {
      if (s.lun >= 0) continue;
      while (taken.count(next) != 0) ++next;
      s.lun = next;
      taken.insert(next);
    }
    std::sort(stores.begin(), stores.end(), [](const TgtStore& a, const TgtStore& b) { return a.lun < b.lun; });
    std::set<std::string> paths;
    for (TgtStore& s : stores) {
      LunOptions options = targetOptions;
      for (const auto& o : s.options) options[o.first] = o.second;
      const std::string what = "backing-store " + s.path;
      if (s.path.empty() || s.path[0] != '/') {
        m_plan.Add(IssueKind::kSkipped, s.entry->where, what + ": not an absolute path");
        continue;
      }
      if (!paths.insert(s.path).second) {
        m_plan.Add(IssueKind::kSkipped, s.entry->where,
                   what + ": the same backing store twice in target " + target.name);
        continue;
      }
      if (!LunSupported(options, what, s.entry->where)) continue;
      PlannedLun lun;
      lun.where = s.entry->where;
      lun.sourceLun = s.lun;
      lun.sourcePath = s.path;
      lun.path = MapPath(m_options.pathMap, s.path);
      auto sn = options.find("scsi_sn");
      const std::string kept = sn == options.end() ? std::string() : ServicePrefixOf(sn->second->value, target.name);
      lun.serialPrefix = kept.empty() ? m_options.serialPrefix : kept;
      if (kept.empty()) ++m_newSerials;
      target.luns.push_back(std::move(lun));
    }
  }

  bool LunSupported(const LunOptions& options, const std::string& what, const SourcePlace& where) {
    auto value = [&](const char* key) {
      auto it = options.find(key);
      return it == options.end() ? std::string() : it->second->value;
    };
    const std::string bsType = value("bs-type");
    if (!bsType.empty() && bsType != "rdwr" && bsType != "aio" && bsType != "mmap") {
      m_plan.Add(
          IssueKind::kSkipped, where,
          what + ": bs-type " + bsType + " is a backing store type the service lacks (files and block devices only)");
      return false;
    }
    const std::string deviceType = value("device-type");
    if (!deviceType.empty() && deviceType != "disk") {
      m_plan.Add(IssueKind::kSkipped, where, what + ": device-type " + deviceType + "; the service serves disks only");
      return false;
    }
    const std::string blockSize = value("block-size");
    if (!blockSize.empty() && blockSize != "512") {
      m_plan.Add(IssueKind::kSkipped, where,
                 what + ": block-size " + blockSize +
                     "; the service serves 512-byte blocks, under which its partition table would not be found");
      return false;
    }
    if (IsTrue(value("readonly"))) {
      m_plan.Add(IssueKind::kSkipped, where,
                 what + ": readonly; the service has no read-only LUNs and would let its initiators write");
      return false;
    }
    if (bsType == "aio" || bsType == "mmap")
      m_plan.Add(IssueKind::kIgnored, options.at("bs-type")->where,
                 "bs-type " + bsType + ": the engine's own I/O is used");
    for (const auto& o : options)
      if (In(kInquiryOptions, o.first) && m_reported.insert(o.second).second)
        m_plan.Add(IssueKind::kIgnored, o.second->where,
                   o.first + ": the engine's own inquiry data and settings apply");
    return true;
  }

  void Summary() {
    const SourcePlace file{m_plan.file, 0};
    if (m_mappedTargets > 0)
      m_plan.Add(IssueKind::kNote, file,
                 "tgt gives an initiator a whole target, the service maps hosts to LUNs: each initiator-name of a "
                 "target is mapped to every LUN of that target (" +
                     std::to_string(m_mappings) + (m_mappings == 1 ? " mapping in " : " mappings in ") +
                     std::to_string(m_mappedTargets) + (m_mappedTargets == 1 ? " target)" : " targets)"));
    if (!m_plan.targets.empty())
      m_plan.Add(IssueKind::kNote, file,
                 "LUN numbers are the service's: the LUNs of a new target are created in tgt's order and take the "
                 "lowest free numbers (from 1 on tgtd, from 0 on the kernel target)");
    if (m_newSerials > 0)
      m_plan.Add(IssueKind::kNote, file,
                 "unit serials are the service's (serial prefix " + m_options.serialPrefix +
                     "): initiators see new serials and device identifiers for " + std::to_string(m_newSerials) +
                     (m_newSerials == 1 ? " LUN" : " LUNs") + " (udev's by-id names and multipath WWIDs change)");
  }

  ImportPlan& m_plan;
  const ImportOptions& m_options;
  std::string m_defaultDriver = "iscsi";
  std::vector<std::string> m_hosts;  // of the target being planned
  std::set<const ConfEntry*> m_reported;
  size_t m_mappedTargets = 0;
  size_t m_mappings = 0;
  size_t m_newSerials = 0;
};

}  // namespace

ImportPlan ParseTgtConfigText(const std::string& file, const std::string& text, const ImportOptions& options) {
  ImportPlan plan;
  plan.format = "tgt";
  plan.file = file;
  std::vector<ConfEntry> top;
  ConfReader reader(plan);
  reader.PushTop(file);
  reader.ReadText(file, text, top, 0);
  if (plan.HasErrors()) return plan;
  TgtPlanner(plan, options).Top(top);
  if (plan.HasErrors()) plan.targets.clear();
  return plan;
}

ImportPlan ParseTgtConfig(const std::string& file, const ImportOptions& options) {
  std::string text, why;
  if (!ReadText(file, text, why)) {
    ImportPlan plan;
    plan.format = "tgt";
    plan.file = file;
    plan.Add(IssueKind::kError, SourcePlace{file, 0}, "cannot read it: " + why);
    return plan;
  }
  return ParseTgtConfigText(file, text, options);
}

}  // namespace WzCtl
