// Moving a configuration into the service: what an import file describes
// (ImportPlan: targets, their CHAP, LUNs and the hosts mapped to each, plus
// every part of the file that cannot be carried over, with its file and
// line), what the service holds already (ServiceState, read from the
// detailed listing), and the import itself: each object created through the
// ordinary requests, in an order that never lets a host in before the
// target's CHAP is set, objects that exist already reported and left
// alone, and a failure that stops the run with the list of what it created.
//
// Thread safety: plain values and free functions; one thread per plan.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "apps/wzscsictl/ctl_lib.h"
#include "hostlib/errors/CRnError.h"

namespace WzCtl {

// A place in an import file ("file:line"; line 0 when the file as a whole).
struct SourcePlace {
  std::string file;
  int line = 0;
  std::string Text() const;
};

enum class IssueKind {
  kError,    // the file cannot be read as its format: nothing is imported
  kSkipped,  // an object is not imported (target, LUN, mapping, CHAP)
  kIgnored,  // a setting without an equivalent; its object is imported
  kNote,     // carried over, but differently: how
};
const char* IssueKindName(IssueKind kind);

struct ImportIssue {
  IssueKind kind = IssueKind::kNote;
  SourcePlace where;
  std::string text;
};

struct PlannedChap {
  std::string user, secret, mutualUser, mutualSecret;
};

struct PlannedLun {
  SourcePlace where;
  int64_t sourceLun = -1;  // its number in the source, for people
  std::string path;        // after --map-path
  std::string sourcePath;  // as the file has it
  std::string serialPrefix;
  std::vector<std::string> hosts;  // mapped to it, in the order to map
};

struct PlannedTarget {
  SourcePlace where;
  std::string name;  // as the file has it; the service keeps it in lower case
  bool hasChap = false;
  PlannedChap chap;
  std::vector<PlannedLun> luns;  // in the order to create (the source numbers)
};

// What the parsers of both formats are told.
struct ImportOptions {
  // The serial-number prefix of LUNs whose source serial is not one of the
  // service's own (a round trip keeps the service's prefixes).
  std::string serialPrefix;
  // --map-path FROM=TO: a backing path that starts with FROM (a whole path
  // component) starts with TO instead. The first match wins.
  std::vector<std::pair<std::string, std::string>> pathMap;
};

struct ImportPlan {
  std::string format;  // "tgt" or "lio"
  std::string file;
  std::vector<PlannedTarget> targets;
  std::vector<ImportIssue> issues;

  bool HasErrors() const;
  void Add(IssueKind kind, const SourcePlace& where, const std::string& text);
};

// --map-path FROM=TO; false when it is not of that form with two absolute
// paths.
bool ParsePathMapping(const std::string& text, std::pair<std::string, std::string>& out);
std::string MapPath(const std::vector<std::pair<std::string, std::string>>& map, const std::string& path);

// 1 to 16 ASCII letters and digits, what the service takes.
bool ValidSerialPrefix(const std::string& prefix);
// The prefix of a unit serial the service made for a LUN of target (its
// prefix, 8 hex digits of the target's name id, 4 of the LUN number), or ""
// when serial is not one of those.
std::string ServicePrefixOf(const std::string& serial, const std::string& target);
// Why the service would refuse these credentials ("" when it takes them):
// the rules of a CHAP request, checked before anything is created so that a
// target is never made without the CHAP it had.
std::string ChapProblem(const PlannedChap& chap);

// The service's configuration as the detailed listing ("ls") shows it.
struct ServiceLun {
  int64_t number = 0;
  std::string type;
  std::string path;
  std::string size;  // bytes, or "-" when the service cannot read it
  std::string serial;
  std::set<std::string> hosts;
};
struct ServiceTarget {
  std::string name;  // lower case
  std::string description;
  bool chap = false;
  std::string chapUser, mutualUser;
  std::vector<ServiceLun> luns;  // by number
};
struct ServiceState {
  std::map<std::string, ServiceTarget> targets;  // by name
};
ServiceState ParseServiceState(const ReplyView& listing);
std::string LowerName(const std::string& name);

// The service's side of an import, one request per call. CreateLun sets
// the number the service gave the new LUN.
class ImportService {
 public:
  virtual ~ImportService() = default;
  virtual CRnError CreateTarget(const std::string& target) = 0;
  virtual CRnError SetChap(const std::string& target, const PlannedChap& chap) = 0;
  virtual CRnError CreateLun(const std::string& target, const PlannedLun& lun, int64_t& number) = 0;
  virtual CRnError MapHost(const std::string& target, int64_t lun, const std::string& host) = 0;
};

// One object of the import and what became of it.
struct ImportStep {
  enum class Object { kTarget, kChap, kLun, kMapping };
  enum class State {
    kToCreate,   // dry run: would be created
    kCreated,    // created by this run
    kExists,     // there already: left alone
    kDiffers,    // there, but not as the file has it: left alone (detail says how)
    kFailed,     // its request failed: the run stopped here
    kNotReached  // after a failure: not tried
  };
  Object object = Object::kTarget;
  State state = State::kToCreate;
  std::string target;  // lower case
  const PlannedLun* lun = nullptr;
  int64_t lunNumber = -1;  // the service's number, when known
  std::string host;
  std::string detail;  // kDiffers: how; kFailed: the error
};

struct ImportOutcome {
  bool dryRun = true;
  std::vector<ImportStep> steps;
  bool failed = false;
  size_t Count(ImportStep::Object object, ImportStep::State state) const;
};

// Walks the plan against what the service holds: with service null a dry
// run (nothing is sent), else each missing object is created in turn and
// the first failure stops the run.
ImportOutcome RunImport(const ImportPlan& plan, const ServiceState& state, ImportService* service);

// For people: the issues, every object with its state, and a summary;
// unreachable is why the service's state is unknown ("" when it is known).
std::string FormatImport(const ImportPlan& plan, const ImportOutcome& outcome, const std::string& unreachable);
// The same as one JSON object.
std::string ImportJson(const ImportPlan& plan, const ImportOutcome& outcome, const std::string& unreachable);
// The issues alone, one line each ("file:line: kind: text"); errorsOnly:
// those of kind kError.
std::string FormatIssues(const ImportPlan& plan, bool errorsOnly = false);

}  // namespace WzCtl
