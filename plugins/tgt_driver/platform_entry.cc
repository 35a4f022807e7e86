// Entry of libWzScsiSrvTgt.so: the platform driver on tgtd.
#include <new>

#include "plugins/tgt_driver/tgt_platform.h"

extern "C" WZ_EXPORT WzScsiSrvPlatform* GetWZScsiPlatformObj() { return new (std::nothrow) WzScsiSrvTgtPlatform(); }
