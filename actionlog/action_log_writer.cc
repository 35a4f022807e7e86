// LogAction: records a successful change in the action-log tree
//   <root>/Targets/T/T.wzf, Targets/T/Luns/NNNN.wzf, Targets/T/Mappings/H_NNNN.wzf
// Every file is replaced atomically (temporary file, fsync, rename, fsync of
// the directory) and new directories are made durable in their parents, so a
// crash leaves the old file or the new one, never a torn or mixed one.
#include <boost/algorithm/string/case_conv.hpp>
#include <fcntl.h>
#include <locale>

#include "hostlib/log/LogWriter.h"
#include "hostlib/util/FXString.h"
#include "hostlib/util/RnFiles.h"
#include "hostlib/util/WzScsiUtils.h"
#include "service/WzScsiSrv.h"

namespace {

const char* const kTargetsDir = "Targets";
const char* const kLunsDir = "Luns";
const char* const kMappingsDir = "Mappings";
const char* const kExt = ".wzf";

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

// Replaces the file at path with the request's XML.
CRnError WriteRequest(const CNMessageBase& request, const std::string& path) {
  std::string text;
  // A saved request must be one that replay can read back.
  if (request.serialize(text, false) != 0 || text.size() > CNMessageBase::kMaxXmlBytes)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Failed to serialize the Message, MsgId=%lu",
                                   static_cast<unsigned long>(request.getTagID()));
  if (WzLogEnabled(6)) WZLOG(6, "%s", text.c_str());
  CRnAtomicFile file;
  if (CRnError e = file.Open(path, 0644)) return e.Push(FX_HERE);
  int status = request.dumpXmlToFile(file.File());
  if (status != 0)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Failed save message to file, file=%s, error=%d",
                                   path.c_str(), status);
  if (CRnError e = file.Commit()) return e.Push(FX_HERE);
  return CRnError();
}

// Removes one saved file; a failure is only logged (the change it recorded
// is already undone in the model). syncDir: make the removal durable now
// (not needed when the directory itself goes next).
void RemoveSaved(const std::string& path, bool syncDir = true) {
  WZLOG(0, "Removing, %s", path.c_str());
  if (CRnError e = FXFile::RemoveFile(path)) {
    WZLOG(-1, "failed to remove, file=%s", path.c_str());
    return;
  }
  if (!syncDir) return;
  if (CRnError e = FXFile::SyncDirectory(ParentOf(path)))
    WZLOG(-1, "failed to sync directory of %s, error=%s", path.c_str(), e.AsString().c_str());
}

std::string JoinAll(std::string base, std::initializer_list<std::string> parts) {
  for (const std::string& p : parts) {
    CRnError ignored = FXPath::Append(base, p, 0);
    (void)ignored;
  }
  return base;
}

// Lower-cases the target name field in the request and returns it.
std::string FoldTargetName(WzScsiServer::Message& request, const WzScsiServer::FieldId& field) {
  std::string name = boost::algorithm::to_lower_copy(request.GetString(field), std::locale());
  request.SetString(field, name);
  return name;
}

std::string TargetGuidLogged(const std::string& name) {
  std::string t = GetTargetGUID(name);
  WZLOG(0, "Target[%s=%s]", name.c_str(), t.c_str());
  return t;
}

std::string LunFileName(const std::string& dir, int32_t lunId) {
  return FXString::Format("%s%c%04d", dir.c_str(), '/', lunId) + kExt;
}

}  // namespace

