#include "hostlib/net/WzNetwork.h"

// The interfaces' destructors live here, in the shipped library, so that
// their type information is emitted once for every implementation.
CWzNetwork::~CWzNetwork() = default;
CWzNetworkServer::~CWzNetworkServer() = default;
IWzNetworkReceiver::~IWzNetworkReceiver() = default;
