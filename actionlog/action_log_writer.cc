#include "actionlog/action_log_writer.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "actionlog/action_log_layout.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/RnFiles.h"

namespace Layout = WzScsiSrvActionLog;

namespace {

const char* const kAsideSuffix = ".del";

std::string ParentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The directories from dir up that do not exist yet, dir first.
std::vector<std::string> MissingDirs(const std::string& dir) {
  std::vector<std::string> missing;
  for (std::string p = dir; !p.empty() && p != "/" && p != "." && !CRnPath::Exists(p); p = ParentOf(p))
    missing.push_back(p);
  return missing;
}

// fsyncs the parent of every directory in created, so that the new entries
// survive a crash.
CRnError SyncParents(const std::vector<std::string>& created) {
  for (const std::string& dir : created)
    if (CRnError e = FXFile::SyncDirectory(ParentOf(dir))) return e;
  return CRnError();
}

// Makes the directories of missing (dir first, as MissingDirs lists them),
// the outermost first. One made meanwhile by another writer is no error.
CRnError CreateMissing(const std::vector<std::string>& missing) {
  for (auto dir = missing.rbegin(); dir != missing.rend(); ++dir)
    if (CRnError e = CRnDirectory::Create(*dir, false)) return e;
  return CRnError();
}

// Creates dir with its missing parents, durably.
CRnError CreateDirDurably(const std::string& dir) {
  std::vector<std::string> missing = MissingDirs(dir);
  if (CRnError e = CreateMissing(missing)) return e;
  return SyncParents(missing);
}

bool IsNoEntry(const CRnError& e) { return e.GetCode() == HRESULT_FROM_ERRNO(ENOENT); }

// Opens the temporary file of path. Its directory almost always exists, so
// it is made (durably) only when the open says that it is missing: a save
// costs no look at the directories above it.
CRnError OpenInDir(CRnAtomicFile& file, const std::string& path, int mode) {
  CRnError opened = file.Open(path, static_cast<mode_t>(mode));
  if (opened.IsSuccess() || !IsNoEntry(opened)) return opened;
  if (CRnError e = CreateDirDurably(ParentOf(path))) return e;
  return file.Open(path, static_cast<mode_t>(mode));
}

CRnError Serialize(const CNMessageBase& request, std::string& text) {
  if (request.serialize(text, false) != 0)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                   "Failed to serialize the Message, MsgId=%lu",
                                   static_cast<unsigned long>(request.getTagID()));
  // A saved request must be one that replay can read back.
  if (text.size() > CNMessageBase::kMaxXmlBytes)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER,
                                   "the request saves to %zu bytes, more than the limit of %zu", text.size(),
                                   CNMessageBase::kMaxXmlBytes);
  return CRnError();
}

// Replaces the file at path with the request's XML.
CRnError WriteRequest(const CNMessageBase& request, const std::string& path, int mode) {
  std::string text;
  if (CRnError e = Serialize(request, text)) return e;
  // A file for its owner's eyes only holds credentials, which never reach the log.
  if (WzLogEnabled(6) && (mode & 0077) != 0) WZLOG(6, "%s", text.c_str());
  CRnAtomicFile file;
  if (CRnError e = OpenInDir(file, path, mode)) return e.Push(FX_HERE);
  if (CRnError e = file.File().Write(text.data(), text.size())) return e.Push(FX_HERE);
  if (CRnError e = file.Commit()) return e.Push(FX_HERE);
  return CRnError();
}

}  // namespace

CRnError WzScsiSrvActionLogWriter::SaveText(const std::string& path, const std::string& text, int mode) const {
  CRnAtomicFile file;
  if (CRnError e = OpenInDir(file, path, mode)) return e.Push(FX_HERE);
  if (CRnError e = file.File().Write(text.data(), text.size())) return e.Push(FX_HERE);
  if (CRnError e = file.Commit()) return e.Push(FX_HERE);
  return CRnError();
}

CRnError WzScsiSrvActionLogWriter::SavedText(const CNMessageBase& request, std::string& text) {
  return Serialize(request, text);
}

CRnError WzScsiSrvActionLogWriter::CheckSavable(const CNMessageBase& request) {
  std::string text;
  return Serialize(request, text);
}

CRnError WzScsiSrvActionLogWriter::Save(const std::string& path, const CNMessageBase& request, int mode) const {
  CRnError e = WriteRequest(request, path, mode);
  return e.IsError() ? e.Push(FX_HERE) : CRnError();
}

