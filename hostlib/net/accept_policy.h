// Who may connect, and where the server listens: the checks the socket
// server applies to a new connection and to its own configuration. Kept
// apart from the server so that each rule can be tested alone.
//
// Thread safety: every function is safe to call from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "hostlib/errors/CRnError.h"
#include "hostlib/net/net_errors.h"

namespace Wzn {

// Compares a presented token with the configured one in time that depends
// only on the presented token's length, so that timing reveals nothing of
// the configured token. An empty configured token matches nothing.
bool TokensEqual(const std::string& expected, const std::string& given);

// Splits "HOST:PORT" (also "[v6-address]:PORT", ":PORT" or "PORT"; the host
// defaults to 127.0.0.1). Only numeric addresses and "localhost" are
// accepted, so that configuration never waits on name resolution.
CRnError ParseHostPort(const std::string& text, std::string& host, uint16_t& port);

// The first socket handed over by systemd socket activation: LISTEN_PID must
// name this process and LISTEN_FDS be at least 1; the fd is then 3. The
// values are passed in (normally getenv's) so that the rule can be tested.
CRnError SystemdListenFd(const char* listenPid, const char* listenFds, pid_t self, int& fd);

// Resolves a group name to its id.
CRnError LookupGroup(const std::string& name, gid_t& gid);

// The rule for Unix-socket peers: the server's own uid and root pass; with
// an allowed group, a peer whose group or whose user's supplementary groups
// include it passes.
struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};
bool PeerAllowed(const PeerCredentials& peer, uid_t selfUid, bool haveGroup, gid_t allowedGid);

// Reads the credentials of the process at the other end of a connected
// Unix socket (SO_PEERCRED).
CRnError ReadPeerCredentials(int fd, PeerCredentials& out);

}  // namespace Wzn
