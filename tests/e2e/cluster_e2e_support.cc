#include "tests/e2e/cluster_e2e_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "cluster/etcd_client.h"
#include "tests/e2e/driver_harness.h"

namespace wze2e {

namespace {

using Clock = std::chrono::steady_clock;

// Enough of a daemon's log to see why it failed, not the whole run.
constexpr size_t kLogTailBytes = 4000;

std::string Tail(const std::string& text, size_t bytes) {
  return text.size() <= bytes ? text : "..." + text.substr(text.size() - bytes);
}

std::string Join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? separator : "") + parts[i];
  return out;
}

}  // namespace

const char* const ClusterRig::kClusterName = "wz-e2e";

// ---------------------------------------------------------------- the relay

TcpRelay::~TcpRelay() {
  m_stop = true;
  if (m_wake[1] >= 0) (void)!::write(m_wake[1], "x", 1);
  if (m_thread.joinable()) m_thread.join();
  for (int fd : {m_listen, m_wake[0], m_wake[1]})
    if (fd >= 0) ::close(fd);
}

bool TcpRelay::Start(const std::string& to, std::string* error) {
  const std::string hostPort = to.substr(to.find("://") == std::string::npos ? 0 : to.find("://") + 3);
  const size_t colon = hostPort.rfind(':');
  m_host = hostPort.substr(0, colon);
  m_targetPort = std::atoi(hostPort.substr(colon + 1).c_str());
  m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  (void)::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  for (int port = 20000 + (::getpid() * 7) % 20000, tries = 0; tries < 200; ++tries, ++port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(m_listen, 64) == 0) {
      m_port = port;
      break;
    }
  }
  if (m_port == 0 || ::pipe(m_wake) != 0) {
    *error = "the relay found no free port";
    return false;
  }
  m_thread = std::thread([this] { Run(); });
  return true;
}

void TcpRelay::HalfOpenExisting() {
  ++m_halfOpenRequests;
  (void)!::write(m_wake[1], "x", 1);
}

void TcpRelay::SetMode(Mode mode) {
  m_mode = static_cast<int>(mode);
  (void)!::write(m_wake[1], "x", 1);
}

