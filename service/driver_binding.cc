// The service object's drivers: the platform driver of the chosen engine,
// and the registry of backing-store libraries, loaded on first use and kept
// until the service is destroyed (the destructor calls Cleanup on each and
// unloads them in ascending type order).
#include "drivers/bstor_registry.h"
#include "drivers/engine_choice.h"
#include "drivers/platform_binding.h"
#include "hostlib/log/LogWriter.h"
#include "service/WzScsiSrv.h"

// The engine is a setting (drivers/engine_choice.h); a setting that names no
// engine gives "", which no library has, and InitPlatform reports why.
std::string WzScsiSrv::GetPlatformLibName() const {
  WzScsiSrvEngineChoice choice;
  return WzScsiSrvReadEngineChoice(m_settings.engine, choice).IsSuccess() ? choice.libName : std::string();
}

CRnError WzScsiSrv::InitPlatform() {
  WZ_TRACE_SCOPE(6);
  WzScsiSrvEngineChoice choice;
  if (CRnError e = WzScsiSrvReadEngineChoice(m_settings.engine, choice)) {
    std::string text = e.AsString();
    return e.Push(FX_HERE, "Failed to load platform library. Error[%s]", text.c_str());
  }
  WZLOG(0, "SCSI target engine: %s (%s), chosen by %s", choice.engine.c_str(), choice.libName.c_str(),
        choice.reason.c_str());
  WzScsiSrvPlatform* platform = nullptr;
  if (CRnError e = WzScsiSrvLoadPlatform(choice, m_platformLib, platform)) return e.Push(FX_HERE);
  m_ptrPlatform.reset(platform);
  if (CRnError e = m_ptrPlatform->Init()) return e.Push(FX_HERE);
  return CRnError();
}

WzScsiBStorOps* WzScsiSrv::GetUserDefBStoreOps(WzScsiServer::BStorType type) {
  WZ_TRACE_SCOPE(6);
  // Also reached from the XDR callback, outside any handler: the registry has
  // its own lock so that routing never waits for a replay.
  WzMutexLock registry(&m_bstorMutex);
  auto found = m_mapBStorOps.find(type);
  if (found != m_mapBStorOps.end()) return found->second.second;

  const std::string fileName = GetBStorLibName(type);
  if (fileName.empty()) {
    WZLOG(-1, "Failed to find library for Bstor type [%d]", static_cast<int>(type));
    return nullptr;
  }
  CRnLibrary library(false);
  WzScsiBStorOps* ops = GetBStoreOps(fileName, library);
  if (ops == nullptr) {
    // A library whose entry gave no object is not kept loaded either; the
    // next request tries again from scratch.
    CRnError freed = library.Free();
    (void)freed;
    return nullptr;
  }
  m_mapBStorOps.emplace(type, std::make_pair(std::move(library), ops));
  return ops;
}
