// The daemon's settings: command-line options, each also settable in the
// configuration file's section "wzscsid" (the command line wins), with their
// defaults and checks. docs/operations.md ("Daemon") lists every key.
//
// Thread safety: parse once, on the main thread, before other threads start
// (it sets the configuration store's files, WZPlatformInfo::SetConfigFile and
// SetAdminConfigFile).
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"

struct WzDaemonOptions {
  std::string configFile;  // --config (read first, never written); default storeFile
  std::string storeFile;   // <stateDir>/wzscsi.conf: what the service records, read after configFile
  std::string stateDir = "/var/lib/wzscsi";
  // Defaults: the installed layout next to the executable (<exe dir>/../lib/wzscsi/drivers and
  // .../libWzScsiSrv.so) when it is there, else the build tree's (<exe dir>/../drivers when it
  // exists, <exe dir>/../lib/libWzScsiSrv.so).
  std::string driverDir;
  std::string serviceLib;
  std::string socketPath;     // default /run/wzscsi/wzscsid.sock; "" for none
  std::string listen;         // HOST:PORT of a TCP listener; "" for none
  std::string metricsListen;  // HOST:PORT (loopback) of the metrics endpoint; "" for none
  int logLevel = 0;
  std::string logFile;  // "" for stderr
  bool autoStart = true;
  bool onDemand = false;
  std::string token;
  std::string tlsCertFile;
  std::string tlsKeyFile;
  std::string tlsCaFile;
  bool tlsRequireClientCert = false;
  bool plainTcpOnLoopback = false;
  std::string allowedGroup;
  size_t maxFrameBytes = 1u << 20;
  int idleTimeoutSecs = 300;
  size_t maxConnections = 1024;  // Unix-socket connections
  size_t maxTcpConnections = 256;
  size_t maxUnauthenticated = 32;  // TCP connections that owe their hello
  size_t maxUnauthenticatedPerSource = 8;
  int helloTimeoutSecs = 5;
  size_t maxRequestsPerConnection = 32;
  size_t maxRequestsInFlight = 256;
  size_t maxRequestBytesInFlight = 16u << 20;
  size_t maxUnsentBytes = 64u << 20;
  int refusalLogSecs = 60;
  int startTimeoutSecs = 600;  // wait for the reply to the daemon's own start request
  int readyFd = -1;            // command line only
};

// The keys of section "wzscsid" that ParseDaemonOptions reads, in the order
// of --help, each with its command-line option (nullptr: the file only). The
// shipped configuration file and docs/operations.md are checked against it.
struct WzDaemonSettingKey {
  const char* key;
  const char* option;
};
std::vector<WzDaemonSettingKey> WzDaemonSettingKeys();

// What ParseDaemonOptions tells main.
constexpr int kDaemonRun = -1;

// Parses the command line, then fills what it left out from the configuration
// files (whose paths it resolves and hands to WZPlatformInfo: --config as the
// administrator's file, <state dir>/wzscsi.conf as the store), then makes the
// paths absolute. exeDir anchors the default service library and driver
// directory. Returns kDaemonRun, or the exit status: 0 after --help or
// --version (printed on out), 1 for a bad option or setting (explained on err).
int ParseDaemonOptions(int argc, const char* const* argv, const std::string& exeDir, WzDaemonOptions& options,
                       std::ostream& out, std::ostream& err);

// Descriptors kept for everything but connections: listeners, the log, the
// drivers' sockets, the action log's files.
constexpr unsigned long kReservedDescriptors = 64;

// Lowers the connection limits (MaxConnections, and MaxTcpConnections when
// tcp is on, in proportion) so that the connections and the reserve fit in
// maxOpenFiles descriptors (RLIMIT_NOFILE): a connection must never take the
// descriptor a durable write needs. Returns the line to log when it lowered
// anything, else "".
std::string FitConnectionLimits(unsigned long long maxOpenFiles, bool tcp, WzDaemonOptions& options);

// "yes/no", "true/false", "on/off", "y/n", "1/0", any case.
bool ParseBool(const std::string& text, bool& value);

// The directory of the running executable ("" when it cannot be read).
std::string ExecutableDir();
