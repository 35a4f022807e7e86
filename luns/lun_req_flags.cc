#include "luns/lun_req_flags.h"

#include "hostlib/util/wz_environment.h"

#include <stdlib.h>

#include <sstream>
#include <thread>

#include "hostlib/log/LogWriter.h"

namespace {

struct FlagName {
  LunReqCtxFlags flag;
  const char* name;
};

const FlagName kFlagNames[] = {
    {CloseOnly, "CloseOnly"},
    {OpenOnly, "OpenOnly"},
    {RemoveImage, "RemoveImage"},
};

}  // namespace

std::string LunReqCtxFlagHelper::FlagToStr(int64_t flag) const {
  for (const FlagName& row : kFlagNames)
    if (row.flag == flag) return row.name;
  return std::string();
}

CtxFlagEnvHelper::CtxFlagEnvHelper() {
  std::ostringstream id;
  id << std::this_thread::get_id();
  m_sThreadId = id.str();
}

std::string CtxFlagEnvHelper::GetThrSpecificEnvVarName(const std::string& name) const {
  return name + "_" + m_sThreadId;
}

bool CtxFlagEnvSetter::SetEnv(const std::string& name, const std::string& value) const {
  return SetEnvCopy(GetThrSpecificEnvVarName(name), value);
}

bool CtxFlagEnvSetter::ResetEnv(const std::string& name) const {
  return SetEnvCopy(GetThrSpecificEnvVarName(name), std::string());
}

bool CtxFlagEnvSetter::SetEnvCopy(const std::string& varName, const std::string& value) const {
  // setenv copies both strings; the entry outlives this thread. Changes of
  // different targets run at once: the environment's lock keeps this from
  // overlapping another thread's read.
  return WzEnvironment::Set(varName, value);
}

LunReqFlagHandler::LunReqFlagHandler(int64_t flag, int64_t requestFlags, bool force) {
  if (!force && (requestFlags == 0 || (flag & requestFlags) == 0)) return;
  m_sName = m_helper.FlagToStr(flag);
  if (m_sName.empty()) {
    WZLOG(-1, "Unknown lun request context flag %lld", static_cast<long long>(flag));
    return;
  }
  m_bSet = m_setter.SetEnv(m_sName, "1");
  if (m_bSet)
    WZLOG(0, "Exported thread specific env var %s", m_sName.c_str());
  else
    WZLOG(-1, "Failed to set env var %s", m_sName.c_str());
}

LunReqFlagHandler::~LunReqFlagHandler() {
  if (!m_bSet) return;
  if (m_setter.ResetEnv(m_sName))
    WZLOG(0, "Un-set thread specific env var %s", m_sName.c_str());
  else
    WZLOG(-1, "Failed to set env var %s", m_sName.c_str());
  m_bSet = false;
}
