// Playback: rebuilds the configuration from the action log by passing every
// saved request to the handler that first served it, with no connection (no
// readiness test, no reply, no save). Target by target: the target, then its
// LUNs, then its mappings. A file that cannot be replayed is logged,
// reported (wzscsictl status) and skipped; its object keeps its name or
// number taken, so that its saved files never attach to another object.
//
// The whole replay holds the change gate exclusively, so a reload is one step
// for every other change.
#include <sys/stat.h>

#include <chrono>
#include <ctime>

#include "actionlog/action_log_layout.h"
#include "actionlog/target_dirs.h"
#include "change/target_names.h"
#include "hostlib/errors/no_throw.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/FXString.h"
#include "hostlib/util/RnFiles.h"
#include "hostlib/util/wz_clock.h"
#include "service/handler_frame.h"

namespace Layout = WzScsiSrvActionLog;

// The words of one kind of saved file in the log lines, and where its
// failures count.
struct WzScsiSrvPlaybackWords {
  const char* tag;      // "TARGET", "LUN", "LUN MAPPING"
  const char* what;     // "target", "LUN", "Host LUN Mapping"
  const char* failure;  // "target", "LUN", "mapping" (status)
  size_t WzScsiSrv::ReplayReport::*failed;
};

namespace {

constexpr size_t kProgressEvery = 1000;

std::string Join(std::string base, const std::string& name) {
  CRnError ignored = FXPath::Append(base, name, 0);
  (void)ignored;
  return base;
}

// On a reload, what is in place already is not a failure.
bool ReplayFailed(const CRnError& result, bool reload) {
  return result.IsError() && !(reload && result.GetCode() == HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
}

const WzScsiSrvPlaybackWords kTargetFile{"TARGET", "target", "target", &WzScsiSrv::ReplayReport::targetsFailed};
const WzScsiSrvPlaybackWords kLunFolder{"LUN", "LUN", "LUN", &WzScsiSrv::ReplayReport::lunsFailed};
const WzScsiSrvPlaybackWords kMappingFolder{"LUN MAPPING", "Host LUN Mapping", "mapping",
                                            &WzScsiSrv::ReplayReport::mappingsFailed};
const WzScsiSrvPlaybackWords kAuthFile{"TARGET AUTH", "CHAP", "target", &WzScsiSrv::ReplayReport::targetsFailed};

// Reads one saved request; logs what failed and says why in reason.
bool ReadSaved(const std::string& path, CNMessageBase& request, const WzScsiSrvPlaybackWords& words,
               std::string& reason) {
  CRnFile in;
  if (CRnError e = in.Open(path, 0, 0x100)) {
    WZLOG(-1, "%s PLAYBACK ERROR!!! Failed to open %s xml config file [%s] with error [%s].", words.tag, words.what,
          path.c_str(), e.AsString().c_str());
    reason = "cannot be opened: " + e.AsString();
    return false;
  }
  if (int status = request.readXmlFromFile(in)) {
    WZLOG(-1, "%s PLAYBACK ERROR!!! Failed to read %s xml config file=%s with error code ret=%d", words.tag, words.what,
          path.c_str(), status);
    reason = std::string("is not a saved request of its kind: ") + CNXmlStatusText(status);
    return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> WzScsiSrv::GetTargetDirs() {
  std::vector<std::string> dirs;
  CRnError ignored = CollectTargetDirs(dirs);
  (void)ignored;
  return dirs;
}

CRnError WzScsiSrv::CollectTargetDirs(std::vector<std::string>& dirs) {
  return WzScsiSrvCollectTargetDirs(m_sActionLogRoot, m_settings.preInitializeTargets, dirs);
}

std::string WzScsiSrv::ReplayReport::Summary() const {
  return FXString::Format("restored %zu targets, %zu LUNs, %zu mappings; failed %zu targets, %zu LUNs, %zu mappings",
                          targets, luns, mappings, targetsFailed, lunsFailed, mappingsFailed);
}

WzScsiSrv::ReplayReport WzScsiSrv::LastReplay() {
  WzMutexLock report(&m_reportMutex);
  return m_report;
}

void WzScsiSrv::LogPlaybackProgress(const char* what) {
  WzMutexLock lock(&m_reportMutex);
  const ReplayReport& s = m_report;
  const double seconds = static_cast<double>(WzNowMs() - m_replayStartedMs) / 1000.0;
  WZLOG(0,
        "%s: targets %zu (failed %zu), LUNs %zu (failed %zu), mappings %zu (failed %zu), already present %zu, %.1f s",
        what, s.targets, s.targetsFailed, s.luns, s.lunsFailed, s.mappings, s.mappingsFailed, s.present, seconds);
}

void WzScsiSrv::CountPlayback(size_t ReplayReport::*counter) {
  size_t done;
  {
    WzMutexLock lock(&m_reportMutex);
    // The follower counts what it applies; the replay's counts stay its own.
    if (m_clusterRefusals != nullptr) return;
    ++(m_report.*counter);
    const ReplayReport& s = m_report;
    done = s.targets + s.targetsFailed + s.luns + s.lunsFailed + s.mappings + s.mappingsFailed + s.present;
  }
  if (done % kProgressEvery == 0) LogPlaybackProgress("Playback progress");
}

void WzScsiSrv::RecordReplayFailure(size_t ReplayReport::*counter, ReplayFailure failure) {
  {
    WzMutexLock lock(&m_reportMutex);
    if (failure.kind == "target" && !failure.file.empty())
      m_unrestoredTargets.insert(CRnPath::GetBaseName(failure.file.substr(0, failure.file.rfind('/'))));
    if (failure.kind == "LUN" && failure.lunId >= 0 && !failure.target.empty())
      m_unrestoredLuns[failure.target].insert(failure.lunId);
    if (m_clusterRefusals != nullptr) {
      failure.fromCluster = true;
      failure.reason = "refused from the cluster: " + failure.reason;
      m_clusterRefusals->push_back(failure);
    }
    if (m_report.failures.size() < kMaxReportedFailures) m_report.failures.push_back(std::move(failure));
  }
  CountPlayback(counter);
}

bool WzScsiSrv::IsUnrestoredTarget(const std::string& dirName) {
  WzMutexLock lock(&m_reportMutex);
  return m_unrestoredTargets.count(dirName) != 0;
}

bool WzScsiSrv::IsUnrestoredLun(const std::string& target, int32_t lunId) {
  WzMutexLock lock(&m_reportMutex);
  auto it = m_unrestoredLuns.find(target);
  return it != m_unrestoredLuns.end() && it->second.count(lunId) != 0;
}

void WzScsiSrv::ForgetUnrestored(const std::string& dirName, const std::string& target, int32_t lunId) {
  WzMutexLock lock(&m_reportMutex);
  // The status tells what is failed now: a deleted object is no longer.
  auto& failures = m_report.failures;
  for (auto it = failures.begin(); it != failures.end();) {
    const bool gone = !target.empty() && it->target == target && (lunId < 0 || it->lunId == lunId);
    if (!gone) {
      ++it;
      continue;
    }
    size_t& counter = it->kind == "target" ? m_report.targetsFailed
                      : it->kind == "LUN"  ? m_report.lunsFailed
                                           : m_report.mappingsFailed;
    if (counter > 0 && !it->fromCluster) --counter;
    it = failures.erase(it);
  }
  if (!dirName.empty()) m_unrestoredTargets.erase(dirName);
  if (lunId >= 0) {
    auto it = m_unrestoredLuns.find(target);
    if (it != m_unrestoredLuns.end()) it->second.erase(lunId);
  } else if (!target.empty()) {
    m_unrestoredLuns.erase(target);
  }
}

CRnError WzScsiSrv::Playback(bool reload) {
  if (m_sActionLogRoot.empty()) {
    WZLOG(0, "Nothing to playback");
    return CRnError();
  }
  // The replay runs inside a request; nothing may escape it. It holds the
  // change gate exclusively: a reload is one step for every other change.
  CRnError result = WzNoThrow(FX_HERE, "Playback", [&] {
    WzWriterLock gate(&m_changeGate);
    {
      WzMutexLock lock(&m_reportMutex);
      m_report = ReplayReport();
      m_report.ran = true;
      m_report.reload = reload;
      m_report.startedAt = static_cast<int64_t>(::time(nullptr));
      m_replayStartedMs = WzNowMs();
      // Everything is tried again.
      m_unrestoredTargets.clear();
      m_unrestoredLuns.clear();
    }
    const size_t leftovers = WzScsiSrvRemoveLeftovers(Layout::TargetsDir(m_sActionLogRoot), 2);
    if (leftovers != 0) WZLOG(0, "Removed %zu temporary files left by an interrupted change", leftovers);
    return PlaybackTargets(reload);
  });
  {
    WzMutexLock lock(&m_reportMutex);
    m_report.seconds = static_cast<double>(WzNowMs() - m_replayStartedMs) / 1000.0;
    if (result.IsError()) m_report.logError = result.AsString();
  }
  LogPlaybackProgress(reload ? "Reload playback finished" : "Playback finished");
  return result.IsError() ? result.Push(FX_HERE) : CRnError();
}

std::string WzScsiSrv::ReplayOutcomeText(bool reload, const CRnError& played) {
  const ReplayReport report = LastReplay();
  std::string text = report.Summary();
  if (!report.logError.empty()) text += "; the saved configuration could not be read whole: " + report.logError;
  (void)played;
  return std::string(reload ? "iSCSI service configuration reload failed: " : "Failed to play back service config: ") +
         text + " (wzscsictl status lists what failed; the log says why).";
}

CRnError WzScsiSrv::PlaybackTargets(bool reload) {
  std::vector<std::string> dirs;
  // A log that exists but cannot be read is a failed replay, not an empty
  // one: the directories found are replayed and the failure is returned.
  CRnError listed = CollectTargetDirs(dirs);
  if (dirs.empty()) {
    WZLOG(0, "No targets to playback.");
    return listed.IsError() ? listed.Push(FX_HERE) : CRnError();
  }
  for (const std::string& dir : dirs) {
    if (m_stopping.load()) {
      // The rest is replayed at the next start.
      WZLOG(0, "Replay stopped: the service is stopping");
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "the replay was stopped by a stop");
    }
    CRnError ignored = PlaybackTarget(dir, reload);
    (void)ignored;
  }
  return listed.IsError() ? listed.Push(FX_HERE) : CRnError();
}

CRnError WzScsiSrv::PlaybackTarget(const std::string& dir, bool reload) {
  const std::string file = Layout::TargetFile(dir);
  ReplayFailure failure;
  failure.kind = "target";
  failure.file = file;
  if (!CRnPath::Exists(file)) {
    if (WzScsiSrvHoldsNothingSaved(dir)) {
      // A create or delete cut off by a crash (never answered): there is
      // nothing to restore.
      WZLOG(0, "Skipping target directory %s: it holds no saved request", dir.c_str());
      return CRnError();
    }
    WZLOG(-1, "TARGET PLAYBACK ERROR!!! Target xml file doesn't exist, path=%s", file.c_str());
    failure.reason = "the target's file is missing, but its directory holds saved LUNs or mappings";
    RecordReplayFailure(&ReplayReport::targetsFailed, failure);
    return CRnError();
  }
  WzScsiServer::CreateTarget request;
  if (!ReadSaved(file, request, kTargetFile, failure.reason)) {
    RecordReplayFailure(&ReplayReport::targetsFailed, failure);
    return CRnError();
  }
  failure.target = ToLowerTargetName(request.targetId());
  if (Layout::TargetDirName(failure.target) != CRnPath::GetBaseName(dir)) {
    // A file copied into another target's directory: replaying it would
    // attach that directory's LUNs and mappings to this target.
    WZLOG(-1, "TARGET PLAYBACK ERROR!!! Failed to create target, file=%s, target=%s, error=[%s]", file.c_str(),
          failure.target.c_str(), "the file names another target than its directory");
    failure.reason = "the file names another target than its directory";
    RecordReplayFailure(&ReplayReport::targetsFailed, failure);
    return CRnError();
  }
  CRnError created = CreateTarget(nullptr, &request);
  if (ReplayFailed(created, reload)) {
    WZLOG(-1, "TARGET PLAYBACK ERROR!!! Failed to create target, file=%s, target=%s, error=[%s]", file.c_str(),
          request.targetId().c_str(), created.AsString().c_str());
    failure.reason = created.AsString();
    RecordReplayFailure(&ReplayReport::targetsFailed, failure);
    return CRnError();
  }
  // CHAP goes on before any LUN or binding, so no initiator gets in without
  // it. A target whose CHAP cannot be restored is taken down again and kept
  // as not restored: it would serve its disks without the credentials the
  // operator set. (On a reload, a target in place keeps serving as it did.)
  if (!PlaybackAuth(dir, failure.target) && created.IsSuccess()) {
    WzScsiServer::DeleteTarget undo;
    undo.setTargetId(failure.target);
    if (CRnError e = DeleteTarget(nullptr, &undo))
      WZLOG(-1, "TARGET AUTH PLAYBACK ERROR!!! Failed to take target %s down again: %s", failure.target.c_str(),
            e.AsString().c_str());
    return CRnError();
  }
  CountPlayback(created.IsError() ? &ReplayReport::present : &ReplayReport::targets);

  if (CRnError e = PlaybackLuns(dir, reload, failure.target)) {
    WZLOG(-1, "TARGET PLAYBACK ERROR!!! Failed to create LUNs for target, file=%s, target=%s, error=[%s]", file.c_str(),
          request.targetId().c_str(), e.AsString().c_str());
    return CRnError();
  }
  if (CRnError e = PlaybackLunMapping(dir, reload, failure.target))
    WZLOG(-1, "TARGET PLAYBACK ERROR!!! Failed to create Host LUN mappings for target, file=%s, target=%s, error=[%s].",
          file.c_str(), request.targetId().c_str(), e.AsString().c_str());
  return CRnError();
}

bool WzScsiSrv::PlaybackAuth(const std::string& dir, const std::string& target) {
  const std::string file = Layout::AuthFile(dir);
  if (!CRnPath::Exists(file)) return true;
  ReplayFailure failure;
  failure.kind = "target";
  failure.target = target;
  failure.file = file;
  WzScsiServer::SetTargetAuth request;
  if (ReadSaved(file, request, kAuthFile, failure.reason)) {
    if (ToLowerTargetName(request.targetId()) != target) {
      failure.reason = "the file names another target than its directory";
    } else if (CRnError e = SetTargetAuth(nullptr, &request)) {
      failure.reason = "its CHAP credentials could not be set: " + e.AsString();
    } else {
      return true;
    }
  }
  WZLOG(-1, "TARGET AUTH PLAYBACK ERROR!!! Target %s is not restored: %s, file=%s", target.c_str(),
        failure.reason.c_str(), file.c_str());
  RecordReplayFailure(&ReplayReport::targetsFailed, failure);
  return false;
}

CRnError WzScsiSrv::PlaybackLuns(const std::string& targetDir, bool reload, const std::string& target) {
  return PlaybackFolder(Layout::LunsDir(targetDir), target.empty() ? SavedTargetOf(targetDir) : target, kLunFolder,
                        &WzScsiSrv::PlaybackLun, reload);
}

CRnError WzScsiSrv::PlaybackLunMapping(const std::string& targetDir, bool reload, const std::string& target) {
  return PlaybackFolder(Layout::MappingsDir(targetDir), target.empty() ? SavedTargetOf(targetDir) : target,
                        kMappingFolder, &WzScsiSrv::PlaybackMapping, reload);
}

std::string WzScsiSrv::SavedTargetOf(const std::string& targetDir) {
  // Read quietly: the replay of the target itself says what is wrong with it.
  WzScsiServer::CreateTarget request;
  CRnFile in;
  if (in.Open(Layout::TargetFile(targetDir), 0, 0x100).IsError() || request.readXmlFromFile(in) != 0)
    return std::string();
  return ToLowerTargetName(request.targetId());
}

CRnError WzScsiSrv::PlaybackFolder(const std::string& dir, const std::string& target,
                                   const WzScsiSrvPlaybackWords& words, PlaybackFile one, bool reload) {
  if (!CRnPath::Exists(dir)) return CRnError();
  std::vector<std::string> names;
  bool opened = false;
  CRnError listed = ListActionLogDir(dir, names, opened);
  if (listed.IsError() && !opened)
    return listed.Push(FX_HERE, "Failed to open %s config dir=%s", words.what, dir.c_str());

  for (const std::string& name : names) {
    if (m_stopping.load()) break;
    const std::string path = Join(dir, name);
    struct stat st;
    if (CRnError e = CRnFile::Stat(path, st)) {
      WZLOG(-1, "%s PLAYBACK ERROR!!! Failed to stat %s config file [%s] with error [%s]", words.tag, words.what,
            path.c_str(), e.AsString().c_str());
      ReplayFailure failure;
      failure.kind = words.failure;
      failure.target = target;
      failure.file = path;
      failure.reason = "cannot be read: " + e.AsString();
      RecordReplayFailure(words.failed, failure);
      continue;
    }
    if (S_ISDIR(st.st_mode) || !Layout::IsSavedRequestName(name)) {
      WZLOG(-1, "%s PLAYBACK ERROR!!! SKipping, path=%s", words.tag, name.c_str());
      continue;
    }
    CRnError ignored = (this->*one)(path, target, reload);
    (void)ignored;
  }
  return listed.IsError() ? listed.Push(FX_HERE) : CRnError();
}

CRnError WzScsiSrv::PlaybackMapping(const std::string& path, const std::string& dirTarget, bool reload) {
  const WzScsiSrvPlaybackWords& words = kMappingFolder;
  const std::string name = CRnPath::GetBaseName(path);
  ReplayFailure failure;
  failure.kind = words.failure;
  failure.file = path;
  // Until the file says otherwise, the object is the folder's target's.
  failure.target = dirTarget;
  WzScsiServer::MapLun2Host request;
  if (!ReadSaved(path, request, words, failure.reason)) {
    RecordReplayFailure(words.failed, failure);
    return CRnError();
  }
  failure.lunId = static_cast<int32_t>(request.lunId());
  failure.host = request.hostId();
  // A mapping is replayed only onto the LUN restored from the saved request
  // it was made for: its name must be its own and its LUN restored.
  if (name != Layout::MappingFileName(failure.host, failure.lunId) ||
      ToLowerTargetName(request.targetId()) != dirTarget) {
    WZLOG(-1, "%s PLAYBACK ERROR!!! The file %s is not where this mapping is saved", words.tag, path.c_str());
    failure.reason = "the file names another host, LUN or target than its place in the saved configuration";
    RecordReplayFailure(words.failed, failure);
    return CRnError();
  }
  if (IsUnrestoredLun(failure.target, failure.lunId)) {
    WZLOG(-1, "%s PLAYBACK ERROR!!! Not mapping %s: LUN %d of target %s could not be restored", words.tag,
          failure.host.c_str(), failure.lunId, failure.target.c_str());
    failure.reason = "its LUN could not be restored";
    RecordReplayFailure(words.failed, failure);
    return CRnError();
  }
  CRnError mapped = MapHost(nullptr, &request);
  if (ReplayFailed(mapped, reload)) {
    WZLOG(-1, "%s PLAYBACK ERROR!!! Failed to create %s, file=[%s], target=[%s], error=[%s]", words.tag, words.what,
          path.c_str(), request.targetId().c_str(), mapped.AsString().c_str());
    failure.reason = mapped.AsString();
    RecordReplayFailure(words.failed, failure);
    return mapped;
  }
  CountPlayback(mapped.IsError() ? &ReplayReport::present : &ReplayReport::mappings);
  return CRnError();
}

CRnError WzScsiSrv::PlaybackLun(const std::string& path, const std::string& dirTarget, bool reload) {
  const WzScsiSrvPlaybackWords& words = kLunFolder;
  ReplayFailure failure;
  failure.kind = words.failure;
  failure.file = path;
  // Until the file says otherwise, the object is the folder's target's.
  failure.target = dirTarget;
  int32_t lunId = -1;
  const bool numbered = Layout::ParseLunFileName(CRnPath::GetBaseName(path), lunId);
  failure.lunId = lunId;
  WzScsiServer::CreateLun request;
  if (!ReadSaved(path, request, words, failure.reason)) {
    RecordReplayFailure(words.failed, failure);
    return CRnError();
  }
  const std::string target = ToLowerTargetName(request.targetId());
  if (!numbered) {
    WZLOG(-1, "%s PLAYBACK ERROR!!! Not a LUN file name, file=%s", words.tag, path.c_str());
    failure.reason = "the file's name is not a LUN number";
    RecordReplayFailure(words.failed, failure);
    return CRnError();
  }
  if (target != dirTarget) {
    // Its number stays taken on the target whose directory holds it.
    failure.reason = "the file names another target than its directory";
    WZLOG(-1, "%s PLAYBACK ERROR!!! Failed to create LUN, file=%s, target=%s with error [%s].", words.tag, path.c_str(),
          target.c_str(), failure.reason.c_str());
    RecordReplayFailure(words.failed, failure);
    return CRnError();
  }
  if (reload) {
    bool present = false;
    {
      WzReaderLock model(&m_modelMutex);
      auto found = m_mapTargets.find(target);
      present = found != m_mapTargets.end() && found->second->state == TargetSlot::LIVE &&
                found->second->target.luns.count(lunId) != 0;
    }
    if (present) {
      CountPlayback(&ReplayReport::present);
      return CRnError();
    }
  }
  // The backing store learns that it re-attaches an existing LUN; the saved
  // file keeps the request as it was.
  WzScsiServer::BStoreDesc& desc = request.bstoreDesc();
  desc.setArgs(desc.args() + " -usesnapinfocache " + " -playback ");
  if (CRnError e = CreateLunInternal(nullptr, &request, lunId)) {
    WZLOG(-1, "%s PLAYBACK ERROR!!! Failed to create LUN, file=%s, target=%s with error [%s].", words.tag, path.c_str(),
          target.c_str(), e.AsString().c_str());
    failure.reason = e.AsString();
    RecordReplayFailure(words.failed, failure);
    return e;
  }
  CountPlayback(&ReplayReport::luns);
  return CRnError();
}
