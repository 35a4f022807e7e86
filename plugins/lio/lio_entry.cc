// Entry of libWzScsiSrvLio.so: the platform driver on the Linux kernel
// target (LIO, configfs).
#include <new>

#include "plugins/lio/lio_platform.h"

extern "C" WZ_EXPORT WzScsiSrvPlatform* GetWZScsiPlatformObj() { return new (std::nothrow) WzScsiSrvLioPlatform(); }
