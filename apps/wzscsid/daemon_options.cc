#include "apps/wzscsid/daemon_options.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <ostream>

#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/net/accept_policy.h"
#include "hostlib/net/asio_network_server.h"

#ifndef WZ_VERSION
#define WZ_VERSION "unknown"
#endif
// Where the package puts the plug-in and the drivers, relative to the
// directories of the executables (cmake/Package.cmake sets it).
#ifndef WZ_PKGLIBDIR_FROM_BINDIR
#define WZ_PKGLIBDIR_FROM_BINDIR "../lib/wzscsi"
#endif

namespace {

const char* const kSection = "wzscsid";
const char* const kConfigName = "wzscsi.conf";

#define WZD_HERE FX_HERE_IN("wzscsid")

CRnError Bad(const std::string& text) {
  return FXErrorUtil::ErrorWin32(WZD_HERE, ERROR_INVALID_PARAMETER, "%s", text.c_str());
}

bool ParseLong(const std::string& text, long long lo, long long hi, long long& out) {
  if (text.empty()) return false;
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(begin, &end, 10);
  if (errno == ERANGE || end == begin || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

CRnError SetPath(std::string& field, const std::string& v) {
  field = v;
  return CRnError();
}

// A count, size or time in [Lo, Hi] stored in a field of the options.
template <typename T, T WzDaemonOptions::*Field, long long Lo, long long Hi>
CRnError SetNumber(WzDaemonOptions& o, const std::string& v) {
  long long n = 0;
  if (!ParseLong(v, Lo, Hi, n)) {
    return Bad("'" + v + "' is not a number from " + std::to_string(Lo) + " to " + std::to_string(Hi));
  }
  o.*Field = static_cast<T>(n);
  return CRnError();
}

// One setting: its configuration key, its command-line option, and how a
// text value is checked and stored.
struct Setting {
  const char* key;
  const char* option;  // nullptr: configuration file only
  const char* help;
  CRnError (*apply)(WzDaemonOptions&, const std::string&);
};

const Setting kSettings[] = {
    {"StateDir", "--state-dir", "state directory: configuration, saved configuration of the service (action log)",
     [](WzDaemonOptions& o, const std::string& v) {
       if (v.empty()) return Bad("an empty state directory");
       return SetPath(o.stateDir, v);
     }},
    {"DriverDir", "--driver-dir", "directory of the driver libraries",
     [](WzDaemonOptions& o, const std::string& v) { return SetPath(o.driverDir, v); }},
    {"ServiceLib", "--service-lib", "the service plug-in (libWzScsiSrv.so)",
     [](WzDaemonOptions& o, const std::string& v) { return SetPath(o.serviceLib, v); }},
    {"Socket", "--socket", "Unix socket to serve (\"\" for none)",
     [](WzDaemonOptions& o, const std::string& v) { return SetPath(o.socketPath, v); }},
    {"Listen", "--listen", "HOST:PORT of an extra TCP listener (needs Token, and TLS or PlainTcpOnLoopback)",
     [](WzDaemonOptions& o, const std::string& v) {
       if (!v.empty()) {
         std::string host;
         uint16_t port = 0;
         if (CRnError e = Wzn::ParseHostPort(v, host, port)) return e.Push(WZD_HERE);
       }
       o.listen = v;
       return CRnError();
     }},
    {"MetricsListen", "--metrics-listen",
     "HOST:PORT of the Prometheus metrics endpoint (loopback only; off by default)",
     [](WzDaemonOptions& o, const std::string& v) {
       if (!v.empty()) {
         std::string host;
         uint16_t port = 0;
         if (CRnError e = Wzn::ParseHostPort(v, host, port)) return e.Push(WZD_HERE);
         // The endpoint has no TLS and no token: it may not leave the machine.
         in6_addr a6{};
         in_addr a4{};
         const bool loopback = host == "localhost" ||
                               (inet_pton(AF_INET, host.c_str(), &a4) == 1 && (ntohl(a4.s_addr) >> 24) == 127) ||
                               (inet_pton(AF_INET6, host.c_str(), &a6) == 1 && IN6_IS_ADDR_LOOPBACK(&a6));
         if (!loopback)
           return Bad("'" + v + "' is not a loopback address: the metrics endpoint serves 127.0.0.1 or ::1 only");
       }
       o.metricsListen = v;
       return CRnError();
     }},
    {"LogLevel", "--log-level", "log level: -1 errors only, 0 notices, 1 progress, 2 messages, 6 detail",
     [](WzDaemonOptions& o, const std::string& v) {
       long long n = 0;
       if (!ParseLong(v, -1, 6, n)) return Bad("'" + v + "' is not a level from -1 to 6");
       o.logLevel = static_cast<int>(n);
       return CRnError();
     }},
    {"LogFile", "--log-file", "append the log to this file (default: standard error)",
     [](WzDaemonOptions& o, const std::string& v) { return SetPath(o.logFile, v); }},
    {"AutoStart", nullptr, "send the service its start request at once (yes/no)",
     [](WzDaemonOptions& o, const std::string& v) {
       return ParseBool(v, o.autoStart) ? CRnError() : Bad("'" + v + "' is not yes or no");
     }},
    {"OnDemand", nullptr, "stop when the service is idle (yes/no)",
     [](WzDaemonOptions& o, const std::string& v) {
       return ParseBool(v, o.onDemand) ? CRnError() : Bad("'" + v + "' is not yes or no");
     }},
    {"Token", nullptr, "shared token that TCP clients present",
     [](WzDaemonOptions& o, const std::string& v) {
       if (v.size() > 1024) return Bad("the token is longer than 1024 bytes");
       o.token = v;
       return CRnError();
     }},
    {"TlsCertFile", nullptr, "TLS certificate (chain, PEM) of the TCP listener",
     [](WzDaemonOptions& o, const std::string& v) { return SetPath(o.tlsCertFile, v); }},
    {"TlsKeyFile", nullptr, "private key (PEM) of TlsCertFile",
     [](WzDaemonOptions& o, const std::string& v) { return SetPath(o.tlsKeyFile, v); }},
    {"TlsCaFile", nullptr, "CA certificates (PEM) that TCP clients' certificates are checked against",
     [](WzDaemonOptions& o, const std::string& v) { return SetPath(o.tlsCaFile, v); }},
    {"TlsRequireClientCert", nullptr, "refuse TCP clients without a certificate that TlsCaFile verifies (yes/no)",
     [](WzDaemonOptions& o, const std::string& v) {
       return ParseBool(v, o.tlsRequireClientCert) ? CRnError() : Bad("'" + v + "' is not yes or no");
     }},
    {"PlainTcpOnLoopback", nullptr, "allow a TCP listener without TLS on a loopback address (yes/no)",
     [](WzDaemonOptions& o, const std::string& v) {
       return ParseBool(v, o.plainTcpOnLoopback) ? CRnError() : Bad("'" + v + "' is not yes or no");
     }},
    {"AllowedGroup", "--allowed-group", "Unix-socket peers of this group may connect too",
     [](WzDaemonOptions& o, const std::string& v) {
       if (!v.empty()) {
         gid_t gid;
         if (CRnError e = Wzn::LookupGroup(v, gid)) return e.Push(WZD_HERE);
       }
       o.allowedGroup = v;
       return CRnError();
     }},
    {"MaxFrameBytes", "--max-frame-bytes", "largest frame payload accepted",
     [](WzDaemonOptions& o, const std::string& v) {
       long long n = 0;
       if (!ParseLong(v, 1024, UINT32_MAX, n)) return Bad("'" + v + "' is not a size from 1024 to 4294967295");
       o.maxFrameBytes = static_cast<size_t>(n);
       return CRnError();
     }},
    {"IdleTimeoutSecs", "--idle-timeout", "close a connection idle this long (0: never)",
     [](WzDaemonOptions& o, const std::string& v) {
       long long n = 0;
       if (!ParseLong(v, 0, INT_MAX, n)) return Bad("'" + v + "' is not a number of seconds");
       o.idleTimeoutSecs = static_cast<int>(n);
       return CRnError();
     }},
    {"MaxConnections", "--max-connections", "Unix-socket connections served at once",
     [](WzDaemonOptions& o, const std::string& v) {
       long long n = 0;
       if (!ParseLong(v, 1, 1000000, n)) return Bad("'" + v + "' is not a count from 1 to 1000000");
       o.maxConnections = static_cast<size_t>(n);
       return CRnError();
     }},
    {"MaxTcpConnections", nullptr, "TCP connections served at once",
     SetNumber<size_t, &WzDaemonOptions::maxTcpConnections, 1, 1000000>},
    {"MaxUnauthenticatedConnections", nullptr, "TCP connections at once that have not yet presented the token",
     SetNumber<size_t, &WzDaemonOptions::maxUnauthenticated, 1, 1000000>},
    {"MaxUnauthenticatedPerSource", nullptr, "of those, from one source address",
     SetNumber<size_t, &WzDaemonOptions::maxUnauthenticatedPerSource, 1, 1000000>},
    {"HelloTimeoutSecs", nullptr, "close a TCP connection that has not presented the token within this time",
     SetNumber<int, &WzDaemonOptions::helloTimeoutSecs, 1, 3600>},
    {"MaxRequestsPerConnection", nullptr, "requests in work and replies unsent at which a connection is not read",
     SetNumber<size_t, &WzDaemonOptions::maxRequestsPerConnection, 1, 100000>},
    {"MaxRequestsInFlight", nullptr, "requests in work at once, over all connections",
     SetNumber<size_t, &WzDaemonOptions::maxRequestsInFlight, 1, 1000000>},
    {"MaxRequestBytesInFlight", nullptr, "bytes of requests in work at once, over all connections",
     SetNumber<size_t, &WzDaemonOptions::maxRequestBytesInFlight, 1024, UINT32_MAX>},
    {"MaxUnsentReplyBytes", nullptr, "close a connection whose unsent replies pass this many bytes",
     SetNumber<size_t, &WzDaemonOptions::maxUnsentBytes, 1024, UINT32_MAX>},
    {"RefusalLogIntervalSecs", nullptr, "log refused connections once per source and interval",
     SetNumber<int, &WzDaemonOptions::refusalLogSecs, 1, 86400>},
    {"StartTimeoutSecs", nullptr, "wait this long for the answer to the start request",
     [](WzDaemonOptions& o, const std::string& v) {
       long long n = 0;
       if (!ParseLong(v, 1, INT_MAX / 1000, n)) return Bad("'" + v + "' is not a number of seconds");
       o.startTimeoutSecs = static_cast<int>(n);
       return CRnError();
     }},
};

std::string Absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof(cwd)) == nullptr) return path;
  std::string base = cwd;
  std::string rel = path;
  while (rel.compare(0, 2, "./") == 0) rel.erase(0, 2);
  return rel.empty() || rel == "." ? base : base + "/" + rel;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// "/usr/sbin/../lib/wzscsi" reads better as "/usr/lib/wzscsi" in the log.
std::string Normal(const std::string& path) {
  return path.empty() ? path : std::filesystem::path(path).lexically_normal().string();
}

// The installed layout is looked for first, relative to the executable, so
// that a package unpacked under another root finds its own files; a daemon
// in the build tree finds build/lib and build/drivers.
std::string DefaultServiceLib(const std::string& exeDir) {
  const std::string installed = exeDir + "/" WZ_PKGLIBDIR_FROM_BINDIR "/libWzScsiSrv.so";
  return Normal(IsFile(installed) ? installed : exeDir + "/../lib/libWzScsiSrv.so");
}

std::string DefaultDriverDir(const std::string& exeDir) {
  for (const std::string& dir : {exeDir + "/" WZ_PKGLIBDIR_FROM_BINDIR "/drivers", exeDir + "/../drivers"})
    if (IsDirectory(dir)) return Normal(dir);
  return "";
}

}  // namespace