CRnError WzScsiSrvActionLogWriter::SaveTarget(const std::string& targetDir, const CNMessageBase& request) const {
  // The fsync of the target directory that puts its file in place covers
  // the LUN and mapping folders made with it.
  // A new target's directory is made without a look first; the folders
  // above it only when mkdir says that they are missing (the first target).
  std::vector<std::string> missing;
  if (RnFileSystem::Get().Mkdir(targetDir.c_str(), 0755) == 0) {
    missing.push_back(targetDir);
  } else if (errno == ENOENT) {
    missing = MissingDirs(targetDir);
    if (CRnError e = CreateMissing(missing)) return e.Push(FX_HERE);
  } else if (CRnError e = CRnDirectory::Create(targetDir, false)) {
    return e.Push(FX_HERE);  // in the way, or not allowed: anything but the directory itself
  }
  for (const std::string& sub : {Layout::LunsDir(targetDir), Layout::MappingsDir(targetDir)})
    if (CRnError e = CRnDirectory::Create(sub, false)) return e.Push(FX_HERE);
  if (CRnError e = WriteRequest(request, Layout::TargetFile(targetDir), 0644)) return e.Push(FX_HERE);
  if (CRnError e = SyncParents(missing)) return e.Push(FX_HERE);
  return CRnError();
}

CRnError WzScsiSrvActionLogWriter::SetAside(const std::string& from, WzScsiSrvSetAside& aside) const {
  aside = WzScsiSrvSetAside();
  const std::string parent = ParentOf(from);
  std::string to = parent;
  CRnError joined = FXPath::Append(to, std::string(FXFile::kTempPrefix) + CRnPath::GetBaseName(from) + kAsideSuffix, 0);
  (void)joined;
  IRnFileSystem& fs = RnFileSystem::Get();
  // Renamed at once: whether anything is saved there is what the rename
  // says, without a look before.
  int renamed = fs.Rename(from.c_str(), to.c_str());
  if (renamed != 0 && errno == ENOENT) return CRnError();  // nothing saved there
  if (renamed != 0 && (errno == EEXIST || errno == ENOTEMPTY || errno == EISDIR || errno == ENOTDIR)) {
    // A leftover of a crash under the same name is garbage.
    CRnError ignored = CRnDirectory::Remove(to, true, false);
    if (ignored.IsError()) ignored = FXFile::RemoveFile(to);
    renamed = fs.Rename(from.c_str(), to.c_str());
  }
  if (renamed != 0)
    return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "Failed to remove %s: %s", from.c_str(), strerror(errno));
  aside.m_from = from;
  aside.m_to = to;
  aside.m_dir = parent;
  if (CRnError e = FXFile::SyncDirectory(parent)) {
    // Not durable: put it back, so that nothing has changed.
    CRnError restored = Restore(aside);
    (void)restored;
    return e.Push(FX_HERE);
  }
  WZLOG(1, "Removed %s from the saved configuration", from.c_str());
  return CRnError();
}

CRnError WzScsiSrvActionLogWriter::Restore(WzScsiSrvSetAside& aside) const {
  if (!aside.Active()) return CRnError();
  if (RnFileSystem::Get().Rename(aside.m_to.c_str(), aside.m_from.c_str()) != 0)
    return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "Failed to put %s back: %s", aside.m_from.c_str(), strerror(errno));
  CRnError synced = FXFile::SyncDirectory(aside.m_dir);
  aside = WzScsiSrvSetAside();
  return synced.IsError() ? synced.Push(FX_HERE) : CRnError();
}

void WzScsiSrvActionLogWriter::Discard(WzScsiSrvSetAside& aside) const {
  if (!aside.Active()) return;
  // A file is unlinked; what unlink refuses is a target's directory.
  IRnFileSystem& fs = RnFileSystem::Get();
  CRnError removed;
  if (fs.Unlink(aside.m_to.c_str()) != 0) {
    if (errno == EISDIR || errno == EPERM) {
      // As a target's directory usually is (its file, its empty LUN and
      // mapping folders), it goes without being listed; anything more in it
      // and it goes as a tree.
      const std::string file = aside.m_to + "/" + CRnPath::GetBaseName(Layout::TargetFile(aside.m_from));
      (void)fs.Unlink(file.c_str());
      (void)fs.Rmdir(Layout::LunsDir(aside.m_to).c_str());
      (void)fs.Rmdir(Layout::MappingsDir(aside.m_to).c_str());
      if (fs.Rmdir(aside.m_to.c_str()) != 0) removed = CRnDirectory::Remove(aside.m_to, true, false);
    } else {
      removed = FXErrorUtil::ErrorErrNo(FX_HERE, errno, "Failed to remove %s: %s", aside.m_to.c_str(), strerror(errno));
    }
  }
  if (removed)
    WZLOG(0, "Could not delete %s (it is never replayed): %s", aside.m_to.c_str(), removed.AsString().c_str());
  aside = WzScsiSrvSetAside();
}
