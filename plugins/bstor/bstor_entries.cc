// Entries of the backing-store libraries; each library is built from this
// file with one of WZ_BSTOR_BLKDEV, WZ_BSTOR_DEVSNAP, WZ_BSTOR_FSBLB or
// WZ_BSTOR_RBD and returns its one operations object, which lives until the library is
// unloaded.
#if defined(WZ_BSTOR_BLKDEV)
#include "plugins/bstor/blkdev_store.h"
typedef WzScsiSrvBStorBlkDev StoreType;
#elif defined(WZ_BSTOR_DEVSNAP)
#include "plugins/bstor/devsnap_store.h"
typedef WzScsiSrvBStorDevSnap StoreType;
#elif defined(WZ_BSTOR_FSBLB)
#include "plugins/bstor/fsblb_store.h"
typedef WzScsiSrvBStorFSBLB StoreType;
#elif defined(WZ_BSTOR_RBD)
#include "plugins/bstor/rbd_store.h"
typedef WzScsiSrvBStorRbd StoreType;
#else
#error "define the store this library carries"
#endif

extern "C" WZ_EXPORT WzScsiBStorOps* GetBstorOps() {
  static StoreType ops;
  return &ops;
}
