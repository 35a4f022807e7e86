// Win32-style codes of the network layer's errors, and the code location
// its files use.
#pragma once

#include "hostlib/errors/CRnError.h"

namespace Wzn {

constexpr long kErrInvalidData = 13;     // a frame or payload that breaks the protocol
constexpr long kErrNotFound = 1168;      // unknown connection handle or name
constexpr long kErrTimeout = 1460;       // the peer did not answer or take data in time
constexpr long kErrNotConnected = 2250;  // the connection is closed
constexpr long kErrQuota = 1816;         // a reply would pass the unsent-bytes limit (ERROR_NOT_ENOUGH_QUOTA)

}  // namespace Wzn

#define WZN_HERE FX_HERE_IN("WzSession")
