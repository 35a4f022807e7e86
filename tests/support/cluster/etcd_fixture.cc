#include "tests/support/cluster/etcd_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "cluster/etcd_client.h"
#include "hostlib/util/wz_fd.h"

extern char** environ;

namespace wzetcdtest {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartAttempts = 3;
constexpr int kLeaderTimeoutMs = 20000;
constexpr int kStopTimeoutMs = 5000;
constexpr int kLowestPort = 20001;

// count distinct loopback ports above 20000 that were free a moment ago.
// The probing sockets stay bound until all are chosen, so that the kernel
// does not hand out one port twice.
bool FreePorts(size_t count, std::vector<int>& ports) {
  std::vector<WzScopedFd> held;
  ports.clear();
  for (int tries = 0; ports.size() < count && tries < 1000; ++tries) {
    WzScopedFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (s.Get() < 0 || ::bind(s.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return false;
    }
    const int port = ntohs(addr.sin_port);
    if (port >= kLowestPort) ports.push_back(port);
    held.push_back(std::move(s));
  }
  return ports.size() == count;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The full path of a program in PATH (or /usr/bin, /usr/local/bin); "" when
// there is none.
std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(std::string(path != nullptr ? path : "") + ":/usr/bin:/usr/local/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = dir + "/" + name;
    if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// Starts argv with its output appended to logPath, in a process group of
// its own (a terminal's Ctrl-C stays with the test). The child is killed
// when the thread that started it ends, so a test that crashes leaves no
// member behind.
pid_t Spawn(std::vector<std::string> argv, const std::string& logPath, std::string* error) {
  const std::string program = FindProgram(argv[0]);
  if (program.empty()) {
    if (error != nullptr) *error = argv[0] + " is not in PATH";
    return -1;
  }
  WzScopedFd log(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  WzScopedFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (log.Get() < 0 || null.Get() < 0) {
    if (error != nullptr) *error = "cannot open " + logPath + ": " + std::strerror(errno);
    return -1;
  }
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(&a[0]);
  args.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    if (error != nullptr) *error = std::string("fork: ") + std::strerror(errno);
    return -1;
  }
  if (pid == 0) {
    // Only async-signal-safe calls until exec: the test has other threads.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(126);
    ::setpgid(0, 0);
    ::dup2(null.Get(), 0);
    ::dup2(log.Get(), 1);
    ::dup2(log.Get(), 2);
    ::execve(program.c_str(), args.data(), environ);
    static const char kFailed[] = "exec failed\n";
    (void)!::write(2, kFailed, sizeof(kFailed) - 1);
    ::_exit(127);
  }
  return pid;
}

// Runs argv to its end with its output appended to logPath.
bool RunToEnd(const std::vector<std::string>& argv, const std::string& logPath, std::string* error) {
  const pid_t pid = Spawn(argv, logPath, error);
  if (pid <= 0) return false;
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  if (error != nullptr) *error = argv[0] + " " + argv[1] + " failed: " + ReadFile(logPath);
  return false;
}

}  // namespace

bool EtcdInstalled() { return !FindProgram("etcd").empty(); }

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
  return ReadFile(m_dir + "/" + m_members[index].name + ".log");
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
    std::vector<int> ports;
    if (!FreePorts(2 * static_cast<size_t>(members), ports)) {
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
  m.pid = Spawn(argv, m_dir + "/" + m.name + ".log", error);
  return m.pid > 0;
}

bool EtcdTestCluster::Exited(size_t index) {
  Member& m = m_members[index];
  if (m.pid <= 0) return false;
  int status = 0;
  if (::waitpid(m.pid, &status, WNOHANG) != m.pid) return false;
  m.pid = -1;
  return true;
}

bool EtcdTestCluster::StartMember(size_t index, std::string* error) {
  if (Running(index)) return true;
  return Launch(index, error);
}

void EtcdTestCluster::StopMember(size_t index) {
  Member& m = m_members[index];
  if (m.pid <= 0) return;
  ::kill(m.pid, SIGTERM);
  const auto deadline = Clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
  int status = 0;
  while (::waitpid(m.pid, &status, WNOHANG) != m.pid) {
    if (Clock::now() >= deadline) {
      ::kill(m.pid, SIGKILL);
      ::waitpid(m.pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
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
