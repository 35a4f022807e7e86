// wzscsid: the host daemon of the SCSI target service. Options and exit
// statuses: daemon_options.h; the order of the service's life:
// service_host.h. Readiness is announced, once the service answered its start
// request (or at once with --no-autostart), as one line per endpoint,
// "wzscsid: serving on <endpoint>", on standard error, on --ready-fd (which
// is then closed) and to systemd (READY=1) when NOTIFY_SOCKET is set.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "apps/wzscsid/daemon_options.h"
#include "apps/wzscsid/idle_clock.h"
#include "apps/wzscsid/metrics_endpoint.h"
#include "apps/wzscsid/service_host.h"
#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/net/accept_policy.h"
#include "hostlib/util/wz_environment.h"

#ifndef WZ_VERSION
#define WZ_VERSION "unknown"
#endif

namespace {

// How often the main thread looks at the idle semaphore between signals.
constexpr long kTickMs = 200;
constexpr int kIdleCheckTimeoutMs = 30000;

void Say(const std::string& line) {
  std::string text = "wzscsid: " + line + "\n";
  ssize_t n = write(STDERR_FILENO, text.data(), text.size());
  (void)n;
}

// mkdir -p; existing directories keep their mode.
bool MakeDirs(const std::string& dir, mode_t mode, std::string& why) {
  std::string path;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    path = dir.substr(0, pos);
    if (path.empty()) continue;
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
      why = path + ": " + strerror(errno);
      return false;
    }
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    why = dir + ": not a directory";
    return false;
  }
  return true;
}

std::string ParentDir(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

// A daemon holding a thousand connections needs more than the usual 1024
// descriptors; take what the hard limit allows. Returns the limit in force.
unsigned long long RaiseFileLimit() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return RLIM_INFINITY;
  if (rl.rlim_cur < rl.rlim_max) {
    struct rlimit raised = rl;
    raised.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) rl = raised;
  }
  return rl.rlim_cur;
}

// The path of an inherited Unix listening socket ("" when it is not one).
std::string UnixPathOfFd(int fd) {
  sockaddr_un addr;
  socklen_t len = sizeof(addr);
  memset(&addr, 0, sizeof(addr));
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || addr.sun_family != AF_UNIX) return "";
  size_t max = len > offsetof(sockaddr_un, sun_path) ? len - offsetof(sockaddr_un, sun_path) : 0;
  return std::string(addr.sun_path, strnlen(addr.sun_path, max));
}

// sd_notify without libsystemd: one datagram to $NOTIFY_SOCKET.
void NotifySystemd(const char* state) {
  // READY and STOPPING go out while the service's threads run.
  const std::string path = WzEnvironment::Get("NOTIFY_SOCKET");
  if (path.empty()) return;
  sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) return;
  memcpy(addr.sun_path, path.data(), path.size());
  if (path[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  (void)sendto(fd, state, strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), len);
  close(fd);
}

void AnnounceReady(const std::vector<std::string>& endpoints, int readyFd) {
  std::string text;
  for (const std::string& e : endpoints) text += "wzscsid: serving on " + e + "\n";
  ssize_t n = write(STDERR_FILENO, text.data(), text.size());
  if (readyFd >= 0) {
    n = write(readyFd, text.data(), text.size());
    close(readyFd);
  }
  (void)n;
  NotifySystemd("READY=1");
}

// The address a local client uses for our TCP listener.
std::string LocalTcpEndpoint(const std::string& listen, uint16_t port) {
  std::string host;
  uint16_t ignored = 0;
  if (Wzn::ParseHostPort(listen, host, ignored).IsError() || host == "0.0.0.0" || host == "localhost")
    host = "127.0.0.1";
  if (host == "::") host = "::1";
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return host + ":" + std::to_string(port);
}

