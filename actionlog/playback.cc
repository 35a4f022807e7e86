// Playback: rebuilds the configuration from the action log by passing every
// saved request to the handler that first served it, with no connection (no
// readiness test, no reply, no save). Target by target: the target, then its
// LUNs, then its mappings. Best effort: a file that cannot be replayed is
// logged and skipped.
//
// The whole replay runs under the model lock, so a reload is one step for
// every other request; the nested handler calls take the same (recursive)
// lock again.
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <exception>

#include "hostlib/log/LogWriter.h"
#include "hostlib/util/FXString.h"
#include "hostlib/util/RnFiles.h"
#include "service/WzScsiSrv.h"

namespace {

// True when a directory holds nothing saved: only temporary files of the
// durable writer and directories that hold nothing saved (what a create or
// a delete cut off by a crash leaves behind).
bool HoldsNothingSaved(const std::string& dir, int depth = 0) {
  CRnDirectory listing;
  if (depth > 2 || listing.Open(dir, "*", true).IsError()) return false;
  CRnDirEntry entry;
  bool end = false;
  while (listing.GetEntry(entry, end).IsSuccess() && !end) {
    if (FXFile::IsTempName(entry.name)) continue;
    std::string path = dir;
    struct stat st;
    if (FXPath::Append(path, entry.name, 0).IsError() || CRnFile::Stat(path, st).IsError() ||
        !S_ISDIR(st.st_mode) || !HoldsNothingSaved(path, depth + 1))
      return false;
  }
  return end;
}

const char* const kLunsDir = "Luns";
const char* const kMappingsDir = "Mappings";
const char* const kExt = ".wzf";
constexpr size_t kProgressEvery = 1000;

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

bool IsDirectory(const struct stat& st) { return (st.st_mode & S_IFMT) == S_IFDIR; }

// Only the entry's own name decides whether it is a saved request, so that a
// ".wzf" somewhere in the root's path does not make every stray file one.
bool IsSavedRequestName(const std::string& name) { return FXString::FindString(name, kExt, true) != std::string::npos; }

// The LUN number of a file such as 0007.wzf.
int32_t LunNumberOf(const std::string& name) {
  std::string digits = name.substr(0, FXString::FindString(name, kExt, true));
  return static_cast<int32_t>(std::atoi(digits.c_str()));
}

}  // namespace

void WzScsiSrv::LogPlaybackProgress(const char* what) {
  const PlaybackStats& s = m_playbackStats;
  const double seconds = static_cast<double>(NowMs() - s.startedMs) / 1000.0;
  WZLOG(0, "%s: targets %zu (failed %zu), LUNs %zu (failed %zu), mappings %zu (failed %zu), already present %zu, %.1f s",
        what, s.targets, s.targetsFailed, s.luns, s.lunsFailed, s.mappings, s.mappingsFailed, s.present, seconds);
}

void WzScsiSrv::CountPlayback(size_t PlaybackStats::*counter) {
  std::lock_guard<std::recursive_mutex> model(m_modelMutex);
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
  std::lock_guard<std::recursive_mutex> model(m_modelMutex);
  m_playbackStats = PlaybackStats();
  m_playbackStats.startedMs = NowMs();
  CRnError result;
  // The replay runs inside a request; nothing may escape it.
  try {
    result = PlaybackTargets(reload);
  } catch (const std::exception& ex) {
    result = FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Playback stopped by exception: %s",
                                     ex.what());
  } catch (...) {
    result = FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Playback stopped by an unknown exception");
  }
  LogPlaybackProgress(reload ? "Reload playback finished" : "Playback finished");
  return result.IsError() ? result.Push(FX_HERE) : CRnError();
}

