#include "actionlog/action_log_writer.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "actionlog/action_log_layout.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/RnFiles.h"
#include "targets/target_names.h"

namespace Layout = WzScsiSrvActionLog;
using namespace WzScsiServer;

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

// Creates dir with its missing parents, durably.
CRnError CreateDirDurably(const std::string& dir) {
  std::vector<std::string> missing = MissingDirs(dir);
  if (CRnError e = CRnDirectory::Create(dir, true)) return e;
  return SyncParents(missing);
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
CRnError WriteRequest(const CNMessageBase& request, const std::string& path, int mode = 0644) {
  std::string text;
  if (CRnError e = Serialize(request, text)) return e;
  // Credentials never reach the log.
  if (WzLogEnabled(6) && request.getTagID() != kSetTargetAuth.tagId) WZLOG(6, "%s", text.c_str());
  CRnAtomicFile file;
  if (CRnError e = file.Open(path, mode)) return e.Push(FX_HERE);
  if (CRnError e = file.File().Write(text.data(), text.size())) return e.Push(FX_HERE);
  if (CRnError e = file.Commit()) return e.Push(FX_HERE);
  return CRnError();
}

std::string TargetOf(const Message& request) {
  const uint32_t tag = request.getTagID();
  const bool mapping = tag == kMapLun2Host.tagId || tag == kUnMapLun2Host.tagId;
  return ToLowerTargetName(request.GetString(mapping ? Fields::kMapTargetId : Fields::kTargetId));
}

int32_t LunOf(const Message& request, const FieldId& field) { return static_cast<int32_t>(request.GetInt(field)); }

}  // namespace

CRnError WzScsiSrvActionLogWriter::SaveText(const std::string& path, const std::string& text, int mode) const {
  if (CRnError e = CreateDirDurably(ParentOf(path))) return e.Push(FX_HERE);
  CRnAtomicFile file;
  if (CRnError e = file.Open(path, static_cast<mode_t>(mode))) return e.Push(FX_HERE);
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

CRnError WzScsiSrvActionLogWriter::Save(const Message& request, int32_t lunId) const {
  const uint32_t tag = request.getTagID();
  const std::string dir = Layout::TargetDir(m_root, TargetOf(request));
  if (tag == kCreateTarget.tagId) {
    // The LUN and mapping directories are made now, so that the first LUN and
    // first mapping each cost one fsync less. The fsync of the target
    // directory that puts its file in place covers both.
    std::vector<std::string> missing = MissingDirs(dir);
    for (const std::string& sub : {Layout::LunsDir(dir), Layout::MappingsDir(dir)})
      if (CRnError e = CRnDirectory::Create(sub, true)) return e.Push(FX_HERE);
    if (CRnError e = WriteRequest(request, Layout::TargetFile(dir))) return e.Push(FX_HERE);
    if (CRnError e = SyncParents(missing)) return e.Push(FX_HERE);
    return CRnError();
  }
  if (tag == kCreateLun.tagId) {
    if (CRnError e = CreateDirDurably(Layout::LunsDir(dir))) return e.Push(FX_HERE);
    CRnError e = WriteRequest(request, Layout::LunFile(dir, lunId));
    return e.IsError() ? e.Push(FX_HERE) : CRnError();
  }
  if (tag == kMapLun2Host.tagId) {
    if (CRnError e = CreateDirDurably(Layout::MappingsDir(dir))) return e.Push(FX_HERE);
    CRnError e = WriteRequest(
        request, Layout::MappingFile(dir, request.GetString(Fields::kHostId), LunOf(request, Fields::kMapLunId)));
    return e.IsError() ? e.Push(FX_HERE) : CRnError();
  }
  if (tag == kSetTargetAuth.tagId) {
    CRnError e = WriteRequest(request, Layout::AuthFile(dir), 0600);
    return e.IsError() ? e.Push(FX_HERE) : CRnError();
  }
  return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER, "message %s is not saved", request.getTagName());
}

CRnError WzScsiSrvActionLogWriter::SetAside(const Message& request, WzScsiSrvSetAside& aside) const {
  aside = WzScsiSrvSetAside();
  const uint32_t tag = request.getTagID();
  const std::string dir = Layout::TargetDir(m_root, TargetOf(request));
  std::string from;
  if (tag == kDeleteTarget.tagId) {
    from = dir;
  } else if (tag == kDeleteLun.tagId) {
    from = Layout::LunFile(dir, LunOf(request, Fields::kDeleteLunId));
  } else if (tag == kUnMapLun2Host.tagId) {
    from = Layout::MappingFile(dir, request.GetString(Fields::kHostId), LunOf(request, Fields::kMapLunId));
  } else {
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER, "message %s removes nothing saved",
                                   request.getTagName());
  }
  return SetAsidePath(from, aside);
}

CRnError WzScsiSrvActionLogWriter::SetAsidePath(const std::string& from, WzScsiSrvSetAside& aside) const {
  aside = WzScsiSrvSetAside();
  struct stat st;
  if (CRnFile::Stat(from, st).IsError()) return CRnError();
  aside.m_isDir = S_ISDIR(st.st_mode);
  const std::string parent = ParentOf(from);
  std::string to = parent;
  CRnError joined = FXPath::Append(to, std::string(FXFile::kTempPrefix) + CRnPath::GetBaseName(from) + kAsideSuffix, 0);
  (void)joined;
  // A leftover of a crash under the same name is garbage.
  if (CRnPath::Exists(to)) {
    CRnError ignored = CRnDirectory::Remove(to, true, false);
    if (ignored.IsError()) ignored = FXFile::RemoveFile(to);
  }
  if (RnFileSystem::Get().Rename(from.c_str(), to.c_str()) != 0)
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
  CRnError removed = aside.m_isDir ? CRnDirectory::Remove(aside.m_to, true, false) : FXFile::RemoveFile(aside.m_to);
  if (removed)
    WZLOG(0, "Could not delete %s (it is never replayed): %s", aside.m_to.c_str(), removed.AsString().c_str());
  aside = WzScsiSrvSetAside();
}
