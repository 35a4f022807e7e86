// The backing-store registry: which library serves which backing-store
// type, and the loaded libraries with their operations objects, loaded on
// first use and kept until the service is destroyed (the destructor calls
// Cleanup on each and unloads them in ascending type order).
#include "drivers/bstor_registry.h"

#include <map>
#include <utility>

#include "hostlib/log/LogWriter.h"
#include "service/WzScsiSrv.h"

namespace {

const char* const INVALID_BSTOR_LIB_NAME = "";
const char* const KERNEL_BSTOR_LIB_NAME = "";
const char* const BLKDEV_BSTOR_LIB_NAME = "libWzScsiSrvBStorBlkDev.so";
const char* const DEVSNAP_BSTOR_LIB_NAME = "libWzScsiSrvBStorDevSnap.so";
const char* const FSBLB_BSTOR_LIB_NAME = "libWzScsiSrvBStorDrvFSBLB.so";

// An empty name: the type has no library of its own.
const std::map<WzScsiServer::BStorType, std::string> BStorTypeLibNameMap = {
    {WzScsiServer::BSTOR_INVALID, INVALID_BSTOR_LIB_NAME}, {WzScsiServer::BSTOR_KERNEL, KERNEL_BSTOR_LIB_NAME},
    {WzScsiServer::BSTOR_BLKDEV, BLKDEV_BSTOR_LIB_NAME},   {WzScsiServer::BSTOR_DEVSNAP, DEVSNAP_BSTOR_LIB_NAME},
    {WzScsiServer::BSTOR_FSBLB, FSBLB_BSTOR_LIB_NAME},     {WzScsiServer::BSTOR_RESERVED5, INVALID_BSTOR_LIB_NAME},
    {WzScsiServer::BSTOR_NONE, INVALID_BSTOR_LIB_NAME},
};

}  // namespace

std::string GetBStorLibName(WzScsiServer::BStorType type) {
  auto it = BStorTypeLibNameMap.find(type);
  return it != BStorTypeLibNameMap.end() ? it->second : std::string();
}

WzScsiBStorOps* GetBStoreOps(const std::string& fileName, CRnLibrary& library) {
  WZ_TRACE_SCOPE(6);
  WZLOG(1, "Initializing BStore Lib: %s", fileName.c_str());
  if (CRnError e = library.Load(fileName, false)) {
    WZLOG(-1, "Failed to load %s library. Error[%s]", fileName.c_str(), e.AsString().c_str());
    return nullptr;
  }
  void* entry = nullptr;
  if (CRnError e = library.GetAddress(WZSCSI_BSTOR_ENTRY, &entry)) {
    WZLOG(-1, "Failed to GetAddress of %s function, error=%s", WZSCSI_BSTOR_ENTRY, e.AsString().c_str());
    CRnError freed = library.Free();
    (void)freed;
    return nullptr;
  }
  return reinterpret_cast<GetBstorOps_t>(entry)();
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
