// Playback: rebuilds the configuration from the action log by passing every
// saved request to the handler that first served it, with no connection (no
// readiness test, no reply, no save). Target by target: the target, then its
// LUNs, then its mappings. Best effort: a file that cannot be replayed is
// logged and skipped.
//
// The whole replay holds the change gate exclusively, so a reload is one step
// for every other change.
#include <sys/stat.h>

#include <chrono>

#include "actionlog/action_log_layout.h"
#include "actionlog/target_dirs.h"
#include "hostlib/errors/no_throw.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/RnFiles.h"
#include "service/handler_frame.h"
#include "targets/target_names.h"

namespace Layout = WzScsiSrvActionLog;

namespace {

constexpr size_t kProgressEvery = 1000;

// True when a directory holds nothing saved: only temporary files of the
// durable writer and directories that hold nothing saved (what a create or
// a delete cut off by a crash leaves behind).
bool HoldsNothingSaved(const std::string& dir, int depth = 0) {
  CRnDirectory listing;
  if (depth > 2 || listing.Open(dir, "*", true).IsError()) return false;
  CRnDirEntry entry;
  bool end = false;
  while (listing.GetEntry(entry, end).IsSuccess() && !end) {
    if (Layout::IsTemporaryName(entry.name)) continue;
    std::string path = dir;
    struct stat st;
    if (FXPath::Append(path, entry.name, 0).IsError() || CRnFile::Stat(path, st).IsError() ||
        !S_ISDIR(st.st_mode) || !HoldsNothingSaved(path, depth + 1))
      return false;
  }
  return end;
}

std::string Join(std::string base, const std::string& name) {
  CRnError ignored = FXPath::Append(base, name, 0);
  (void)ignored;
  return base;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// On a reload, what is in place already is not a failure.
bool ReplayFailed(const CRnError& result, bool reload) {
  return result.IsError() && !(reload && result.GetCode() == HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
}

// The words of one kind of saved file in the log lines.
struct FolderKind {
  const char* tag;   // "TARGET", "LUN", "LUN MAPPING"
  const char* what;  // "target", "LUN", "Host LUN Mapping"
};
const FolderKind kTargetFile{"TARGET", "target"};
const FolderKind kLunFolder{"LUN", "LUN"};
const FolderKind kMappingFolder{"LUN MAPPING", "Host LUN Mapping"};

// Reads one saved request; logs what failed.
bool ReadSaved(const std::string& path, CNMessageBase& request, const FolderKind& words) {
  CRnFile in;
  if (CRnError e = in.Open(path, 0, 0x100)) {
    WZLOG(-1, "%s PLAYBACK ERROR!!! Failed to open %s xml config file [%s] with error [%s].", words.tag, words.what,
          path.c_str(), e.AsString().c_str());
    return false;
  }
  if (int status = request.readXmlFromFile(in)) {
    WZLOG(-1, "%s PLAYBACK ERROR!!! Failed to read %s xml config file=%s with error code ret=%d", words.tag,
          words.what, path.c_str(), status);
    return false;
  }
  return true;
}

}  // namespace

void WzScsiSrv::LogPlaybackProgress(const char* what) {
  const PlaybackStats& s = m_playbackStats;
  const double seconds = static_cast<double>(NowMs() - s.startedMs) / 1000.0;
  WZLOG(0, "%s: targets %zu (failed %zu), LUNs %zu (failed %zu), mappings %zu (failed %zu), already present %zu, %.1f s",
        what, s.targets, s.targetsFailed, s.luns, s.lunsFailed, s.mappings, s.mappingsFailed, s.present, seconds);
}

void WzScsiSrv::CountPlayback(size_t PlaybackStats::*counter) {
  ++(m_playbackStats.*counter);
  const PlaybackStats& s = m_playbackStats;
  const size_t done = s.targets + s.targetsFailed + s.luns + s.lunsFailed + s.mappings + s.mappingsFailed + s.present;
  if (done % kProgressEvery == 0) LogPlaybackProgress("Playback progress");
}

CRnError WzScsiSrv::Playback(bool reload) {
  if (m_sActionLogRoot.empty()) {
    WZLOG(0, "Nothing to playback");
    return CRnError();
  }
  WzWriterLock gate(&m_changeGate);
  m_playbackStats = PlaybackStats();
  m_playbackStats.startedMs = NowMs();
  // The replay runs inside a request; nothing may escape it.
  CRnError result = WzNoThrow(FX_HERE, "Playback", [&]() WZ_NO_THREAD_SAFETY_ANALYSIS { return PlaybackTargets(reload); });
  LogPlaybackProgress(reload ? "Reload playback finished" : "Playback finished");
  return result.IsError() ? result.Push(FX_HERE) : CRnError();
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
    CRnError ignored = PlaybackTarget(dir, reload);
    (void)ignored;
  }
  return listed.IsError() ? listed.Push(FX_HERE) : CRnError();
}

CRnError WzScsiSrv::PlaybackTarget(const std::string& dir, bool reload) {
  const std::string file = Layout::TargetFile(dir);
  if (!CRnPath::Exists(file)) {
    if (HoldsNothingSaved(dir)) {
      // A create or delete cut off by a crash (never answered): there is
      // nothing to restore.
      WZLOG(0, "Skipping target directory %s: it holds no saved request", dir.c_str());
      return CRnError();
    }
    WZLOG(-1, "TARGET PLAYBACK ERROR!!! Target xml file doesn't exist, path=%s", file.c_str());
    CountPlayback(&PlaybackStats::targetsFailed);
    return CRnError();
  }
  WzScsiServer::CreateTarget request;
  if (!ReadSaved(file, request, kTargetFile)) {
    CountPlayback(&PlaybackStats::targetsFailed);
    return CRnError();
  }
  CRnError created = CreateTarget(nullptr, &request);
  if (ReplayFailed(created, reload)) {
    WZLOG(-1, "TARGET PLAYBACK ERROR!!! Failed to create target, file=%s, target=%s, error=[%s]", file.c_str(),
          request.targetId().c_str(), created.AsString().c_str());
    CountPlayback(&PlaybackStats::targetsFailed);
    return CRnError();
  }
  CountPlayback(created.IsError() ? &PlaybackStats::present : &PlaybackStats::targets);

  if (CRnError e = PlaybackFolder(dir, PlaybackKind::LUNS, reload)) {
    WZLOG(-1, "TARGET PLAYBACK ERROR!!! Failed to create LUNs for target, file=%s, target=%s, error=[%s]", file.c_str(),
          request.targetId().c_str(), e.AsString().c_str());
    return CRnError();
  }
  if (CRnError e = PlaybackFolder(dir, PlaybackKind::MAPPINGS, reload))
    WZLOG(-1, "TARGET PLAYBACK ERROR!!! Failed to create Host LUN mappings for target, file=%s, target=%s, error=[%s].",
          file.c_str(), request.targetId().c_str(), e.AsString().c_str());
  return CRnError();
}

CRnError WzScsiSrv::PlaybackFolder(const std::string& targetDir, PlaybackKind kind, bool reload) {
  const FolderKind& words = kind == PlaybackKind::LUNS ? kLunFolder : kMappingFolder;
  const std::string dir = kind == PlaybackKind::LUNS ? Layout::LunsDir(targetDir) : Layout::MappingsDir(targetDir);
  if (!CRnPath::Exists(dir)) return CRnError();

  std::vector<std::string> names;
  bool opened = false;
  CRnError listed = ListActionLogDir(dir, names, opened);
  if (listed.IsError() && !opened) return listed.Push(FX_HERE, "Failed to open %s config dir=%s", words.what, dir.c_str());

  for (const std::string& name : names) {
    const std::string path = Join(dir, name);
    struct stat st;
    if (CRnError e = CRnFile::Stat(path, st)) {
      WZLOG(-1, "%s PLAYBACK ERROR!!! Failed to stat %s config file [%s] with error [%s]", words.tag, words.what,
            path.c_str(), e.AsString().c_str());
      CountPlayback(kind == PlaybackKind::LUNS ? &PlaybackStats::lunsFailed : &PlaybackStats::mappingsFailed);
      continue;
    }
    if (S_ISDIR(st.st_mode) || !Layout::IsSavedRequestName(name)) {
      WZLOG(-1, "%s PLAYBACK ERROR!!! SKipping, path=%s", words.tag, name.c_str());
      continue;
    }
    CRnError ignored = PlaybackOne(path, name, kind, reload);
    (void)ignored;
  }
  return listed.IsError() ? listed.Push(FX_HERE) : CRnError();
}

CRnError WzScsiSrv::PlaybackOne(const std::string& path, const std::string& name, PlaybackKind kind, bool reload) {
  const FolderKind& words = kind == PlaybackKind::LUNS ? kLunFolder : kMappingFolder;
  size_t PlaybackStats::*failed = kind == PlaybackKind::LUNS ? &PlaybackStats::lunsFailed : &PlaybackStats::mappingsFailed;
  size_t PlaybackStats::*done = kind == PlaybackKind::LUNS ? &PlaybackStats::luns : &PlaybackStats::mappings;

  if (kind == PlaybackKind::MAPPINGS) {
    WzScsiServer::MapLun2Host request;
    if (!ReadSaved(path, request, words)) {
      CountPlayback(failed);
      return CRnError();
    }
    CRnError mapped = MapHost(nullptr, &request);
    if (ReplayFailed(mapped, reload)) {
      WZLOG(-1, "%s PLAYBACK ERROR!!! Failed to create %s, file=[%s], target=[%s], error=[%s]", words.tag, words.what,
            path.c_str(), request.targetId().c_str(), mapped.AsString().c_str());
      CountPlayback(failed);
      return mapped;
    }
    CountPlayback(mapped.IsError() ? &PlaybackStats::present : done);
    return CRnError();
  }

  WzScsiServer::CreateLun request;
  if (!ReadSaved(path, request, words)) {
    CountPlayback(failed);
    return CRnError();
  }
  const std::string target = ToLowerTargetName(request.targetId());
  int32_t lunId = 0;
  if (!Layout::ParseLunFileName(name, lunId)) {
    WZLOG(-1, "%s PLAYBACK ERROR!!! Not a LUN file name, file=%s", words.tag, path.c_str());
    CountPlayback(failed);
    return CRnError();
  }
  if (reload) {
    WzReaderLock model(&m_modelMutex);
    auto found = m_mapTargets.find(target);
    if (found == m_mapTargets.end() || found->second->state != TargetSlot::LIVE) {
      WZLOG(-1, "%s PLAYBACK ERROR!!! Failed to create LUN, file=%s, target=%s. Target does not exist.", words.tag,
            path.c_str(), target.c_str());
      CountPlayback(failed);
      return CRnError();
    }
    if (found->second->target.luns.count(lunId) != 0) {
      CountPlayback(&PlaybackStats::present);
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
    CountPlayback(failed);
    return e;
  }
  CountPlayback(done);
  return CRnError();
}
