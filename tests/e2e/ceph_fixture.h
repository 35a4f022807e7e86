// CephTestCluster: a private one-node Ceph cluster for the tests: one
// monitor and one OSD on memstore (the data lives in the OSD's memory), cephx
// on, one replica, no manager (RBD needs none), everything on 127.0.0.1 at
// ports above 20000 found free when it starts, and every file (configuration,
// keyrings, monitor store, logs, admin sockets) under one temporary directory
// that it removes.
//
// Start makes the RBD pools and a restricted Ceph user for the gateway
// (caps "mon 'profile rbd' osd 'profile rbd pool=P'" for each of its pools)
// with its keyring, named in the configuration file, so that
// "conf=<ConfFile()>;id=<GatewayUser()>" is all a client needs.
//
// The daemons are child processes stopped by their process ids, the OSD
// first (it tells the monitor it is going), SIGTERM then SIGKILL after 10 s,
// and reaped; never by name. They are killed by the kernel if the thread that
// started them ends first (a crashed test leaves nothing running): start the
// cluster from a thread that outlives it.
//
// Thread safety: none; one test thread uses an object.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/tgtd/tgtd_fixture.h"

namespace wze2e {

// The Ceph programs the cluster needs that cannot be found, blank-separated
// ("" when all are there); tests skip with it as the reason.
std::string MissingCephPrograms();

class CephTestCluster {
 public:
  struct Options {
    std::vector<std::string> pools{"rbd"};  // made and initialised for RBD
    std::string gatewayUser = "wzgw";
    std::vector<std::string> gatewayPools{"rbd"};  // the pools the gateway's caps name
    uint64_t memstoreBytes = 512ull << 20;         // the OSD's memory for data
  };

  CephTestCluster() = default;
  explicit CephTestCluster(Options options) : m_options(std::move(options)) {}
  // Stops the daemons and removes the directory.
  ~CephTestCluster();
  CephTestCluster(const CephTestCluster&) = delete;
  CephTestCluster& operator=(const CephTestCluster&) = delete;

  // Makes and starts the cluster, the pools and the gateway's user. A port
  // taken between its probe and the daemon's bind makes it start again on
  // other ports, a few times.
  bool Start(std::string* error);
  // Stops the daemons (the directory stays until destruction).
  void Stop();

  bool Running() const { return m_monPid > 0 && m_osdPid > 0; }
  pid_t MonPid() const { return m_monPid; }
  pid_t OsdPid() const { return m_osdPid; }
  int MonPort() const { return m_basePort; }  // msgr2; msgr1 is the next port
  // The last port the daemons may bind (the OSD's are between the two).
  int LastPort() const;
  const std::string& Directory() const { return m_dir; }
  std::string ConfFile() const { return m_dir + "/ceph.conf"; }
  const std::string& GatewayUser() const { return m_options.gatewayUser; }
  std::string GatewayKeyring() const { return m_dir + "/client." + m_options.gatewayUser + ".keyring"; }
  // "conf=FILE;id=USER": what the gateway's LUN records and tgtd's --bsopts
  // carry; AdminIdentity is the same for client.admin.
  std::string GatewayIdentity() const { return "conf=" + ConfFile() + ";id=" + m_options.gatewayUser; }
  std::string AdminIdentity() const { return "conf=" + ConfFile() + ";id=admin"; }
  // How long the last successful Start took, in milliseconds.
  long long StartMillis() const { return m_startMillis; }
  // The daemons' logs, for a failing test's message.
  std::string LogText() const;

  // A monitor command (JSON) as client.admin; its output in out, its status
  // text in error on failure.
  bool MonCommand(const std::string& json, const std::string& input, std::string* out, std::string* error);
  // A Ceph command-line tool (rbd, rados, ceph) run as client.admin against
  // this cluster.
  CommandResult Admin(const std::vector<std::string>& argv) const;

 private:
  bool StartOnce(std::string* error);
  bool WriteConfiguration(std::string* error);
  bool MakeMonitor(std::string* error);
  bool WaitForMonitor(std::string* error);
  bool ConnectAdmin(std::string* error);
  bool MakeOsd(std::string* error);
  bool MakePoolsAndUser(std::string* error);
  bool WaitForOsdUp(std::string* error);
  bool InitPools(std::string* error);
  void DisconnectAdmin();
  // Whether the daemon exited (then reaped): its log says why.
  bool Exited(pid_t& pid);
  void StopDaemon(pid_t& pid);
  std::string Keyring() const { return m_dir + "/keyring"; }
  std::vector<std::string> Env() const { return {"CEPH_CONF=" + ConfFile()}; }

  Options m_options;
  std::string m_dir;
  std::string m_fsid;
  int m_basePort = 0;
  int m_osdId = 0;
  pid_t m_monPid = -1;
  pid_t m_osdPid = -1;
  void* m_admin = nullptr;  // rados_t of client.admin while running
  long long m_startMillis = 0;
};

}  // namespace wze2e
