// The backing-store libraries: which library serves which backing-store
// type, and loading one (its entry "GetBstorOps" gives the operations
// object). The registry itself (loaded libraries, kept until the service is
// destroyed) is WzScsiSrv::GetUserDefBStoreOps.
//
// Thread safety: pure functions; CRnLibrary handles belong to the caller.
#pragma once

#include <string>

#include "drivers/WzScsiBStorOps.h"
#include "hostlib/util/CRnLibrary.h"
#include "messages/WzScsiServerMessages.h"

// The library file name of a type; "" when the type has no library.
std::string GetBStorLibName(WzScsiServer::BStorType type);
// Loads fileName into library and returns its operations object; null (and
// the library unloaded) when it cannot be loaded or has no entry.
WzScsiBStorOps* GetBStoreOps(const std::string& fileName, CRnLibrary& library);
