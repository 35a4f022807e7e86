// CWzServiceHost: the daemon's hold on the service plug-in, in the order the
// service expects it: load the library and get the service object,
// Initialize (with the idle semaphore's name and the host application
// object), serve it on the network server, send it its start request, and at
// the end stop serving, KillAllJobs, CleanUp and unload.
//
// The idle semaphore is named "/wzscsid-<pid>"; the host creates it before
// Initialize and unlinks it at Shutdown. NotifyActivity of the host
// application object feeds the idle clock given at construction; one host per
// process.
//
// Thread safety: Load, Initialize, Serve, StopServing and Shutdown on the main
// thread, in that order. StartService, DrainIdleReleases and ConfirmIdle may
// run on another thread between Serve and StopServing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "apps/wzscsictl/ctl_lib.h"
#include "apps/wzscsid/idle_clock.h"
#include "apps/wzscsid/start_gate.h"
#include "hostlib/net/asio_network_server.h"
#include "hostlib/svchost/IOnDemandSvcInterface.h"
#include "hostlib/svchost/WzNamedSemaphore.h"
#include "hostlib/util/CRnLibrary.h"

class CWzServiceHost {
 public:
  explicit CWzServiceHost(CWzIdleClock& clock);
  // Shutdown when it has not run.
  ~CWzServiceHost();
  CWzServiceHost(const CWzServiceHost&) = delete;
  CWzServiceHost& operator=(const CWzServiceHost&) = delete;

  // Loads the plug-in and gets its service object.
  CRnError Load(const std::string& libraryPath);
  // Creates the idle semaphore and initialises the service; the inactivity
  // time-out it returns is set on the idle clock.
  CRnError Initialize(int argc, char** argv);
  // Opens the listeners. holdUntilStarted: messages other than start requests
  // wait until StartService has run.
  CRnError Serve(const WznServerConfig& config, bool holdUntilStarted);
  // Where the daemon reaches its own service (a Unix path or HOST:PORT) and
  // the token it presents there.
  void SetSelfEndpoint(const std::string& endpoint, const std::string& token, const WznClientTls& tls);
  const std::string& SelfEndpoint() const { return m_selfEndpoint; }

  // Sends the start request through the daemon's own endpoint, then lets the
  // held messages through whatever the outcome. result.reply is the answer.
  WzCtl::CallResult StartService(int timeoutMs);
  // Takes every release of the idle semaphore since the last call; tells
  // the clock when there was one. Returns how many.
  size_t DrainIdleReleases();
  // Asks the service, through the daemon's own endpoint, whether it holds no
  // target (the on-demand stop is confirmed with it).
  bool ConfirmIdle(int timeoutMs);

  // Closes the listeners and every connection.
  void StopServing();
  // StopServing, then KillAllJobs, CleanUp, unload, and the semaphore goes.
  void Shutdown();

  uint16_t TcpPort() const { return m_server.TcpPort(); }
  std::string UnixPath() const { return m_server.UnixPath(); }
  size_t ConnectionCount() const { return m_server.ConnectionCount(); }
  size_t RequestsInFlight() const { return m_server.RequestsInFlight(); }
  std::vector<std::pair<std::string, uint64_t>> RefusalCounts() const { return m_server.RefusalCounts(); }
  int InactivityTimeoutSecs() const { return m_timeoutSecs; }

 private:
  static void OnActivity();

  CWzIdleClock& m_clock;
  IOnDemandSvcApp m_app;
  CRnLibrary m_library{false};  // unloaded by Shutdown, after CleanUp
  IOnDemandSvcInterface* m_service = nullptr;
  bool m_initializeCalled = false;
  int m_timeoutSecs = 0;
  std::string m_semName;
  std::unique_ptr<WzNamedSemaphore> m_idleSem;
  std::unique_ptr<CWzStartGate> m_gate;
  std::string m_selfEndpoint;
  std::string m_selfToken;
  WznClientTls m_selfTls;
  bool m_shutDown = false;
  // Last: destroyed first, so no callback reaches a gate or service that is gone.
  CWzAsioNetworkServer m_server;
};
