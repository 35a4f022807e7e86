// The backing-store libraries: which library serves which backing-store
// type, and loading one.
#include "drivers/bstor_registry.h"

#include <map>

#include "hostlib/log/LogWriter.h"

namespace {

const char* const INVALID_BSTOR_LIB_NAME = "";
const char* const KERNEL_BSTOR_LIB_NAME = "";
const char* const BLKDEV_BSTOR_LIB_NAME = "libWzScsiSrvBStorBlkDev.so";
const char* const DEVSNAP_BSTOR_LIB_NAME = "libWzScsiSrvBStorDevSnap.so";
const char* const FSBLB_BSTOR_LIB_NAME = "libWzScsiSrvBStorDrvFSBLB.so";
const char* const RBD_BSTOR_LIB_NAME = "libWzScsiSrvBStorRbd.so";

// An empty name: the type has no library of its own.
const std::map<WzScsiServer::BStorType, std::string> BStorTypeLibNameMap = {
    {WzScsiServer::BSTOR_INVALID, INVALID_BSTOR_LIB_NAME}, {WzScsiServer::BSTOR_KERNEL, KERNEL_BSTOR_LIB_NAME},
    {WzScsiServer::BSTOR_BLKDEV, BLKDEV_BSTOR_LIB_NAME},   {WzScsiServer::BSTOR_DEVSNAP, DEVSNAP_BSTOR_LIB_NAME},
    {WzScsiServer::BSTOR_FSBLB, FSBLB_BSTOR_LIB_NAME},     {WzScsiServer::BSTOR_RESERVED5, INVALID_BSTOR_LIB_NAME},
    {WzScsiServer::BSTOR_NONE, INVALID_BSTOR_LIB_NAME},    {WzScsiServer::BSTOR_RBD, RBD_BSTOR_LIB_NAME},
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
