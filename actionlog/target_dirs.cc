// Target directory discovery: which directories under <root>/Targets are
// replayed, and in which order (the pre-initialised targets of the
// configuration first).
#include <sys/stat.h>

#include <set>

#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/RnFiles.h"
#include "hostlib/util/WzScsiUtils.h"
#include "service/WzScsiSrv.h"

namespace {
const char* const kSection = "Quellport";
const char* const kPreInitKey = "sPreInitializeTargets";
const char* const kTargetsDir = "Targets";

std::string Join(std::string base, const std::string& name) {
  CRnError ignored = FXPath::Append(base, name, 0);
  (void)ignored;
  return base;
}
}  // namespace

std::string GetPreInitTargetRegKeyValue() {
  std::string value;
  // A missing key leaves the value empty, which means "no list".
  CRnError ignored = WZPlatformInfo::getString(kSection, kPreInitKey, value);
  (void)ignored;
  return value;
}

CRnError GetPreInitTargetList(const std::string& value, std::vector<std::string>& names) {
  return WzScsiUtils::GetCommaSeperatedValues(value, names);
}

CRnError GetPreInitTargets(TargetList& targets) {
  const std::string value = GetPreInitTargetRegKeyValue();
  if (value.empty()) {
    targets.clear();
    return CRnError();
  }
  std::vector<std::string> names;
  if (CRnError e = GetPreInitTargetList(value, names)) return e.Push(FX_HERE, "Failed to read pre-init target list.");
  TargetList ids;
  for (const std::string& name : names) {
    // No case folding: the administrator must name the target as stored.
    std::string id = GetTargetGUID(name);
    WZLOG(0, "Pre Initialize Target [%s=%s]", name.c_str(), id.c_str());
    ids.insert(id);
  }
  targets.swap(ids);
  return CRnError();
}

CRnError WzScsiSrv::ListActionLogDir(const std::string& dir, std::vector<std::string>& names, bool& opened) {
  names.clear();
  opened = false;
  CRnDirectory listing;
  if (CRnError e = listing.Open(dir, "*", true)) return e;
  opened = true;
  for (;;) {
    CRnDirEntry entry;
    bool end = false;
    if (CRnError e = listing.GetEntry(entry, end)) return e.Push(FX_HERE);
    if (end) return CRnError();
    // A temporary file is a save in progress or one a crash interrupted;
    // the file it was to replace (if any) is the one that counts.
    if (FXFile::IsTempName(entry.name)) continue;
    names.push_back(entry.name);
  }
}

std::vector<std::string> WzScsiSrv::GetTargetDirs() {
  std::vector<std::string> dirs;
  CRnError ignored = CollectTargetDirs(dirs);
  (void)ignored;
  return dirs;
}

CRnError WzScsiSrv::CollectTargetDirs(std::vector<std::string>& dirs) {
  dirs.clear();
  const std::string targetsDir = Join(m_sActionLogRoot, kTargetsDir);
  if (!CRnPath::Exists(targetsDir)) {
    // A machine that never saved a target: nothing to replay, and no fault.
    WZLOG(-1, "Targets action log directory [%s] does not exist.", targetsDir.c_str());
    return CRnError();
  }

  std::vector<std::string> entries;
  bool opened = false;
  CRnError listed = ListActionLogDir(targetsDir, entries, opened);
  if (listed.IsError() && !opened) {
    WZLOG(-1, "Failed to open target action log dir=%s with error [%s]", targetsDir.c_str(), listed.AsString().c_str());
    return listed.Push(FX_HERE);
  }
  if (listed) WZLOG(-1, "Failed to get targets director entry with error [%s]", listed.AsString().c_str());

  std::vector<std::string> names;
  for (const std::string& name : entries) {
    struct stat st;
    if (CRnError e = CRnFile::Stat(Join(targetsDir, name), st)) {
      WZLOG(-1, "Failed to stat dir in Targets folder with error [%s]", e.AsString().c_str());
      continue;
    }
    if (S_ISDIR(st.st_mode))
      names.push_back(name);
    else
      WZLOG(-1, "Skipping, non dir path entry=%s", name.c_str());
  }
  if (names.empty()) return listed.IsError() ? listed.Push(FX_HERE) : CRnError();

  TargetList preInit;
  if (CRnError e = GetPreInitTargets(preInit)) {
    // Bringing targets up in another order than the administrator asked
    // for is not an option: nothing is replayed.
    WZLOG(-1, "Failed to get pre-init target list with error [%s]", e.AsString().c_str());
    return e.Push(FX_HERE);
  }
  if (!preInit.empty()) {
    std::set<std::string> rest(names.begin(), names.end());
    names.clear();
    for (const std::string& id : preInit) {
      auto found = rest.find(id);
      if (found == rest.end()) {
        WZLOG(-1, "Pre Init target [%s] not found in target action log dir [%s]", id.c_str(), targetsDir.c_str());
        continue;
      }
      names.push_back(id);
      rest.erase(found);
    }
    names.insert(names.end(), rest.begin(), rest.end());
  }

  dirs.reserve(names.size());
  for (const std::string& name : names) dirs.push_back(Join(targetsDir, name));
  return listed.IsError() ? listed.Push(FX_HERE) : CRnError();
}
