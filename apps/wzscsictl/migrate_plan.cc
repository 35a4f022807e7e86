#include "apps/wzscsictl/migrate_plan.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>
#include <tuple>

#include "hostlib/util/WzScsiUtils.h"

namespace WzCtl {

std::string SourcePlace::Text() const { return line > 0 ? file + ":" + std::to_string(line) : file; }

const char* IssueKindName(IssueKind kind) {
  switch (kind) {
    case IssueKind::kError:
      return "error";
    case IssueKind::kSkipped:
      return "not imported";
    case IssueKind::kIgnored:
      return "ignored";
    case IssueKind::kNote:
      return "note";
  }
  return "note";
}

bool ImportPlan::HasErrors() const {
  return std::any_of(issues.begin(), issues.end(), [](const ImportIssue& i) { return i.kind == IssueKind::kError; });
}

void ImportPlan::Add(IssueKind kind, const SourcePlace& where, const std::string& text) {
  issues.push_back(ImportIssue{kind, where, text});
}

bool ParsePathMapping(const std::string& text, std::pair<std::string, std::string>& out) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos) return false;
  std::string from = text.substr(0, eq), to = text.substr(eq + 1);
  if (from.empty() || to.empty() || from[0] != '/' || to[0] != '/') return false;
  while (from.size() > 1 && from.back() == '/') from.pop_back();
  while (to.size() > 1 && to.back() == '/') to.pop_back();
  out = {from, to};
  return true;
}

std::string MapPath(const std::vector<std::pair<std::string, std::string>>& map, const std::string& path) {
  for (const auto& m : map) {
    const std::string& from = m.first;
    if (path.compare(0, from.size(), from) != 0) continue;
    // Only whole components: /dev/sd must not turn /dev/sdb into /dev/<to>b.
    if (path.size() > from.size() && path[from.size()] != '/' && from != "/") continue;
    return m.second + path.substr(from.size());
  }
  return path;
}

bool ValidSerialPrefix(const std::string& prefix) {
  if (prefix.empty() || prefix.size() > 16) return false;
  return std::all_of(prefix.begin(), prefix.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
}

std::string LowerName(const std::string& name) {
  std::string out = name;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string ServicePrefixOf(const std::string& serial, const std::string& target) {
  if (serial.size() <= 12) return std::string();
  const std::string prefix = serial.substr(0, serial.size() - 12);
  if (!ValidSerialPrefix(prefix)) return std::string();
  // The 8 digits the service derives from the target's name id.
  const std::string lower = LowerName(target);
  std::string id;
  CRnError ignored = GetGUID(lower.data(), static_cast<int>(lower.size()), id);
  (void)ignored;
  std::string hex;
  for (char c : id) {
    if (c == '-') continue;
    hex.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    if (hex.size() == 8) break;
  }
  std::string tail = serial.substr(serial.size() - 12);
  for (char& c : tail) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (tail.compare(0, 8, hex) != 0) return std::string();
  if (!std::all_of(tail.begin() + 8, tail.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
    return std::string();
  return prefix;
}

namespace {

std::string UserProblem(const std::string& what, const std::string& user) {
  if (user.empty() || user.size() > 255) return what + " must hold 1 to 255 characters";
  for (char c : user) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || c == ',' || c == '#')
      return what + " " + user +
             " holds a character the service does not take (blank, ',', '#' or not printable ASCII)";
  }
  if (user.compare(0, 4, "NULL") == 0)
    return what + " " + user + " begins with NULL, which the kernel target takes as none";
  return std::string();
}

std::string SecretProblem(const std::string& what, const std::string& secret) {
  if (secret == "PLEASE_CORRECT_THE_PASSWORD")
    return what +
           " is tgt-admin's placeholder PLEASE_CORRECT_THE_PASSWORD (tgt-admin --dump never shows secrets): "
           "write the real secret into the file";
  if (secret.empty()) return what + " is missing";
  if (secret.size() < 12 || secret.size() > 16)
    return what + " has " + std::to_string(secret.size()) +
           " characters; the service takes 12 to 16: set a new one here and on the initiators";
  for (char c : secret) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x21 || u >= 0x7F) return what + " holds a character that is not printable ASCII";
  }
  if (secret.compare(0, 4, "NULL") == 0) return what + " begins with NULL, which the kernel target takes as none";
  return std::string();
}

}  // namespace

