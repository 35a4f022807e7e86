#include "actionlog/preinit_targets.h"

#include "actionlog/action_log_layout.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/WzScsiUtils.h"

CRnError GetPreInitTargetList(const std::string& value, std::vector<std::string>& names) {
  return WzScsiUtils::GetCommaSeperatedValues(value, names);
}

CRnError GetPreInitTargets(const std::string& value, TargetList& targets) {
  if (value.empty()) {
    targets.clear();
    return CRnError();
  }
  std::vector<std::string> names;
  if (CRnError e = GetPreInitTargetList(value, names)) return e.Push(FX_HERE, "Failed to read pre-init target list.");
  TargetList ids;
  for (const std::string& name : names) {
    std::string id = WzScsiSrvActionLog::TargetDirName(name);
    WZLOG(0, "Pre Initialize Target [%s=%s]", name.c_str(), id.c_str());
    ids.insert(id);
  }
  targets.swap(ids);
  return CRnError();
}