std::vector<WzDaemonSettingKey> WzDaemonSettingKeys() {
  std::vector<WzDaemonSettingKey> keys;
  for (const Setting& s : kSettings) keys.push_back({s.key, s.option});
  return keys;
}

std::string FitConnectionLimits(unsigned long long maxOpenFiles, bool tcp, WzDaemonOptions& o) {
  const unsigned long long budget = maxOpenFiles > kReservedDescriptors + 2 ? maxOpenFiles - kReservedDescriptors : 2;
  const unsigned long long tcpWanted = tcp ? o.maxTcpConnections : 0;
  const unsigned long long wanted = o.maxConnections + tcpWanted;
  if (wanted <= budget) return "";
  const size_t wasUnix = o.maxConnections;
  const size_t wasTcp = o.maxTcpConnections;
  if (!tcp) {
    o.maxConnections = static_cast<size_t>(budget);
  } else {
    o.maxConnections = static_cast<size_t>(std::max(1ULL, budget * o.maxConnections / wanted));
    o.maxTcpConnections = static_cast<size_t>(std::max(1ULL, budget - o.maxConnections));
    o.maxUnauthenticated = std::min(o.maxUnauthenticated, o.maxTcpConnections);
  }
  std::string line = "Connection limits lowered to fit " + std::to_string(maxOpenFiles) +
                     " open files (RLIMIT_NOFILE, " + std::to_string(kReservedDescriptors) +
                     " kept for files and drivers): MaxConnections " + std::to_string(o.maxConnections) + " (was " +
                     std::to_string(wasUnix) + ")";
  if (tcp) {
    line += ", MaxTcpConnections " + std::to_string(o.maxTcpConnections) + " (was " + std::to_string(wasTcp) + ")";
  }
  return line;
}