CRnError WzScsiSrv::PlaybackTargets(bool reload) {
  std::lock_guard<std::recursive_mutex> model(m_modelMutex);
  std::vector<std::string> dirs;
  // A log that exists but cannot be read is a failed replay, not an empty
  // one: the directories found are replayed and the failure is returned.
  CRnError listed = CollectTargetDirs(dirs);
  if (dirs.empty()) {
    WZLOG(0, "No targets to playback.");
    return listed.IsError() ? listed.Push(FX_HERE) : CRnError();
  }

  for (const std::string& dir : dirs) {
    const std::string file = FXString::Format("%s%c%s.wzf", dir.c_str(), '/', CRnPath::GetBaseName(dir).c_str());
    if (!CRnPath::Exists(file)) {
      if (HoldsNothingSaved(dir)) {
        // A create or delete cut off by a crash (never answered): there is
        // nothing to restore.
        WZLOG(0, "Skipping target directory %s: it holds no saved request", dir.c_str());
        continue;
      }
      WZLOG(-1, "TARGET PLAYBACK ERROR!!! Target xml file doesn't exist, path=%s", file.c_str());
      CountPlayback(&PlaybackStats::targetsFailed);
      continue;
    }
    CRnFile in;
    if (CRnError e = in.Open(file, 0, 0x100)) {
      WZLOG(-1, "TARGET PLAYBACK ERROR!!! Failed to open target xml config file [%s] with error [%s].", file.c_str(),
            e.AsString().c_str());
      CountPlayback(&PlaybackStats::targetsFailed);
      continue;
    }
    WzScsiServer::CreateTarget request;
    if (int status = request.readXmlFromFile(in)) {
      WZLOG(-1, "TARGET PLAYBACK ERROR!!! Failed to read target xml config file=%s with error code ret=%d", file.c_str(),
            status);
      CountPlayback(&PlaybackStats::targetsFailed);
      continue;
    }

    CRnError created = CreateTarget(nullptr, &request);
    if (ReplayFailed(created, reload)) {
      WZLOG(-1, "TARGET PLAYBACK ERROR!!! Failed to create target, file=%s, target=%s, error=[%s]", file.c_str(),
            request.targetId().c_str(), created.AsString().c_str());
      CountPlayback(&PlaybackStats::targetsFailed);
      continue;
    }
    CountPlayback(created.IsError() ? &PlaybackStats::present : &PlaybackStats::targets);

    if (CRnError e = PlaybackLuns(dir, reload)) {
      WZLOG(-1, "TARGET PLAYBACK ERROR!!! Failed to create LUNs for target, file=%s, target=%s, error=[%s]", file.c_str(),
            request.targetId().c_str(), e.AsString().c_str());
      continue;
    }
    if (CRnError e = PlaybackLunMapping(dir, reload))
      WZLOG(-1, "TARGET PLAYBACK ERROR!!! Failed to create Host LUN mappings for target, file=%s, target=%s, error=[%s].",
            file.c_str(), request.targetId().c_str(), e.AsString().c_str());
  }
  return listed.IsError() ? listed.Push(FX_HERE) : CRnError();
}

CRnError WzScsiSrv::PlaybackLuns(const std::string& targetDir, bool reload) {
  std::lock_guard<std::recursive_mutex> model(m_modelMutex);
  const std::string dir = Join(targetDir, kLunsDir);
  if (!CRnPath::Exists(dir)) return CRnError();

  std::vector<std::string> names;
  bool opened = false;
  CRnError listed = ListActionLogDir(dir, names, opened);
  if (listed.IsError() && !opened) return listed.Push(FX_HERE, "Failed to open LUN config dir=%s", dir.c_str());

  for (const std::string& name : names) {
    const std::string path = Join(dir, name);
    struct stat st;
    if (CRnError e = CRnFile::Stat(path, st)) {
      WZLOG(-1, "LUN PLAYBACK ERROR!!! Failed to stat LUN config file [%s] with error [%s]", path.c_str(),
            e.AsString().c_str());
      CountPlayback(&PlaybackStats::lunsFailed);
      continue;
    }
    if (IsDirectory(st) || !IsSavedRequestName(name)) {
      WZLOG(-1, "LUN PLAYBACK ERROR!!! SKipping, path=%s", name.c_str());
      continue;
    }
    CRnFile in;
    if (CRnError e = in.Open(path, 0, 0x100)) {
      WZLOG(-1, "LUN PLAYBACK ERROR!!! Failed to open LUN xml config file [%s] with error [%s].", path.c_str(),
            e.AsString().c_str());
      CountPlayback(&PlaybackStats::lunsFailed);
      continue;
    }
    WzScsiServer::CreateLun request;
    if (int status = request.readXmlFromFile(in)) {
      WZLOG(-1, "LUN PLAYBACK ERROR!!! Failed to read LUN xml config file=%s with error code ret=%d", path.c_str(),
            status);
      CountPlayback(&PlaybackStats::lunsFailed);
      continue;
    }
    request.setTargetId(FXString::ToLowerAscii(request.targetId()));
    const std::string target = request.targetId();
    const int32_t lunId = LunNumberOf(name);

    if (reload) {
      auto found = m_mapTargets.find(target);
      if (found == m_mapTargets.end()) {
        WZLOG(-1, "LUN PLAYBACK ERROR!!! Failed to create LUN, file=%s, target=%s. Target does not exist.", path.c_str(),
              target.c_str());
        CountPlayback(&PlaybackStats::lunsFailed);
        continue;
      }
      if (found->second.luns.count(lunId) != 0) {
        CountPlayback(&PlaybackStats::present);
        continue;
      }
    }

    // The backing store learns that it re-attaches an existing LUN; the
    // saved file keeps the request as it was.
    WzScsiServer::BStoreDesc& desc = request.bstoreDesc();
    desc.setArgs(desc.args() + " -usesnapinfocache " + " -playback ");

    if (CRnError e = CreateLunInternal(nullptr, &request, lunId)) {
      WZLOG(-1, "LUN PLAYBACK ERROR!!! Failed to create LUN, file=%s, target=%s with error [%s].", path.c_str(),
            target.c_str(), e.AsString().c_str());
      CountPlayback(&PlaybackStats::lunsFailed);
      continue;
    }
    CountPlayback(&PlaybackStats::luns);
  }
  return listed.IsError() ? listed.Push(FX_HERE) : CRnError();
}