int Run(const WzDaemonOptions& given, int argc, char** argv, const sigset_t& stopSignals) {
  WzDaemonOptions o = given;
  const std::string fitted = FitConnectionLimits(RaiseFileLimit(), !o.listen.empty(), o);
  std::string why;
  if (!MakeDirs(o.stateDir, 0750, why)) {
    Say("cannot create the state directory: " + why);
    return 1;
  }
  int inheritedFd = -1;
  const bool activated =
      Wzn::SystemdListenFd(getenv("LISTEN_PID"), getenv("LISTEN_FDS"), getpid(), inheritedFd).IsSuccess();
  if (!activated && !o.socketPath.empty() && !MakeDirs(ParentDir(o.socketPath), 0755, why)) {
    Say("cannot create the socket's directory: " + why);
    return 1;
  }
  std::shared_ptr<CLogWriterInterface> writer = MakeSpdLogWriter(o.logLevel, o.logFile, &why);
  if (!writer) {
    Say("cannot open the log " + o.logFile + ": " + why);
    return 1;
  }
  g_ptrLogWriter = writer;
  WZPI_CommClient::SetStateDirectory(o.stateDir);
  CRnLibrary::SetSearchDirectory(o.driverDir);
  const std::string configuration =
      o.configFile == o.storeFile ? o.configFile : o.configFile + " (then " + o.storeFile + ")";
  WZLOG(0, "wzscsid %s starting (pid %d): state directory %s, configuration %s, drivers %s", WZ_VERSION,
        static_cast<int>(getpid()), o.stateDir.c_str(), configuration.c_str(),
        o.driverDir.empty() ? "(system paths)" : o.driverDir.c_str());
  if (!fitted.empty()) WZLOG(0, "%s", fitted.c_str());

  CWzIdleClock clock;
  CWzServiceHost host(clock);
  if (CRnError e = host.Load(o.serviceLib)) {
    WZLOG(-1, "%s", e.AsString().c_str());
    Say(e.AsString());
    return 2;
  }
  if (CRnError e = host.Initialize(argc, argv)) {
    WZLOG(-1, "%s", e.AsString().c_str());
    Say(e.AsString());
    return 2;
  }

  WznServerConfig config;
  config.unixPath = o.socketPath;
  // The inherited socket is handed over as a descriptor, so that the
  // activation variables can go before any request runs.
  config.listenFd = activated ? inheritedFd : -1;
  config.tcpEndpoint = o.listen;
  config.token = o.token;
  config.tlsCertFile = o.tlsCertFile;
  config.tlsKeyFile = o.tlsKeyFile;
  config.tlsCaFile = o.tlsCaFile;
  config.tlsRequireClientCert = o.tlsRequireClientCert;
  config.plainTcpOnLoopback = o.plainTcpOnLoopback;
  config.maxUnauthenticatedPerSource = o.maxUnauthenticatedPerSource;
  config.allowedGroup = o.allowedGroup;
  config.maxFrameBytes = o.maxFrameBytes;
  config.idleTimeoutSecs = o.idleTimeoutSecs;
  config.maxConnections = o.maxConnections;
  config.maxTcpConnections = o.maxTcpConnections;
  config.maxUnauthenticated = o.maxUnauthenticated;
  config.helloTimeoutSecs = o.helloTimeoutSecs;
  config.maxRequestsPerConnection = o.maxRequestsPerConnection;
  config.maxRequestsInFlight = o.maxRequestsInFlight;
  config.maxRequestBytesInFlight = o.maxRequestBytesInFlight;
  config.maxUnsentBytes = o.maxUnsentBytes;
  config.refusalLogSecs = o.refusalLogSecs;
  const std::string activatedPath = activated ? UnixPathOfFd(inheritedFd) : "";
  if (activated) {
    // Not for whatever the service or a driver might start.
    for (const char* name : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"}) (void)WzEnvironment::Unset(name);
    WZLOG(0, "Socket activation: serving the inherited socket %s", activatedPath.c_str());
  }
  if (CRnError e = host.Serve(config, o.autoStart)) {
    WZLOG(-1, "%s", e.AsString().c_str());
    Say(e.AsString());
    return 1;
  }
  std::vector<std::string> endpoints;
  const std::string unixEndpoint = activated ? activatedPath : host.UnixPath();
  if (!unixEndpoint.empty()) endpoints.push_back(unixEndpoint);
  if (host.TcpPort() != 0) endpoints.push_back(LocalTcpEndpoint(o.listen, host.TcpPort()));
  if (endpoints.empty()) {
    Say("the inherited socket is not a Unix socket and no TCP listener is set: nowhere to reach the service");
    return 1;
  }
  // Over TCP the daemon trusts exactly its own certificate, and shows it
  // when client certificates are asked for.
  WznClientTls selfTls;
  selfTls.plain = o.tlsCertFile.empty();
  selfTls.caFile = o.tlsCertFile;
  selfTls.certFile = o.tlsRequireClientCert ? o.tlsCertFile : "";
  selfTls.keyFile = o.tlsRequireClientCert ? o.tlsKeyFile : "";
  selfTls.checkHost = false;
  host.SetSelfEndpoint(endpoints.front(), o.token, selfTls);

  // Each scrape asks the service for its status through the daemon's own
  // endpoint, like any client: the service needs no HTTP of its own.
  CWzMetricsEndpoint metrics;
  uint64_t scrapes = 0;  // the endpoint's thread only
  if (!o.metricsListen.empty()) {
    const std::string self = host.SelfEndpoint();
    CRnError e = metrics.Start(o.metricsListen, [&host, &scrapes, self, selfTls, token = o.token] {
      WzDaemonMetricFacts facts;
      facts.scrapes = ++scrapes;
      facts.connections = host.ConnectionCount();
      facts.requestsInFlight = host.RequestsInFlight();
      facts.refusals = host.RefusalCounts();
      std::vector<std::string> lines;
      WzCtl::CallResult r = WzCtl::CallOnce(self, token, *WzCtl::MakeStatus(0), 5000, selfTls);
      if (r.reply) {
        WzCtl::ReplyView v = WzCtl::ViewReply(*r.reply);
        facts.statusAnswered = v.errorCode == 0;
        if (facts.statusAnswered) lines = v.results;
      }
      r = WzCtl::CallOnce(self, token, *WzCtl::MakeIoctl("metrics", "", 0), 5000, selfTls);
      if (r.reply) {
        WzCtl::ReplyView v = WzCtl::ViewReply(*r.reply);
        if (v.errorCode == 0) lines.insert(lines.end(), v.results.begin(), v.results.end());
      }
      return WzRenderMetrics(lines, facts);
    });
    if (e) {
      WZLOG(-1, "%s", e.AsString().c_str());
      Say(e.AsString());
      return 1;
    }
    WZLOG(0, "Serving the metrics on http://%s/metrics", LocalTcpEndpoint(o.metricsListen, metrics.Port()).c_str());
  }

  std::atomic<bool> ready{false};
  std::thread starter([&] {
    try {
      if (o.autoStart) {
        WzCtl::CallResult r = host.StartService(o.startTimeoutSecs * 1000);
        (void)r;
      }
      AnnounceReady(endpoints, o.readyFd);
    } catch (const std::exception& e) {
      WZLOG(-1, "Starting the service threw: %s", e.what());
    }
    ready = true;
  });

  for (;;) {
    timespec tick{0, kTickMs * 1000000L};
    int sig = sigtimedwait(&stopSignals, nullptr, &tick);
    if (sig == SIGTERM || sig == SIGINT) {
      WZLOG(0, "Stopping on %s", sig == SIGTERM ? "SIGTERM" : "SIGINT");
      break;
    }
    if (sig == SIGHUP) WZLOG(0, "SIGHUP ignored: the configuration is read at start and by the reload command");
    // The semaphore is drained in every mode so that its count stays small.
    host.DrainIdleReleases();
    if (o.onDemand && ready && clock.Due(CWzIdleClock::NowMs())) {
      if (host.ConfirmIdle(kIdleCheckTimeoutMs)) {
        WZLOG(0, "No target and no request for %d s: stopping", host.InactivityTimeoutSecs());
        break;
      }
      clock.Disarm();
    }
  }
  NotifySystemd("STOPPING=1");
  metrics.Stop();
  host.StopServing();
  starter.join();
  host.Shutdown();
  WZLOG(0, "wzscsid stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // From the configuration on, the daemon holds the token, the TLS key and
  // CHAP secrets: no core file, and no other process of its user (ptrace,
  // /proc/PID/mem) may read them. Programs it starts are dumpable again.
  (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  // Signals are taken by the main thread only: block them before any thread
  // starts, so every thread (the service's workers too) inherits the mask.
  // A parent may have left them ignored (a shell's background job ignores
  // SIGINT), and an ignored signal never reaches sigtimedwait.
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) signal(sig, SIG_DFL);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int rc = 0;
  try {
    WzDaemonOptions options;
    rc = ParseDaemonOptions(argc, argv, ExecutableDir(), options, std::cout, std::cerr);
    if (rc == kDaemonRun) rc = Run(options, argc, argv, stopSignals);
  } catch (const std::exception& e) {
    Say(std::string("unexpected failure: ") + e.what());
    rc = 2;
  }
  // Flushes and closes the log after everything that writes to it is gone.
  g_ptrLogWriter.reset();
  return rc;
}
