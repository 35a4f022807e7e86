#include "tests/support/cluster/etcd_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

#include "cluster/etcd_client.h"
#include "hostlib/util/wz_fd.h"
#include "tests/support/process/child_process.h"

namespace wzetcdtest {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartAttempts = 3;
constexpr int kLeaderTimeoutMs = 20000;
constexpr int kStopTimeoutMs = 5000;

// Runs argv to its end with its output appended to logPath.
bool RunToEnd(const std::vector<std::string>& argv, const std::string& logPath, std::string* error) {
  const wztest::CommandResult r = wztest::RunCommand(argv);
  std::ofstream(logPath, std::ios::app) << r.output;
  if (r.exitCode == 0) return true;
  if (error != nullptr) *error = argv[0] + " " + argv[1] + " failed: " + wztest::ReadFile(logPath);
  return false;
}

}  // namespace

bool EtcdInstalled() { return wztest::InPath("etcd"); }

EtcdTestCluster::~EtcdTestCluster() {
  Stop();
  if (!m_dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }
}

std::string EtcdTestCluster::Url(int port) const {
  return std::string(m_tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
}

WzEtcdClientOptions EtcdTestCluster::ClientOptions() const {
  WzEtcdClientOptions options;
  options.endpoints = ClientUrls();
  if (m_tls) {
    options.tlsCaFile = TlsFile("ca.crt");
    options.tlsCertFile = TlsFile("client.crt");
    options.tlsKeyFile = TlsFile("client.key");
  }
  return options;
}

// A CA, a member certificate for 127.0.0.1 (also a client one: the
// member's gateway presents it to the member itself) and a client
// certificate, with P-256 keys (quick to make), valid for two days.
bool EtcdTestCluster::MakeCertificates(std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(m_dir + "/tls", ec);
  const std::string log = TlsFile("openssl.log");
  {
    std::ofstream(TlsFile("member.ext")) << "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth,clientAuth\n";
    std::ofstream(TlsFile("client.ext")) << "extendedKeyUsage=clientAuth\n";
  }
  const std::vector<std::string> key = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
  auto request = [&](const std::string& name, const std::string& subject) {
    std::vector<std::string> argv = {"openssl", "req"};
    argv.insert(argv.end(), key.begin(), key.end());
    argv.insert(argv.end(), {"-keyout", TlsFile((name + ".key").c_str()), "-out", TlsFile((name + ".csr").c_str()),
                             "-subj", subject});
    return RunToEnd(argv, log, error);
  };
  auto sign = [&](const std::string& name) {
    return RunToEnd({"openssl", "x509", "-req", "-in", TlsFile((name + ".csr").c_str()), "-CA", TlsFile("ca.crt"),
                     "-CAkey", TlsFile("ca.key"), "-CAcreateserial", "-days", "2", "-extfile",
                     TlsFile((name + ".ext").c_str()), "-out", TlsFile((name + ".crt").c_str())},
                    log, error);
  };
  std::vector<std::string> ca = {"openssl", "req", "-x509"};
  ca.insert(ca.end(), key.begin(), key.end());
  ca.insert(ca.end(),
            {"-keyout", TlsFile("ca.key"), "-out", TlsFile("ca.crt"), "-days", "2", "-subj", "/CN=wz-test-ca"});
  return RunToEnd(ca, log, error) && request("member", "/CN=etcd") && sign("member") &&
         request("client", "/CN=wzscsid") && sign("client");
}

std::vector<std::string> EtcdTestCluster::ClientUrls() const {
  std::vector<std::string> urls;
  for (const Member& m : m_members) urls.push_back(Url(m.clientPort));
  return urls;
}

std::string EtcdTestCluster::ClientUrl(size_t index) const { return Url(m_members[index].clientPort); }

std::string EtcdTestCluster::LogText(size_t index) const {
  return wztest::ReadFile(m_dir + "/" + m_members[index].name + ".log");
}

std::string EtcdTestCluster::InitialCluster() const {
  std::string out;
  for (const Member& m : m_members) {
    out += (out.empty() ? "" : ",") + m.name + "=http://127.0.0.1:" + std::to_string(m.peerPort);
  }
  return out;
}

bool EtcdTestCluster::Start(int members, std::string* error, bool tls) {
  if (members != 1 && members != 3) {
    if (error != nullptr) *error = "a test cluster has 1 or 3 members";
    return false;
  }
  if (!EtcdInstalled()) {
    if (error != nullptr) *error = "etcd is not installed";
    return false;
  }
  if (m_dir.empty()) {
    char pattern[] = "/tmp/wz-etcd-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      if (error != nullptr) *error = std::string("mkdtemp: ") + std::strerror(errno);
      return false;
    }
    m_dir = pattern;
  }
  m_tls = tls;
  if (m_tls && !MakeCertificates(error)) return false;
  std::string why;
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    Stop();
    const std::vector<int> ports = wztest::FreeLoopbackPorts(2 * static_cast<size_t>(members));
    if (ports.empty()) {
      why = "no free loopback ports";
      continue;
    }
    m_members.assign(static_cast<size_t>(members), Member());
    for (size_t i = 0; i < m_members.size(); ++i) {
      m_members[i].name = "m" + std::to_string(i + 1);
      m_members[i].clientPort = ports[2 * i];
      m_members[i].peerPort = ports[2 * i + 1];
      std::error_code ec;
      std::filesystem::remove_all(m_dir + "/" + m_members[i].name, ec);
    }
    // A token of its own: members of another test's cluster never join.
    m_token = "wz-" + std::to_string(::getpid()) + "-" + std::to_string(attempt) + "-" + m_dir.substr(m_dir.size() - 6);
    bool launched = true;
    for (size_t i = 0; i < m_members.size() && launched; ++i) launched = Launch(i, &why);
    if (launched && WaitForLeader(kLeaderTimeoutMs, &why)) return true;
  }
  Stop();
  if (error != nullptr) *error = "etcd did not start: " + why;
  return false;
}

