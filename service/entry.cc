// The plug-in's one exported symbol.
#include "service/WzScsiSrv.h"

extern "C" WZ_EXPORT IOnDemandSvcInterface* GetOnDemandSvcLibInstance() { return WzScsiSrv::Instance().get(); }