CRnError WzScsiSrv::PlaybackLunMapping(const std::string& targetDir, bool reload) {
  std::lock_guard<std::recursive_mutex> model(m_modelMutex);
  const std::string dir = Join(targetDir, kMappingsDir);
  if (!CRnPath::Exists(dir)) return CRnError();

  std::vector<std::string> names;
  bool opened = false;
  CRnError listed = ListActionLogDir(dir, names, opened);
  if (listed.IsError() && !opened) return listed.Push(FX_HERE, "Failed to open, dir=%s", dir.c_str());

  for (const std::string& name : names) {
    const std::string path = Join(dir, name);
    struct stat st;
    if (CRnError e = CRnFile::Stat(path, st)) {
      WZLOG(-1, "LUN MAPPING PLAYBACK ERROR!!! Failed to stat Host LUN Mapping config file [%s] with error [%s]",
            path.c_str(), e.AsString().c_str());
      CountPlayback(&PlaybackStats::mappingsFailed);
      continue;
    }
    if (IsDirectory(st) || !IsSavedRequestName(name)) {
      WZLOG(-1, "LUN MAPPING PLAYBACK ERROR!!! SKipping, path=%s", name.c_str());
      continue;
    }
    CRnFile in;
    if (CRnError e = in.Open(path, 0, 0x100)) {
      WZLOG(-1, "LUN MAPPING PLAYBACK ERROR!!! Failed to open Host LUN Mapping config file [%s] with error [%s]",
            path.c_str(), e.AsString().c_str());
      CountPlayback(&PlaybackStats::mappingsFailed);
      continue;
    }
    WzScsiServer::MapLun2Host request;
    if (int status = request.readXmlFromFile(in)) {
      WZLOG(-1, "LUN MAPPING PLAYBACK ERROR!!! Failed to read Host LUN Mapping config xml file=%s with error code ret=%d",
            path.c_str(), status);
      CountPlayback(&PlaybackStats::mappingsFailed);
      continue;
    }

    CRnError mapped = MapHost(nullptr, &request);
    if (ReplayFailed(mapped, reload)) {
      WZLOG(-1, "LUN MAPPING PLAYBACK ERROR!!! Failed to create Host LUN Mapping, file=[%s], target=[%s], error=[%s]",
            path.c_str(), request.targetId().c_str(), mapped.AsString().c_str());
      CountPlayback(&PlaybackStats::mappingsFailed);
      continue;
    }
    CountPlayback(mapped.IsError() ? &PlaybackStats::present : &PlaybackStats::mappings);
  }
  return listed.IsError() ? listed.Push(FX_HERE) : CRnError();
}