CRnError WzScsiSrv::LogAction(CNMessageBase* requestBase, CNMessageBase* replyBase) {
  using namespace WzScsiServer;
  auto* request = dynamic_cast<Message*>(requestBase);
  if (request == nullptr)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER, "LogAction: not a message of this service");
  const uint32_t tag = request->getTagID();
  if (tag == kIoctl.tagId) return CRnError();

  if (tag == kCreateTarget.tagId) {
    std::string t = TargetGuidLogged(FoldTargetName(*request, Fields::kTargetId));
    std::string dir = JoinAll(m_sActionLogRoot, {kTargetsDir, t});
    // Luns/ and Mappings/ are made now, so that the target's first LUN and
    // first mapping each cost one fsync less. The fsync of the target
    // directory that puts its file in place covers both.
    std::vector<std::string> missing = MissingDirs(dir);
    for (const char* sub : {kLunsDir, kMappingsDir})
      if (CRnError e = CRnDirectory::Create(JoinAll(dir, {sub}), true)) return e.Push(FX_HERE);
    if (CRnError e = WriteRequest(*request, JoinAll(dir, {t + kExt}))) return e.Push(FX_HERE);
    if (CRnError e = SyncParents(missing)) return e.Push(FX_HERE);
    return CRnError();
  }
  if (tag == kDeleteTarget.tagId) {
    std::string t = TargetGuidLogged(FoldTargetName(*request, Fields::kTargetId));
    std::string dir = JoinAll(m_sActionLogRoot, {kTargetsDir, t});
    RemoveSaved(JoinAll(dir, {t + kExt}), false);
    if (CRnError e = CRnDirectory::Remove(dir, true, false)) {
      WZLOG(-1, "failed to floder, file=%s", dir.c_str());
      // The directory stays: at least the removal of its target file must last.
      CRnError synced = FXFile::SyncDirectory(dir);
      (void)synced;
    } else if (CRnError s = FXFile::SyncDirectory(ParentOf(dir))) {
      WZLOG(-1, "failed to sync directory of %s, error=%s", dir.c_str(), s.AsString().c_str());
    }
    return CRnError();
  }
  if (tag == kCreateLun.tagId) {
    auto* reply = dynamic_cast<CreateLunRsp*>(replyBase);
    if (reply == nullptr)
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER, "LogAction: CreateLun without its reply");
    std::string t = TargetGuidLogged(FoldTargetName(*request, Fields::kTargetId));
    std::string dir = JoinAll(m_sActionLogRoot, {kTargetsDir, t, kLunsDir});
    if (CRnError e = CreateDirDurably(dir)) return e.Push(FX_HERE);
    CRnError e = WriteRequest(*request, LunFileName(dir, static_cast<int32_t>(reply->lunId())));
    return e.IsError() ? e.Push(FX_HERE) : CRnError();
  }
  if (tag == kDeleteLun.tagId) {
    std::string t = TargetGuidLogged(FoldTargetName(*request, Fields::kTargetId));
    std::string dir = JoinAll(m_sActionLogRoot, {kTargetsDir, t, kLunsDir});
    RemoveSaved(LunFileName(dir, static_cast<int32_t>(request->GetInt(Fields::kDeleteLunId))));
    return CRnError();
  }
  if (tag == kMapLun2Host.tagId || tag == kUnMapLun2Host.tagId) {
    std::string name = FoldTargetName(*request, Fields::kMapTargetId);
    std::string hostId = request->GetString(Fields::kHostId);
    std::string h;
    CRnError ignored = GetGUID(hostId.data(), static_cast<int>(hostId.size()), h);
    (void)ignored;
    std::string base = FXString::Format("%s_%04d", h.c_str(), static_cast<int32_t>(request->GetInt(Fields::kMapLunId)));
    std::string t = TargetGuidLogged(name);
    std::string dir = JoinAll(m_sActionLogRoot, {kTargetsDir, t, kMappingsDir});
    if (tag == kUnMapLun2Host.tagId) {
      RemoveSaved(JoinAll(dir, {base + kExt}));
      return CRnError();
    }
    if (CRnError e = CreateDirDurably(dir)) return e.Push(FX_HERE);
    CRnError e = WriteRequest(*request, JoinAll(dir, {base + kExt}));
    return e.IsError() ? e.Push(FX_HERE) : CRnError();
  }
  return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER, "LogAction: message %s is not recorded",
                                 request->getTagName());
}