void TcpRelay::Run() {
  struct Pair {
    int client, server;
    bool silent;  // half-open or black-holed: nothing passes, nothing closes
  };
  std::vector<Pair> pairs;
  int served = 0;
  auto closePair = [](Pair& p) {
    ::close(p.client);
    if (p.server >= 0) ::close(p.server);
  };
  while (!m_stop.load()) {
    if (m_halfOpenRequests.load() != served) {
      served = m_halfOpenRequests.load();
      for (Pair& p : pairs) p.silent = true;
    }
    const bool blackHole = m_mode.load() == static_cast<int>(Mode::kBlackHole);
    std::vector<pollfd> fds = {{m_listen, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
    for (const Pair& p : pairs) {
      fds.push_back({p.client, static_cast<short>(p.silent || blackHole ? 0 : POLLIN), 0});
      fds.push_back({p.server, static_cast<short>(p.silent || blackHole ? 0 : POLLIN), 0});
    }
    if (::poll(fds.data(), fds.size(), 200) < 0) continue;
    if (fds[1].revents & POLLIN) {
      char drain[64];
      (void)!::read(m_wake[0], drain, sizeof drain);
    }
    if (fds[0].revents & POLLIN) {
      const int client = ::accept(m_listen, nullptr, nullptr);
      if (client >= 0) {
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(m_targetPort));
        ::inet_pton(AF_INET, m_host.c_str(), &addr.sin_addr);
        if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
          ::close(server);
          ::close(client);
        } else {
          pairs.push_back({client, server, blackHole});
        }
      }
    }
    std::vector<bool> dead(pairs.size(), false);
    for (size_t i = 0; i < pairs.size(); ++i) {
      for (int side = 0; side < 2; ++side) {
        const pollfd& f = fds[2 + 2 * i + side];
        if ((f.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const int from = side == 0 ? pairs[i].client : pairs[i].server;
        const int to = side == 0 ? pairs[i].server : pairs[i].client;
        char buffer[65536];
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n <= 0 || ::send(to, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) dead[i] = true;
      }
    }
    for (size_t i = pairs.size(); i-- > 0;)
      if (dead[i]) {
        closePair(pairs[i]);
        pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(i));
      }
  }
  for (Pair& p : pairs) closePair(p);
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs, int pollMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
  return condition();
}

std::string StatusValue(const StatusLines& status, const std::string& key) {
  for (const auto& line : status)
    if (line.first == key) return line.second;
  return std::string();
}

ClusterRig::~ClusterRig() { Stop(); }

bool ClusterRig::Installed(std::string* missing) {
  if (!wzetcdtest::EtcdInstalled()) {
    *missing = "etcd is not installed";
    return false;
  }
  if (!TgtdInstalled()) {
    *missing = "tgtd is not installed";
    return false;
  }
  return true;
}

bool ClusterRig::Start(const ClusterRigOptions& options, std::string* error) {
  m_options = options;
  m_dir = std::make_unique<CRnTempDirForTest>();
  m_diskDir = m_dir->Join("disks");
  if (::mkdir(m_diskDir.c_str(), 0750) != 0) {
    *error = "cannot make " + m_diskDir;
    return false;
  }
  if (options.clusterGateways > 0) {
    if (!m_etcd.Start(options.etcdMembers, error, options.etcdTls)) {
      *error = "etcd: " + *error;
      return false;
    }
    if (options.relayGatewayA) {
      for (const std::string& url : m_etcd.ClientUrls()) {
        m_relays.push_back(std::make_unique<TcpRelay>());
        if (!m_relays.back()->Start(url, error)) return false;
      }
    }
    WzEtcdClientOptions client = m_etcd.ClientOptions();
    if (CRnError e = WzScsiSrvEtcdClient::Create(client, m_etcdClient)) {
      *error = "etcd client: " + e.AsString();
      return false;
    }
  }
  const size_t total = options.clusterGateways + options.localGateways;
  for (size_t g = 0; g < total; ++g) {
    Gateway gw;
    gw.cluster = g < options.clusterGateways;
    gw.name = gw.cluster ? std::string(1, static_cast<char>('a' + g)) : "local" + std::to_string(g);
    gw.stateDir = m_dir->Join("gw-" + gw.name);
    gw.tgtd = std::make_unique<TgtdProcess>();
    gw.daemon = std::make_unique<CWzDaemonProcess>();
    if (::mkdir(gw.stateDir.c_str(), 0750) != 0 || ::mkdir((gw.stateDir + "/snapshots").c_str(), 0750) != 0) {
      *error = "cannot make " + gw.stateDir;
      return false;
    }
    if (!gw.tgtd->Start(error)) {
      *error = "tgtd of gateway " + gw.name + ": " + *error;
      return false;
    }
    m_gateways.push_back(std::move(gw));
    if (!WriteConfig(m_gateways.back(), error)) return false;
  }
  for (size_t g = 0; g < total; ++g)
    if (!StartGateway(g, error)) return false;
  return true;
}

bool ClusterRig::Reconfigure(size_t g, const std::string& clusterName, std::string* error) {
  return WriteConfig(m_gateways[g], error, &clusterName);
}

bool ClusterRig::WriteConfig(const Gateway& gw, std::string* error, const std::string* clusterName) const {
  // The tgt engine by name: on a machine with the kernel target the
  // automatic choice would take that one.
  std::string conf = "[Quellport]\nsScsiEngine=tgt\nBackingStoreDirs=" + m_diskDir + "\n" + m_options.settings;
  const std::string name = clusterName != nullptr ? *clusterName : std::string(gw.cluster ? kClusterName : "");
  if (!name.empty()) {
    std::vector<std::string> urls = m_etcd.ClientUrls();
    if (gw.name == "a" && !m_relays.empty()) {
      urls.clear();
      for (const auto& relay : m_relays) urls.push_back(relay->Url());
    }
    conf += "ClusterEndpoints=" + Join(urls, ",") + "\nClusterName=" + name + "\n" + m_options.clusterSettings;
    const WzEtcdClientOptions tls = m_etcd.ClientOptions();
    if (!tls.tlsCaFile.empty())
      conf += "ClusterTlsCaFile=" + tls.tlsCaFile + "\nClusterTlsCertFile=" + tls.tlsCertFile +
              "\nClusterTlsKeyFile=" + tls.tlsKeyFile + "\n";
  }
  conf += "[WzScsiSrvTgt]\nTgtdControlSocket=" + gw.tgtd->ControlSocket() + "\nTgtdPortal=" + gw.tgtd->Portal() +
          "\n[WzScsiSrvBStorDevSnap]\nSnapshotDir=" + gw.stateDir + "/snapshots\n";
  const std::string path = gw.stateDir + "/wzscsi.conf";
  std::ofstream out(path, std::ios::trunc);
  out << conf;
  out.close();
  if (!out) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

void ClusterRig::Stop() {
  for (Gateway& gw : m_gateways)
    if (gw.daemon->Pid() > 0) gw.daemon->Stop(20000);
  for (Gateway& gw : m_gateways) gw.tgtd->Stop();
  m_gateways.clear();
  m_etcdClient.reset();
  m_etcd.Stop();
}

bool ClusterRig::StartGateway(size_t g, std::string* error, int readyTimeoutMs) {
  Gateway& gw = m_gateways[g];
  WzDaemonLaunch cfg;
  cfg.readyTimeoutMs = readyTimeoutMs;
  cfg.stateDir = gw.stateDir;
  cfg.driverDir = WzBuildPaths::RealDrivers();
  cfg.logLevel = m_options.logLevel;
  if (CRnError e = gw.daemon->Start(cfg)) {
    *error = "wzscsid of gateway " + gw.name + ": " + e.AsString() + "\n" + Tail(DaemonLog(g), kLogTailBytes);
    return false;
  }
  return true;
}

int ClusterRig::StopGateway(size_t g) { return m_gateways[g].daemon->Stop(20000); }

void ClusterRig::KillGateway(size_t g) { m_gateways[g].daemon->Kill(); }

bool ClusterRig::GatewayRunning(size_t g) const { return m_gateways[g].daemon->Running(); }

WzCtlRunResult ClusterRig::Ctl(size_t g, const std::vector<std::string>& args, int timeoutMs) const {
  WzCtlRun cfg;
  cfg.args = {"--socket", Socket(g)};
  cfg.args.insert(cfg.args.end(), args.begin(), args.end());
  cfg.timeoutMs = timeoutMs;
  return RunCtlProcess(cfg);
}

WzCtl::ReplyView ClusterRig::Call(size_t g, const CNMessageBase& request, int timeoutMs) const {
  WzCtl::CallResult r = WzCtl::CallOnce(Socket(g), "", request, timeoutMs);
  if (!r.reply) {
    WzCtl::ReplyView none;
    none.hasError = true;
    none.errorCode = -1;
    none.errorMessage = "no reply: " + r.errorText;
    return none;
  }
  return WzCtl::ViewReply(*r.reply);
}

std::set<std::string> ClusterRig::Targets(size_t g, bool* ok) const {
  WzCtl::ReplyView v = Call(g, *WzCtl::MakeListTargets(0));
  if (ok != nullptr) *ok = v.errorCode == 0;
  if (v.errorCode != 0) return {};
  return std::set<std::string>(v.results.begin(), v.results.end());
}

std::map<std::string, std::map<int64_t, std::set<std::string>>> ClusterRig::Luns(size_t g, bool* ok) const {
  WzCtl::ReplyView v = Call(g, *WzCtl::MakeListLuns("", "", 0));
  if (ok != nullptr) *ok = v.errorCode == 0;
  std::map<std::string, std::map<int64_t, std::set<std::string>>> out;
  if (v.errorCode != 0) return out;
  for (const std::string& line : v.results) {
    WzCtl::LunTuple t;
    if (!WzCtl::ParseLunTuple(line, t)) continue;
    std::set<std::string>& hosts = out[t.target][t.lun];
    if (t.host != "-") hosts.insert(t.host);
  }
  return out;
}

StatusLines ClusterRig::Status(size_t g) const {
  StatusLines out;
  WzCtl::ReplyView v = Call(g, *WzCtl::MakeStatus(0));
  for (const std::string& line : v.results) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) out.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  return out;
}

CommandResult ClusterRig::Probe(size_t g, const std::string& target, const std::string& initiator, int lun,
                                const std::vector<std::string>& args) const {
  return RunProbe(Tgtd(g).Portal(), target, initiator, lun, args);
}

std::string ClusterRig::DaemonLog(size_t g) const {
  return CRnTempDirForTest::ReadText(m_gateways[g].stateDir + "/wzscsid.log");
}

std::string ClusterRig::KeyPrefix() const { return std::string("/wzscsi/") + kClusterName + "/"; }

std::map<std::string, std::string> ClusterRig::EtcdValues(bool* ok, const std::string& prefix) const {
  std::map<std::string, std::string> out;
  WzEtcdRange range;
  const bool answered =
      m_etcdClient && m_etcdClient->GetPrefix(prefix.empty() ? KeyPrefix() : prefix, range).IsSuccess();
  if (ok != nullptr) *ok = answered;
  if (!answered) return out;
  for (const WzEtcdKeyValue& kv : range.kvs) out[kv.key] = kv.value;
  return out;
}

bool ClusterRig::PutEtcd(const std::vector<std::pair<std::string, std::string>>& kvs, std::string* error) {
  if (!m_etcdClient) {
    *error = "no etcd in this rig";
    return false;
  }
  for (size_t at = 0; at < kvs.size(); at += 100) {
    std::vector<WzEtcdOp> puts;
    for (size_t i = at; i < std::min(kvs.size(), at + 100); ++i)
      puts.push_back(WzEtcdOp::Put(kvs[i].first, kvs[i].second));
    WzEtcdTxnResult result;
    if (CRnError e = m_etcdClient->Txn({}, puts, {}, result)) {
      *error = e.AsString();
      return false;
    }
  }
  return true;
}

bool ClusterRig::CompactEtcd(std::string* error) {
  if (!m_etcdClient) {
    *error = "no etcd in this rig";
    return false;
  }
  WzEtcdRange range;
  CRnError e = m_etcdClient->Get(KeyPrefix(), range);
  if (!e) e = m_etcdClient->Compact(range.revision);
  if (e) *error = e.AsString();
  return !e;
}

std::string ClusterRig::MakeDisk(const std::string& name, long long size) const {
  const std::string path = m_diskDir + "/" + name;
  std::ofstream(path, std::ios::trunc).close();
  if (::truncate(path.c_str(), size) != 0) return std::string();
  return path;
}

std::string ClusterRig::Describe() const {
  std::string out;
  for (size_t g = 0; g < m_gateways.size(); ++g) {
    const Gateway& gw = m_gateways[g];
    out += "---- gateway " + gw.name + ": tgtd (portal " + gw.tgtd->Portal() + ") ----\n" + gw.tgtd->ShowTargets() +
           "---- gateway " + gw.name + ": wzscsid log ----\n" + Tail(DaemonLog(g), kLogTailBytes) + "\n";
  }
  return out;
}

}  // namespace wze2e