std::string ChapProblem(const PlannedChap& chap) {
  std::string p = UserProblem("the CHAP user", chap.user);
  if (p.empty()) p = SecretProblem("the secret of CHAP user " + chap.user, chap.secret);
  if (p.empty() && !chap.mutualUser.empty()) p = UserProblem("the mutual CHAP user", chap.mutualUser);
  if (p.empty() && !chap.mutualUser.empty())
    p = SecretProblem("the secret of mutual CHAP user " + chap.mutualUser, chap.mutualSecret);
  if (p.empty() && !chap.mutualUser.empty() && chap.mutualSecret == chap.secret)
    p = "the mutual secret is the same as the initiators' secret, which CHAP forbids";
  return p;
}

ServiceState ParseServiceState(const ReplyView& listing) {
  ServiceState state;
  for (const std::string& line : listing.results) {
    DetailRecord r;
    if (!ParseDetailRecord(line, r)) continue;
    if (r.kind == "target") {
      ServiceTarget& t = state.targets[r.Get("name")];
      t.name = r.Get("name");
      t.description = r.Get("desc");
      t.chap = r.Get("chap") == "on";
      t.chapUser = r.Get("chapUser");
      t.mutualUser = r.Get("mutualUser");
    } else if (r.kind == "lun") {
      ServiceTarget& t = state.targets[r.Get("target")];
      t.name = r.Get("target");
      ServiceLun lun;
      lun.number = std::atoll(r.Get("lun").c_str());
      lun.type = r.Get("type");
      lun.path = r.Get("path");
      lun.size = r.Get("size");
      lun.serial = r.Get("serial");
      for (const std::string& h : r.GetList("hosts")) lun.hosts.insert(h);
      t.luns.push_back(std::move(lun));
    }
  }
  for (auto& entry : state.targets)
    std::sort(entry.second.luns.begin(), entry.second.luns.end(),
              [](const ServiceLun& a, const ServiceLun& b) { return a.number < b.number; });
  return state;
}

size_t ImportOutcome::Count(ImportStep::Object object, ImportStep::State state) const {
  return static_cast<size_t>(std::count_if(
      steps.begin(), steps.end(), [&](const ImportStep& s) { return s.object == object && s.state == state; }));
}

namespace {

using Object = ImportStep::Object;
using State = ImportStep::State;

// The import's walk: each object in order, decided against the service's
// state and, unless dry, created; after a failure only listed.
class ImportRun {
 public:
  ImportRun(const ServiceState& state, ImportService* service) : m_state(state), m_service(service) {
    m_outcome.dryRun = service == nullptr;
  }

  void Target(const PlannedTarget& planned) {
    const std::string name = LowerName(planned.name);
    auto found = m_state.targets.find(name);
    const ServiceTarget* existing = found == m_state.targets.end() ? nullptr : &found->second;
    ImportStep step = Make(Object::kTarget, name);
    if (existing != nullptr) {
      step.state = State::kExists;
      m_outcome.steps.push_back(step);
    } else {
      Do(step, [&] { return m_service->CreateTarget(planned.name); });
    }
    // CHAP before any LUN and mapping: no host may log in without it.
    if (planned.hasChap) Chap(planned, existing);
    for (const PlannedLun& lun : planned.luns) Lun(planned, existing, lun);
  }

  ImportOutcome Take() { return std::move(m_outcome); }

 private:
  ImportStep Make(Object object, const std::string& target) const {
    ImportStep step;
    step.object = object;
    step.target = target;
    return step;
  }

  // Records step as created (or to create, or not reached) and runs send
  // when the run is live.
  template <class Send>
  bool Do(ImportStep& step, Send send) {
    if (m_outcome.failed) {
      step.state = State::kNotReached;
    } else if (m_service == nullptr) {
      step.state = State::kToCreate;
    } else if (CRnError e = send()) {
      step.state = State::kFailed;
      step.detail = e.AsString();
      m_outcome.failed = true;
    } else {
      step.state = State::kCreated;
    }
    m_outcome.steps.push_back(step);
    return step.state == State::kCreated;
  }

  void Chap(const PlannedTarget& planned, const ServiceTarget* existing) {
    ImportStep step = Make(Object::kChap, LowerName(planned.name));
    if (existing != nullptr && existing->chap) {
      // A secret cannot be compared through the listing; the user names can.
      if (existing->chapUser == planned.chap.user && existing->mutualUser == planned.chap.mutualUser) {
        step.state = State::kExists;
      } else {
        step.state = State::kDiffers;
        step.detail = "the target has CHAP user " + existing->chapUser +
                      (existing->mutualUser.empty() ? std::string() : ", mutual user " + existing->mutualUser);
      }
      m_outcome.steps.push_back(step);
      return;
    }
    Do(step, [&] { return m_service->SetChap(planned.name, planned.chap); });
  }

