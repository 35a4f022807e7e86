// Several gateways on one machine, for the cluster end-to-end tests and the
// cluster benchmark: a private etcd cluster (EtcdTestCluster, 3 members on
// loopback ports above 20000) and gateways, each its own tgtd (its own
// portal and management socket) and its own wzscsid on the real drivers
// with its own state directory, all gateways sharing one backing-file
// directory (BackingStoreDirs) as gateways in front of shared storage do.
// Cluster gateways get the cluster settings in their configuration file;
// local gateways (the benchmark's comparison) do not.
//
// Every process is started and stopped by its process id. etcd members die
// with the thread that started them: call Start from the thread that runs
// the whole test.
//
// Requests go to a gateway either through wzscsictl as a user runs it
// (Ctl) or in-process over a fresh connection (Call: cheaper when a test
// sends hundreds from many threads).
//
// Thread safety: Call, Targets, Luns, Status, EtcdValues and Probe read only
// what Start set up, so several threads may use them at once, also while the
// test's thread stops, kills or restarts a gateway; everything else from the
// test's thread only.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "apps/launcher/daemon_launcher.h"
#include "apps/wzscsictl/ctl_lib.h"
#include "tests/support/cluster/etcd_fixture.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"
#include "tests/support/tgtd/tgtd_fixture.h"

class WzScsiSrvEtcdClient;

namespace wze2e {

// Polls condition every pollMs until it holds (true) or timeoutMs passed
// (false, after one last try).
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs, int pollMs = 20);

// A TCP relay in front of one etcd member, for gateway a's connections: it
// passes bytes both ways, and on demand makes the connections it holds
// half-open (the member's side gone without a FIN or RST: nothing passes,
// nothing closes) or black-holes every connection, new ones included, as a
// partition would. Listens on a loopback port above 20000; its thread ends
// with the object.
class TcpRelay {
 public:
  enum class Mode { kPass, kBlackHole };
  TcpRelay() = default;
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  // to: "http://HOST:PORT". False with error when no port could be bound.
  bool Start(const std::string& to, std::string* error);
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port); }
  // The connections held now stop passing anything, and stay open; new
  // ones pass.
  void HalfOpenExisting();
  void SetMode(Mode mode);

 private:
  void Run();

  std::string m_host;
  int m_targetPort = 0;
  int m_port = 0;
  int m_listen = -1;
  int m_wake[2] = {-1, -1};
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_mode{0};
  std::atomic<int> m_halfOpenRequests{0};
  std::thread m_thread;
};

struct ClusterRigOptions {
  size_t clusterGateways = 2;
  size_t localGateways = 0;  // after the cluster ones in gateway order
  int etcdMembers = 3;
  int logLevel = 1;  // 1 logs every request and every change applied from the cluster
  // etcd on https with client certificates, the gateways configured with
  // the CA, their certificate and key.
  bool etcdTls = false;
  // Further "KEY=VALUE\n" lines of section Quellport for every gateway (the
  // RBD settings).
  std::string settings;
  // Gateway a reaches each etcd member through a TcpRelay (Relay(i)).
  bool relayGatewayA = false;
  // Extra lines of the cluster gateways' [Quellport] section.
  std::string clusterSettings;
};

// A status reply's "key=value" lines in order ("cluster.member" may repeat).
using StatusLines = std::vector<std::pair<std::string, std::string>>;
// The value of the first line with this key ("" when none).
std::string StatusValue(const StatusLines& status, const std::string& key);

class ClusterRig {
 public:
  static const char* const kClusterName;

  ClusterRig() = default;
  // Stops every gateway and member.
  ~ClusterRig();
  ClusterRig(const ClusterRig&) = delete;
  ClusterRig& operator=(const ClusterRig&) = delete;

  // Whether what a rig needs is installed: etcd, tgtd and tgtadm.
  static bool Installed(std::string* missing);

  // etcd, then each gateway's tgtd, configuration and daemon. On failure
  // error says which part and why (with the end of its log).
  bool Start(const ClusterRigOptions& options, std::string* error);
  // Daemons first (SIGTERM, SIGKILL when they hang), then the tgtds, then
  // etcd.
  void Stop();