bool ParseBool(const std::string& text, bool& value) {
  std::string t;
  for (char c : text) t += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (t == "yes" || t == "true" || t == "on" || t == "y" || t == "1") {
    value = true;
    return true;
  }
  if (t == "no" || t == "false" || t == "off" || t == "n" || t == "0") {
    value = false;
    return true;
  }
  return false;
}

std::string ExecutableDir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return "";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

int ParseDaemonOptions(int argc, const char* const* argv, const std::string& exeDir, WzDaemonOptions& options,
                       std::ostream& out, std::ostream& err) {
  CLI::App app{
      "wzscsid: the host daemon of the SCSI target service. It loads the service plug-in, serves\n"
      "requests on a Unix socket (and optionally TCP) and keeps running until SIGTERM or SIGINT.\n"
      "Every option but --config and --ready-fd can also be set in the configuration file,\n"
      "section [wzscsid]; the command line wins. Exit status: 0 clean stop, 1 bad usage or\n"
      "configuration, 2 the service failed to load or initialise, 3 a stop gave up waiting for a\n"
      "driver call after nStopTimeoutSecs and exited without unloading the service.",
      "wzscsid"};
  std::string configFile;
  std::map<std::string, std::string> given;  // by configuration key
  std::map<std::string, CLI::Option*> opts;
  bool noAutoStart = false, onDemand = false, version = false;

  app.add_option("--config", configFile,
                 "configuration file, read first and never written (default: only <state dir>/wzscsi.conf)");
  for (const Setting& s : kSettings) {
    if (s.option != nullptr) opts[s.key] = app.add_option(s.option, given[s.key], s.help);
  }
  app.add_flag("--no-autostart", noAutoStart, "wait for a client's start request (configuration: AutoStart=no)");
  app.add_flag("--on-demand", onDemand,
               "stop when the service has been idle for its inactivity time-out (configuration: OnDemand=yes)");
  app.add_option("--ready-fd", options.readyFd, "write the readiness lines to this descriptor, then close it")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--version", version, "print the version and exit");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::ParseError& e) {
    (void)app.exit(e, out, err);
    return 1;
  }
  if (version) {
    out << "wzscsid " << WZ_VERSION << "\n";
    return 0;
  }
  // Only what was given on the command line counts as given.
  for (auto it = given.begin(); it != given.end();) {
    auto o = opts.find(it->first);
    it = (o == opts.end() || o->second->count() == 0) ? given.erase(it) : std::next(it);
  }
  if (noAutoStart) given["AutoStart"] = "no";
  if (onDemand) given["OnDemand"] = "yes";

  WzDaemonOptions o;
  o.readyFd = options.readyFd;
  o.socketPath = kWznDefaultUnixSocketPath;
  // The state directory decides where the configuration file is, so it is
  // settled from the command line first.
  if (given.count("StateDir") != 0 && given["StateDir"].empty()) {
    err << "wzscsid: option --state-dir: an empty state directory\n";
    return 1;
  }
  if (given.count("StateDir") != 0) o.stateDir = given["StateDir"];
  // An administrator's file (--config) may name the state directory, and
  // with it the store that the service writes to; it is never written.
  const std::string adminFile = Absolute(configFile);
  WZPlatformInfo::SetAdminConfigFile(adminFile);
  WZPlatformInfo::SetConfigFile("");
  if (!adminFile.empty() && given.count("StateDir") == 0) {
    std::string dir;
    if (WZPlatformInfo::getString(kSection, "StateDir", dir).IsSuccess() && !dir.empty()) o.stateDir = dir;
  }
  o.storeFile = Absolute(o.stateDir) + "/" + kConfigName;
  o.configFile = adminFile.empty() ? o.storeFile : adminFile;
  WZPlatformInfo::SetConfigFile(o.storeFile);

  for (const Setting& s : kSettings) {
    auto cli = given.find(s.key);
    std::string value;
    std::string where;
    if (cli != given.end()) {
      value = cli->second;
      where = std::string("option ") + (s.option != nullptr ? s.option : s.key);
    } else {
      CRnError read = WZPlatformInfo::getString(kSection, s.key, value);
      if (read.GetCode() == HRESULT_FROM_WIN32(ERROR_NOT_FOUND_OR_NOT_ALLOWED)) continue;
      if (read) {
        err << "wzscsid: cannot read the configuration file " << o.configFile << ": " << read.AsString() << "\n";
        return 1;
      }
      where = "configuration file " + o.configFile + ", [wzscsid] " + s.key;
    }
    if (CRnError e = s.apply(o, value)) {
      err << "wzscsid: " << where << ": " << e.AsString() << "\n";
      return 1;
    }
  }

  if (o.serviceLib.empty()) o.serviceLib = DefaultServiceLib(exeDir);
  if (o.driverDir.empty()) o.driverDir = DefaultDriverDir(exeDir);
  for (std::string* p : {&o.stateDir, &o.driverDir, &o.serviceLib, &o.socketPath, &o.logFile, &o.tlsCertFile,
                         &o.tlsKeyFile, &o.tlsCaFile})
    *p = Absolute(*p);
  if (o.socketPath.empty() && o.listen.empty() && getenv("LISTEN_FDS") == nullptr) {
    err << "wzscsid: nothing to serve on: the Unix socket is off (Socket=\"\") and no TCP listener is set\n";
    return 1;
  }
  options = o;
  return kDaemonRun;
}