  void Lun(const PlannedTarget& planned, const ServiceTarget* existing, const PlannedLun& lun) {
    ImportStep step = Make(Object::kLun, LowerName(planned.name));
    step.lun = &lun;
    const ServiceLun* there = nullptr;
    if (existing != nullptr)
      for (const ServiceLun& l : existing->luns)
        if (l.path == lun.path) there = &l;
    if (there != nullptr) {
      step.state = State::kExists;
      step.lunNumber = there->number;
      m_outcome.steps.push_back(step);
    } else {
      int64_t number = -1;
      if (Do(step, [&] { return m_service->CreateLun(planned.name, lun, number); })) {
        m_outcome.steps.back().lunNumber = number;
        step.lunNumber = number;
      }
    }
    for (const std::string& host : lun.hosts) {
      ImportStep map = Make(Object::kMapping, step.target);
      map.lun = &lun;
      map.lunNumber = step.lunNumber;
      map.host = host;
      if (there != nullptr && there->hosts.count(host) != 0) {
        map.state = State::kExists;
        m_outcome.steps.push_back(map);
      } else {
        Do(map, [&] { return m_service->MapHost(planned.name, step.lunNumber, host); });
      }
    }
  }

  const ServiceState& m_state;
  ImportService* m_service;
  ImportOutcome m_outcome;
};

const char* StateWord(State state) {
  switch (state) {
    case State::kToCreate:
      return "create";
    case State::kCreated:
      return "created";
    case State::kExists:
      return "exists";
    case State::kDiffers:
      return "differs, left as is";
    case State::kFailed:
      return "FAILED";
    case State::kNotReached:
      return "not reached";
  }
  return "";
}

const char* ObjectWord(Object object) {
  switch (object) {
    case Object::kTarget:
      return "target";
    case Object::kChap:
      return "chap";
    case Object::kLun:
      return "lun";
    case Object::kMapping:
      return "mapping";
  }
  return "";
}

const PlannedTarget* FindPlanned(const ImportPlan& plan, const std::string& lowerName) {
  for (const PlannedTarget& t : plan.targets)
    if (LowerName(t.name) == lowerName) return &t;
  return nullptr;
}

std::string LunText(const ImportPlan& plan, const ImportStep& step) {
  std::string text = "LUN ";
  if (step.lunNumber >= 0) text += std::to_string(step.lunNumber) + " ";
  text += "on " + step.lun->path;
  if (step.lun->sourceLun >= 0) text += " (" + plan.format + " LUN " + std::to_string(step.lun->sourceLun) + ")";
  text += ", blkdev, serial prefix " + step.lun->serialPrefix;
  return text;
}

std::string ObjectText(const ImportPlan& plan, const ImportStep& step) {
  switch (step.object) {
    case Object::kTarget:
      return "target " + step.target;
    case Object::kChap: {
      const PlannedTarget* t = FindPlanned(plan, step.target);
      std::string text = "  CHAP user " + (t != nullptr ? t->chap.user : std::string());
      if (t != nullptr && !t->chap.mutualUser.empty()) text += ", mutual user " + t->chap.mutualUser;
      return text;
    }
    case Object::kLun:
      return "  " + LunText(plan, step);
    case Object::kMapping:
      return "    host " + step.host;
  }
  return "";
}

std::string Plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string CountsText(const ImportOutcome& o, State state) {
  std::vector<std::string> parts;
  const size_t t = o.Count(Object::kTarget, state), c = o.Count(Object::kChap, state), l = o.Count(Object::kLun, state),
               m = o.Count(Object::kMapping, state);
  if (t) parts.push_back(Plural(t, "target", "targets"));
  if (c) parts.push_back(Plural(c, "CHAP setting", "CHAP settings"));
  if (l) parts.push_back(Plural(l, "LUN", "LUNs"));
  if (m) parts.push_back(Plural(m, "host mapping", "host mappings"));
  if (parts.empty()) return "nothing";
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
  return text;
}

}  // namespace

ImportOutcome RunImport(const ImportPlan& plan, const ServiceState& state, ImportService* service) {
  ImportRun run(state, service);
  for (const PlannedTarget& t : plan.targets) run.Target(t);
  return run.Take();
}

namespace {

// The issues in the order of the files' lines (each file's own lines in
// order, whole-file notes last).
std::vector<ImportIssue> ByPlace(const ImportPlan& plan) {
  std::map<std::string, size_t> fileOrder;  // files in the order they first come
  for (const ImportIssue& i : plan.issues) fileOrder.emplace(i.where.file, fileOrder.size());
  auto key = [&](const ImportIssue& i) {
    // Whole-file notes (line 0) after the lines of their file.
    return std::make_tuple(fileOrder.at(i.where.file), i.where.line == 0, i.where.line);
  };
  std::vector<ImportIssue> issues = plan.issues;
  std::stable_sort(issues.begin(), issues.end(),
                   [&](const ImportIssue& a, const ImportIssue& b) { return key(a) < key(b); });
  return issues;
}

}  // namespace

