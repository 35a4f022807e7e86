// CreateTarget and DeleteTarget, the iSCSI name rule and the target look-ups.
#include <boost/algorithm/string/case_conv.hpp>
#include <locale>

#include "hostlib/log/LogWriter.h"
#include "hostlib/util/WzScsiUtils.h"
#include "service/WzScsiSrv.h"

#define ISCSI_TARGET_REGEX "^iqn\\.[a-z0-9.:-]+"

namespace {

std::string ToLower(const std::string& s) { return boost::algorithm::to_lower_copy(s, std::locale()); }

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == ':' || c == '-';
}

}  // namespace

// Whole-name match of ISCSI_TARGET_REGEX. Written as a scan rather than with
// std::regex: the standard library's matcher recurses once per character and
// overflows the stack on names of a hundred thousand characters, which a
// client can send.
bool IsValidScsiTargetName(const std::string& name) {
  if (name.size() < 5 || name.compare(0, 4, "iqn.") != 0) return false;
  for (size_t i = 4; i < name.size(); ++i)
    if (!IsNameChar(name[i])) return false;
  return true;
}

std::string GetTargetGUID(const std::string& name) {
  std::string id;
  CRnError ignored = GetGUID(name.data(), static_cast<int>(name.size()), id);
  (void)ignored;
  return id;
}

bool WzScsiSrv::TargetExists(const std::string& name) {
  TargetMap::iterator position;
  return TargetExists(name, position);
}

bool WzScsiSrv::TargetExists(const std::string& name, TargetMap::iterator& position) {
  std::lock_guard<std::recursive_mutex> model(m_modelMutex);
  position = m_mapTargets.find(ToLower(name));
  return position != m_mapTargets.end();
}

CRnError WzScsiSrv::CreateTarget(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  if (CRnError e = CheckClass(FX_HERE, message, WzScsiServer::kCreateTarget)) return e;
  auto* request = dynamic_cast<WzScsiServer::CreateTarget*>(message);
  if (request == nullptr) return CheckClass(FX_HERE, nullptr, WzScsiServer::kCreateTarget);
  WzScsiServer::CreateTargetRsp reply;

  CRnError result = RunHandler(conn, message, WzScsiServer::kCreateTarget, reply,
                               [&](WzScsiServer::Error& error, std::string& subject) -> CRnError {
    request->setTargetId(ToLower(request->targetId()));
    const std::string name = request->targetId();
    subject = name;
    WZLOG(1, "Creating Target: TargetID [%s]", name.c_str());

    if (!IsValidScsiTargetName(name)) {
      error.setErrorCode(WzScsiServer::RC_INVALID_ARGUMENT);
      error.setErrorMessage("Invalid iSCSI target name!");
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER,
                                     "Invalid iSCSI target name. Target name must match regex %s", ISCSI_TARGET_REGEX);
    }
    if (TargetExists(name)) {
      error.setErrorCode(WzScsiServer::RC_TARGET_EXISTS);
      error.setErrorMessage("Target already exists!");
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_ALREADY_EXISTS, "Target already exists!");
    }
    Target target(WzScsiSrvTarget(name, request->targetDesc()));
    if (CRnError e = m_ptrPlatform ? m_ptrPlatform->CreateTarget(target) : NoPlatformError(FX_HERE)) {
      error.setErrorCode(WzScsiServer::RC_PLATFORM_FAILED);
      error.setErrorMessage("Platform create target error");
      return e;
    }
    m_mapTargets[name] = target;
    m_nTargets = m_mapTargets.size();
    error.setErrorCode(WzScsiServer::RC_SUCCESS);
    return CRnError();
  });
  return result.IsError() ? result.Push(FX_HERE) : CRnError();
}

CRnError WzScsiSrv::DeleteTarget(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  if (CRnError e = CheckClass(FX_HERE, message, WzScsiServer::kDeleteTarget)) return e;
  auto* request = dynamic_cast<WzScsiServer::DeleteTarget*>(message);
  if (request == nullptr) return CheckClass(FX_HERE, nullptr, WzScsiServer::kDeleteTarget);
  WzScsiServer::DeleteTargetRsp reply;

  CRnError result = RunHandler(conn, message, WzScsiServer::kDeleteTarget, reply,
                               [&](WzScsiServer::Error& error, std::string& subject) -> CRnError {
    request->setTargetId(ToLower(request->targetId()));
    const std::string name = request->targetId();
    subject = name;
    WZLOG(1, "Deleting Target: TargetID [%s]", name.c_str());

    auto it = m_mapTargets.find(name);
    if (it == m_mapTargets.end()) {
      error.setErrorCode(WzScsiServer::RC_NOT_FOUND_OR_WRONG_STATE);
      error.setErrorMessage("Target doesn't exist!");
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Target doesn't exist!");
    }
    if (!it->second.luns.empty()) {
      error.setErrorCode(WzScsiServer::RC_HAS_DEPENDANTS);
      error.setErrorMessage("Target has configured LUNs");
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                     "Target can not be deleted as it has configured LUNs");
    }
    if (CRnError e = m_ptrPlatform ? m_ptrPlatform->DeleteTarget(it->second) : NoPlatformError(FX_HERE)) {
      error.setErrorCode(WzScsiServer::RC_PLATFORM_FAILED);
      error.setErrorMessage("Platform Delete Target Error");
      return e;
    }
    m_mapTargets.erase(it);
    m_nTargets = m_mapTargets.size();
    error.setErrorCode(WzScsiServer::RC_SUCCESS);
    return CRnError();
  });
  return result.IsError() ? result.Push(FX_HERE) : CRnError();
}
