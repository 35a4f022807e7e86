#include "service/settings.h"

#include <charconv>

#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/util/FXString.h"
#include "hostlib/util/WzScsiUtils.h"

const char* const kWzScsiSrvSettingsSection = "Quellport";

namespace {

typedef WzScsiSrvSettings S;

WzScsiSrvSettingDef Number(const char* key, int S::*field, long long lo, long long hi, const char* doc) {
  return {key, WzScsiSrvSettingDef::NUMBER, field, lo, hi, nullptr, "", doc};
}

WzScsiSrvSettingDef Text(const char* key, std::string S::*field, const char* values, const char* doc) {
  return {key, WzScsiSrvSettingDef::TEXT, nullptr, 0, 0, field, values, doc};
}

WzScsiSrvSettingDef Choice(const char* key, std::string S::*field, const char* values, const char* doc) {
  return {key, WzScsiSrvSettingDef::CHOICE, nullptr, 0, 0, field, values, doc};
}

WzScsiSrvSettingDef List(const char* key, std::string S::*field, const char* values, const char* doc) {
  return {key, WzScsiSrvSettingDef::LIST, nullptr, 0, 0, field, values, doc};
}

CRnError Refused(const std::string& reason) {
  return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER, "%s", reason.c_str());
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

const std::vector<WzScsiSrvSettingDef>& WzScsiSrvSettingsTable() {
  static const std::vector<WzScsiSrvSettingDef> table = {
      Number("nWzScsiSrvInactivityTimeOutInSecs", &S::inactivityTimeoutSecs, 0, 2147483647,
             "seconds without a target and without a request before an on-demand daemon (OnDemand=yes) stops"),
      Text("sScsiSrvStagingLoc", &S::stagingLoc, "a directory",
           "where the saved configuration (the action log) lives: <this>/WzScsiSrvActionLogs; empty: the state "
           "directory's jobresults"),
      List("sPreInitializeTargets", &S::preInitializeTargets, "comma-separated target names",
           "targets replayed before all others at start"),
      Choice("sScsiEngine", &S::engine, "lio, tgt, auto",
             "the SCSI target engine: the kernel target, tgtd, or the kernel target when its configfs directory "
             "exists"),
      List("BackingStoreDirs", &S::backingStoreDirs, "comma-separated directories and block devices",
           "where new LUNs may be backed; empty: any file or device of this host"),
      Text("RbdConfFile", &S::rbdConfFile, "an absolute file name",
           "the Ceph configuration file RBD LUNs connect with (its keyring line included)"),
      Text("RbdUser", &S::rbdUser, "a Ceph user name without client.", "the Ceph user RBD LUNs connect as"),
      List("RbdPools", &S::rbdPools, "comma-separated Ceph pool names",
           "the pools whose images may back LUNs; empty: no RBD LUN"),
      Number("nEngineCheckIntervalSecs", &S::engineCheckIntervalSecs, 0, 2147483647,
             "seconds between two comparisons of the engine with the configuration; 0: never"),
      Choice("EngineCheckRepairs", &S::engineCheckRepairs, "yes, no",
             "whether that comparison repairs what differs of the service's own objects (no: it only logs it)"),
      Number("nEngineWatchPollMs", &S::engineWatchPollMs, 10, 2147483647,
             "milliseconds between two looks at whether the engine restarted"),
      Number("nMaxWorkerThreads", &S::maxWorkerThreads, 1, 1024, "the most requests the service works on at once"),
      Number("nStopTimeoutSecs", &S::stopTimeoutSecs, 0, 2147483647,
             "seconds a stop waits for a driver call in progress; 0: without limit"),
      List("ClusterEndpoints", &S::clusterEndpoints, "comma-separated URLs",
           "client URLs of the etcd members; empty: a gateway of its own"),
      Text("ClusterName", &S::clusterName, "1 to 128 letters, digits, -, _, .",
           "the cluster this gateway belongs to (needed with ClusterEndpoints)"),
      Text("ClusterTlsCaFile", &S::clusterTlsCaFile, "a file", "the CA that signed the etcd members' certificates"),
      Text("ClusterTlsCertFile", &S::clusterTlsCertFile, "a file", "this gateway's client certificate"),
      Text("ClusterTlsKeyFile", &S::clusterTlsKeyFile, "a file", "the client certificate's private key"),
      Number("ClusterRequestTimeoutMs", &S::clusterRequestTimeoutMs, 100, 60000,
             "milliseconds one call to etcd may take, failing over between members included"),
      Number("ClusterWatchDeadlineSecs", &S::clusterWatchDeadlineSecs, 1, 3600,
             "seconds the cluster may be ahead of the watch before it is opened again"),
      Number(
          "ClusterFenceAfterSecs", &S::clusterFenceAfterSecs, 0, 86400,
          "seconds without confirming the cluster's latest revision after which the gateway stops serving; 0: never"),
      Number("ClusterReadPageKeys", &S::clusterReadPageKeys, 1, 100000,
             "keys per answer when the cluster's configuration is read whole (a start, a resync)"),
  };
  return table;
}

std::string WzScsiSrvSettingDef::Values() const {
  return type == NUMBER ? std::to_string(lo) + " to " + std::to_string(hi) : std::string(values);
}

CRnError WzScsiSrvSettingDef::Apply(WzScsiSrvSettings& settings, const std::string& value) const {
  switch (type) {
    case NUMBER: {
      long long n = 0;
      const char* first = value.data();
      const char* last = first + value.size();
      const auto parsed = std::from_chars(first, last, n, 10);
      if (value.empty() || parsed.ec != std::errc() || parsed.ptr != last || n < lo || n > hi)
        return Refused("not a number from " + Values());
      settings.*number = static_cast<int>(n);
      return CRnError();
    }
    case LIST: {
      std::vector<std::string> items;
      if (WzScsiUtils::GetCommaSeperatedValues(value, items).IsError())
        return Refused("not a comma-separated list: an item holds a blank or a control character");
      break;
    }
    case CHOICE: {
      const std::string wanted = FXString::ToLowerAscii(Trimmed(value));
      if (wanted.empty()) return CRnError();
      std::vector<std::string> allowed;
      CRnError split = WzScsiUtils::GetCommaSeperatedValues(values, allowed);
      (void)split;
      for (const std::string& one : allowed) {
        if (one == wanted) {
          settings.*text = one;
          return CRnError();
        }
      }
      return Refused(std::string("not one of ") + values);
    }
    case TEXT:
      break;
  }
  settings.*text = value;
  return CRnError();
}

std::string WzScsiSrvSettingDef::Show(const WzScsiSrvSettings& settings) const {
  return type == NUMBER ? std::to_string(settings.*number) : settings.*text;
}

CRnError WzScsiSrvReadSettings(WzScsiSrvSettings& settings) {
  WzScsiSrvSettings read;
  for (const WzScsiSrvSettingDef& def : WzScsiSrvSettingsTable()) {
    std::string value;
    CRnError got = WZPlatformInfo::getString(kWzScsiSrvSettingsSection, def.key, value);
    if (got.GetCode() == HRESULT_FROM_WIN32(ERROR_NOT_FOUND_OR_NOT_ALLOWED)) continue;
    if (got) return got.Push(FX_HERE, "cannot read setting %s of section %s", def.key, kWzScsiSrvSettingsSection);
    if (CRnError e = def.Apply(read, value)) {
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER, "setting %s of section %s is \"%s\", %s",
                                     def.key, kWzScsiSrvSettingsSection, value.c_str(), e.GetText().c_str());
    }
    read.given.insert(def.key);
  }
  settings = read;
  return CRnError();
}