std::string FormatIssues(const ImportPlan& plan, bool errorsOnly) {
  std::string out;
  for (const ImportIssue& i : ByPlace(plan))
    if (!errorsOnly || i.kind == IssueKind::kError)
      out += i.where.Text() + ": " + IssueKindName(i.kind) + ": " + i.text + "\n";
  return out;
}

std::string FormatImport(const ImportPlan& plan, const ImportOutcome& outcome, const std::string& unreachable) {
  std::string out = "Import of the " + plan.format + " configuration " + plan.file +
                    (outcome.dryRun ? " (dry run: nothing is changed)" : "") + "\n";
  if (!unreachable.empty())
    out += "The service's configuration is unknown (" + unreachable + "): every object is shown as to create.\n";
  std::vector<std::vector<std::string>> rows;
  for (const ImportStep& step : outcome.steps) {
    std::string state = StateWord(step.state);
    if (!step.detail.empty()) state += ": " + step.detail;
    rows.push_back({ObjectText(plan, step), state});
  }
  if (!rows.empty()) out += "\n" + FormatTable(rows);
  static const struct {
    IssueKind kind;
    const char* title;
  } kSections[] = {{IssueKind::kSkipped, "Not imported"},
                   {IssueKind::kIgnored, "Settings without an equivalent (ignored)"},
                   {IssueKind::kNote, "Carried over differently"}};
  const std::vector<ImportIssue> issues = ByPlace(plan);
  for (const auto& section : kSections) {
    std::string lines;
    for (const ImportIssue& i : issues)
      if (i.kind == section.kind) lines += "  " + i.where.Text() + ": " + i.text + "\n";
    if (!lines.empty()) out += std::string("\n") + section.title + ":\n" + lines;
  }
  out += "\n";
  if (outcome.dryRun) {
    out += "Would create " + CountsText(outcome, State::kToCreate) + ".";
  } else {
    out += "Created " + CountsText(outcome, State::kCreated) + ".";
  }
  const std::string existing = CountsText(outcome, State::kExists);
  if (existing != "nothing") out += " Already there: " + existing + ".";
  out += "\n";
  if (outcome.failed) {
    for (const ImportStep& s : outcome.steps)
      if (s.state == State::kFailed)
        out += "Stopped at " + ObjectText(plan, s).substr(s.object == Object::kTarget ? 0 : 2) + ": " + s.detail + "\n";
    out +=
        "What was created stays. Fix the cause and run the same command again: what exists is kept, the rest "
        "is created.\n";
  }
  return out;
}

std::string ImportJson(const ImportPlan& plan, const ImportOutcome& outcome, const std::string& unreachable) {
  using nlohmann::json;
  json j;
  j["format"] = plan.format;
  j["file"] = plan.file;
  j["dryRun"] = outcome.dryRun;
  j["serviceKnown"] = unreachable.empty();
  if (!unreachable.empty()) j["serviceError"] = unreachable;
  json steps = json::array();
  for (const ImportStep& s : outcome.steps) {
    json step{{"object", ObjectWord(s.object)}, {"state", StateWord(s.state)}, {"target", s.target}};
    if (s.lun != nullptr) {
      step["path"] = s.lun->path;
      step["sourcePath"] = s.lun->sourcePath;
      step["sourceLun"] = s.lun->sourceLun;
      step["serialPrefix"] = s.lun->serialPrefix;
      step["lun"] = s.lunNumber >= 0 ? json(s.lunNumber) : json(nullptr);
    }
    if (s.object == Object::kChap) {
      const PlannedTarget* t = FindPlanned(plan, s.target);
      step["user"] = t != nullptr ? t->chap.user : std::string();
      step["mutualUser"] = t != nullptr ? t->chap.mutualUser : std::string();
    }
    if (!s.host.empty()) step["host"] = s.host;
    if (!s.detail.empty()) step["detail"] = s.detail;
    steps.push_back(step);
  }
  j["steps"] = steps;
  json issues = json::array();
  for (const ImportIssue& i : plan.issues)
    issues.push_back(
        {{"kind", IssueKindName(i.kind)}, {"file", i.where.file}, {"line", i.where.line}, {"text", i.text}});
  j["issues"] = issues;
  j["failed"] = outcome.failed;
  // Replace: names come from files and may hold bytes that are not UTF-8.
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace WzCtl