bool EtcdTestCluster::Launch(size_t index, std::string* error) {
  Member& m = m_members[index];
  // Peers speak plain http among themselves; only clients see TLS.
  const std::string peer = "http://127.0.0.1:" + std::to_string(m.peerPort);
  const std::string client = Url(m.clientPort);
  std::vector<std::string> argv = {"etcd",
                                   "--name",
                                   m.name,
                                   "--data-dir",
                                   m_dir + "/" + m.name,
                                   "--listen-peer-urls",
                                   peer,
                                   "--initial-advertise-peer-urls",
                                   peer,
                                   "--listen-client-urls",
                                   client,
                                   "--advertise-client-urls",
                                   client,
                                   "--initial-cluster",
                                   InitialCluster(),
                                   "--initial-cluster-state",
                                   "new",
                                   "--initial-cluster-token",
                                   m_token,
                                   "--logger",
                                   "zap",
                                   "--log-outputs",
                                   "stderr"};
  if (m_tls) {
    argv.insert(argv.end(), {"--cert-file", TlsFile("member.crt"), "--key-file", TlsFile("member.key"),
                             "--trusted-ca-file", TlsFile("ca.crt"), "--client-cert-auth"});
  }
  const std::string logPath = m_dir + "/" + m.name + ".log";
  WzScopedFd log(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!log.Valid()) {
    if (error != nullptr) *error = "cannot open " + logPath + ": " + std::strerror(errno);
    return false;
  }
  wztest::SpawnOptions options;
  options.outputFd = log.Get();
  options.dieWithStarter = true;
  m.pid = wztest::Spawn(argv, options, error);
  return m.pid > 0;
}

bool EtcdTestCluster::Exited(size_t index) {
  Member& m = m_members[index];
  if (!wztest::Reaped(m.pid)) return false;
  m.pid = -1;
  return true;
}

bool EtcdTestCluster::StartMember(size_t index, std::string* error) {
  if (Running(index)) return true;
  return Launch(index, error);
}

void EtcdTestCluster::StopMember(size_t index) {
  Member& m = m_members[index];
  wztest::StopProcess(m.pid, kStopTimeoutMs);
  m.pid = -1;
}

void EtcdTestCluster::Stop() {
  // SIGTERM to all first: members that stop together do not wait on each
  // other's elections.
  for (const Member& m : m_members) {
    if (m.pid > 0) ::kill(m.pid, SIGTERM);
  }
  for (size_t i = 0; i < m_members.size(); ++i) StopMember(i);
}

bool EtcdTestCluster::WaitForLeader(int timeoutMs, std::string* error) {
  std::vector<size_t> running;
  for (size_t i = 0; i < m_members.size(); ++i) {
    if (Running(i)) running.push_back(i);
  }
  if (running.empty()) {
    if (error != nullptr) *error = "no member is running";
    return false;
  }
  WzEtcdClientOptions options = ClientOptions();
  options.requestTimeoutMs = 500;
  std::unique_ptr<WzScsiSrvEtcdClient> client;
  if (CRnError err = WzScsiSrvEtcdClient::Create(options, client)) {
    if (error != nullptr) *error = err.AsString();
    return false;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string last = "no member answered";
  while (Clock::now() < deadline) {
    for (size_t i : running) {
      if (Exited(i)) {
        if (error != nullptr) *error = m_members[i].name + " exited: " + LogText(i);
        return false;
      }
    }
    std::set<uint64_t> leaders;
    std::set<uint64_t> ids;
    bool all = true;
    for (size_t i : running) {
      WzEtcdStatus status;
      if (CRnError err = client->Status(ClientUrl(i), status)) {
        last = err.AsString();
        all = false;
        break;
      }
      leaders.insert(status.leader);
      ids.insert(status.memberId);
    }
    if (all && leaders.size() == 1 && *leaders.begin() != 0 && ids.count(*leaders.begin()) == 1) return true;
    if (all) last = "the members do not agree on a leader among them yet";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (error != nullptr) *error = "no leader within " + std::to_string(timeoutMs) + " ms: " + last;
  return false;
}

WzEtcdWatch::Callback WatchRecorder::Callback() {
  return [this](const WzEtcdWatchUpdate& update) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (update.kind == WzEtcdWatchUpdate::Kind::kEvents) {
      m_events.insert(m_events.end(), update.events.begin(), update.events.end());
    } else if (update.kind == WzEtcdWatchUpdate::Kind::kProgress) {
      ++m_progress;
    } else {
      m_ended = true;
      m_end = update;
    }
    m_changed.notify_all();
  };
}

bool WatchRecorder::WaitForRevision(int64_t revision, int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return !m_events.empty() && m_events.back().kv.modRevision >= revision; });
}

bool WatchRecorder::WaitForEnd(int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_ended; });
}

std::vector<WzEtcdEvent> WatchRecorder::Events() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_events;
}

bool WatchRecorder::Ended() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_ended;
}

WzEtcdWatchUpdate WatchRecorder::End() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_end;
}

}  // namespace wzetcdtest
