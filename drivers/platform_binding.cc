// Loading and starting the platform driver library.
#include "hostlib/log/LogWriter.h"
#include "service/WzScsiSrv.h"

std::string WzScsiSrv::GetPlatformLibName() const { return WZSCSI_PLATFORM_LIB_NAME; }

CRnError WzScsiSrv::InitPlatform() {
  WZ_TRACE_SCOPE(1);
  if (CRnError e = m_platformLib.Load(GetPlatformLibName(), false)) {
    std::string text = e.AsString();
    return e.Push(FX_HERE, "Failed to load platform library. Error[%s]", text.c_str());
  }
  void* entry = nullptr;
  if (CRnError e = m_platformLib.GetAddress(WZSCSI_PLATFORM_ENTRY, &entry)) {
    CRnError freed = m_platformLib.Free();
    (void)freed;
    WZLOG(-1, "Failed to GetAddress of %s function", WZSCSI_PLATFORM_ENTRY);
    return e.Push(FX_HERE);
  }
  WzScsiSrvPlatform* platform = reinterpret_cast<GetWZScsiPlatformObj_t>(entry)();
  if (platform == nullptr)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "%s of %s returned no platform object",
                                   WZSCSI_PLATFORM_ENTRY, GetPlatformLibName().c_str());
  m_ptrPlatform.reset(platform);
  if (CRnError e = m_ptrPlatform->Init()) return e.Push(FX_HERE);
  return CRnError();
}