  size_t GatewayCount() const { return m_gateways.size(); }
  // Starts the gateway's daemon again on its state directory (its tgtd
  // kept running), whatever etcd's state.
  bool StartGateway(size_t g, std::string* error, int readyTimeoutMs = 60000);
  // SIGTERM; the exit status (-1 when it had to be killed).
  int StopGateway(size_t g);
  // SIGKILL, as a crash of the gateway's machine would end it.
  void KillGateway(size_t g);
  bool GatewayRunning(size_t g) const;

  // wzscsictl against the gateway (its Unix socket).
  WzCtlRunResult Ctl(size_t g, const std::vector<std::string>& args, int timeoutMs = 30000) const;
  // One request in-process. A request that got no reply is shown as
  // errorCode -1 with the reason in errorMessage.
  WzCtl::ReplyView Call(size_t g, const CNMessageBase& request, int timeoutMs = 30000) const;

  // What the gateway's service holds: its live targets; its LUNs by target
  // with the hosts each is mapped to. Empty on a failed request (ok false).
  std::set<std::string> Targets(size_t g, bool* ok = nullptr) const;
  std::map<std::string, std::map<int64_t, std::set<std::string>>> Luns(size_t g, bool* ok = nullptr) const;
  StatusLines Status(size_t g) const;

  // The libiscsi probe through the gateway's portal.
  CommandResult Probe(size_t g, const std::string& target, const std::string& initiator, int lun,
                      const std::vector<std::string>& args = {}) const;

  TgtdProcess& Tgtd(size_t g) { return *m_gateways[g].tgtd; }
  const TgtdProcess& Tgtd(size_t g) const { return *m_gateways[g].tgtd; }
  CWzDaemonProcess& Daemon(size_t g) { return *m_gateways[g].daemon; }
  std::string Socket(size_t g) const { return m_gateways[g].stateDir + "/wzscsid.sock"; }
  const std::string& StateDir(size_t g) const { return m_gateways[g].stateDir; }
  std::string DaemonLog(size_t g) const;

  wzetcdtest::EtcdTestCluster& Etcd() { return m_etcd; }
  // The relays in front of the members for gateway a (relayGatewayA).
  size_t RelayCount() const { return m_relays.size(); }
  TcpRelay& Relay(size_t member) { return *m_relays[member]; }
  // Rewrites a gateway's configuration file with another ClusterName ("":
  // local mode), for its next start.
  bool Reconfigure(size_t g, const std::string& clusterName, std::string* error);
  // "/wzscsi/<cluster name>/": where the cluster's configuration lives.
  std::string KeyPrefix() const;
  // Every key under KeyPrefix (or prefix) with its value (ok false when
  // etcd did not answer).
  std::map<std::string, std::string> EtcdValues(bool* ok = nullptr, const std::string& prefix = "") const;
  // Writes keys (any prefix) as another writer would, 100 to a
  // transaction, in order.
  bool PutEtcd(const std::vector<std::pair<std::string, std::string>>& kvs, std::string* error);
  // Drops etcd's history up to its current revision, so that a watch from
  // an older revision is refused as compacted.
  bool CompactEtcd(std::string* error);

  // The shared backing-file directory, and a new sparse file in it.
  const std::string& DiskDir() const { return m_diskDir; }
  std::string MakeDisk(const std::string& name, long long size) const;

  // For a failing test's message: each gateway's tgtd listing and the end
  // of each daemon's log.
  std::string Describe() const;

 private:
  struct Gateway {
    std::string name;
    bool cluster = false;
    std::string stateDir;
    std::unique_ptr<TgtdProcess> tgtd;
    std::unique_ptr<CWzDaemonProcess> daemon;
  };

  bool WriteConfig(const Gateway& gw, std::string* error, const std::string* clusterName = nullptr) const;

  ClusterRigOptions m_options;
  std::unique_ptr<CRnTempDirForTest> m_dir;
  std::string m_diskDir;
  wzetcdtest::EtcdTestCluster m_etcd;
  std::unique_ptr<WzScsiSrvEtcdClient> m_etcdClient;
  std::vector<std::unique_ptr<TcpRelay>> m_relays;
  std::vector<Gateway> m_gateways;
};

}  // namespace wze2e
