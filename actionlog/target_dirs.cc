#include "actionlog/target_dirs.h"

#include <sys/stat.h>

#include <set>

#include "actionlog/action_log_layout.h"
#include "actionlog/preinit_targets.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/RnFiles.h"

namespace Layout = WzScsiSrvActionLog;

namespace {

std::string Join(std::string base, const std::string& name) {
  CRnError ignored = FXPath::Append(base, name, 0);
  (void)ignored;
  return base;
}

}  // namespace

CRnError ListActionLogDir(const std::string& dir, std::vector<std::string>& names, bool& opened) {
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
    if (Layout::IsTemporaryName(entry.name)) continue;
    names.push_back(entry.name);
  }
}

CRnError WzScsiSrvCollectTargetDirs(const std::string& root, const std::string& preInitTargets,
                                    std::vector<std::string>& dirs) {
  dirs.clear();
  const std::string targetsDir = Layout::TargetsDir(root);
  if (!CRnPath::Exists(targetsDir)) {
    // A machine that never saved a target: nothing to replay, and no fault.
    WZLOG(0, "Targets action log directory [%s] does not exist yet: nothing to replay.", targetsDir.c_str());
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
  if (CRnError e = GetPreInitTargets(preInitTargets, preInit)) {
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

bool WzScsiSrvHoldsNothingSaved(const std::string& dir, int depth) {
  CRnDirectory listing;
  if (depth > 2 || listing.Open(dir, "*", true).IsError()) return false;
  CRnDirEntry entry;
  bool end = false;
  while (listing.GetEntry(entry, end).IsSuccess() && !end) {
    if (Layout::IsTemporaryName(entry.name)) continue;
    struct stat st;
    const std::string path = Join(dir, entry.name);
    if (CRnFile::Stat(path, st).IsError() || !S_ISDIR(st.st_mode) || !WzScsiSrvHoldsNothingSaved(path, depth + 1))
      return false;
  }
  return end;
}

size_t WzScsiSrvRemoveLeftovers(const std::string& dir, int depth) {
  CRnDirectory listing;
  if (listing.Open(dir, "*", true).IsError()) return 0;
  size_t removed = 0;
  CRnDirEntry entry;
  bool end = false;
  std::vector<std::string> subdirs;
  while (listing.GetEntry(entry, end).IsSuccess() && !end) {
    const std::string path = Join(dir, entry.name);
    struct stat st;
    if (CRnFile::Stat(path, st).IsError()) continue;
    if (Layout::IsTemporaryName(entry.name)) {
      CRnError e = S_ISDIR(st.st_mode) ? CRnDirectory::Remove(path, true, false) : FXFile::RemoveFile(path);
      if (e.IsSuccess()) ++removed;
    } else if (S_ISDIR(st.st_mode) && depth > 0) {
      subdirs.push_back(path);
    }
  }
  for (const std::string& sub : subdirs) removed += WzScsiSrvRemoveLeftovers(sub, depth - 1);
  return removed;
}
