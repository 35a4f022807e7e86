#include "tests/e2e/ceph_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <rados/librados.h>
#include <rbd/librbd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

extern char** environ;

namespace wze2e {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartAttempts = 3;
constexpr int kStopTimeoutMs = 10000;
constexpr int kOsdUpTimeoutMs = 30000;
constexpr int kMonitorTimeoutMs = 10000;
// Bound of the admin client's calls: a cluster that broke fails the start
// instead of hanging the test.
constexpr const char* kAdminTimeoutSeconds = "20";
// The monitor takes the first two ports of a block (msgr2, msgr1), the OSD
// binds its four within the rest. Below the kernel's ephemeral range, so
// that no client connection takes them meanwhile.
constexpr int kPortBlock = 32;
constexpr int kLowestPort = 20000;
constexpr int kHighestPort = 32767;

const char* const kPrograms[] = {"ceph-mon", "ceph-osd", "ceph-authtool", "monmaptool"};

bool PortFree(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool free = ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(s);
  return free;
}

bool CanConnect(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool connected = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(s);
  return connected;
}

// The first port of kPortBlock ports of 127.0.0.1 that were all free a
// moment ago, at a random place so that clusters of parallel tests differ.
int FreePortBlock() {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> pick(0, (kHighestPort - kLowestPort + 1) / kPortBlock - 1);
  for (int tries = 0; tries < 100; ++tries) {
    const int base = kLowestPort + pick(random) * kPortBlock;
    bool free = true;
    for (int p = base; p < base + kPortBlock && free; ++p) free = PortFree(p);
    if (free) return base;
  }
  return 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool WriteFile(const std::string& path, const std::string& text, std::string* error) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  out.close();
  if (out) return true;
  if (error != nullptr) *error = "cannot write " + path;
  return false;
}

std::string NewUuid() {
  std::string uuid = ReadFile("/proc/sys/kernel/random/uuid");
  while (!uuid.empty() && (uuid.back() == '\n' || uuid.back() == ' ')) uuid.pop_back();
  return uuid;
}

std::string Tail(const std::string& text, size_t bytes) {
  return text.size() <= bytes ? text : "..." + text.substr(text.size() - bytes);
}

// Starts a daemon in the foreground with its output appended to logPath, in
// a process group of its own, killed when the thread that started it ends.
pid_t SpawnDaemon(std::vector<std::string> argv, const std::vector<std::string>& extraEnv, const std::string& logPath,
                  std::string* error) {
  std::string program;
  for (const char* dir : {"/usr/bin", "/usr/sbin", "/usr/local/bin", "/bin", "/sbin"}) {
    const std::string candidate = std::string(dir) + "/" + argv[0];
    if (::access(candidate.c_str(), X_OK) == 0) {
      program = candidate;
      break;
    }
  }
  if (program.empty()) {
    if (error != nullptr) *error = argv[0] + " is not installed";
    return -1;
  }
  const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) env.emplace_back(*e);
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(&a[0]);
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = (log >= 0 && null >= 0) ? ::fork() : -1;
  if (pid == 0) {
    // Only async-signal-safe calls until exec: the test has other threads.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(126);
    ::setpgid(0, 0);
    ::dup2(null, 0);
    ::dup2(log, 1);
    ::dup2(log, 2);
    ::execve(program.c_str(), args.data(), envp.data());
    ::_exit(127);
  }
  if (pid < 0 && error != nullptr) *error = "cannot start " + argv[0] + ": " + std::strerror(errno);
  if (log >= 0) ::close(log);
  if (null >= 0) ::close(null);
  return pid;
}

// The integer that follows "key": in a JSON text (-1 when absent).
long long JsonInteger(const std::string& json, const std::string& key) {
  size_t at = json.find("\"" + key + "\"");
  if (at == std::string::npos) return -1;
  at = json.find(':', at);
  if (at == std::string::npos) return -1;
  ++at;
  while (at < json.size() && json[at] == ' ') ++at;
  if (at >= json.size() || json[at] < '0' || json[at] > '9') return -1;
  return std::stoll(json.substr(at));
}

}  // namespace

std::string MissingCephPrograms() {
  std::string missing;
  for (const char* program : kPrograms) {
    if (!InPath(program)) missing += (missing.empty() ? "" : " ") + std::string(program);
  }
  return missing;
}

CephTestCluster::~CephTestCluster() {
  Stop();
  if (!m_dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }
}

std::string CephTestCluster::LogText() const {
  return "--- mon.a:\n" + Tail(ReadFile(m_dir + "/log/mon.a.log") + ReadFile(m_dir + "/log/mon.a.out"), 3000) +
         "\n--- osd." + std::to_string(m_osdId) + ":\n" +
         Tail(ReadFile(m_dir + "/log/osd." + std::to_string(m_osdId) + ".log") + ReadFile(m_dir + "/log/osd.out"),
              3000);
}

int CephTestCluster::LastPort() const { return m_basePort + kPortBlock - 1; }

CommandResult CephTestCluster::Admin(const std::vector<std::string>& argv) const {
  std::vector<std::string> full = argv;
  full.insert(full.begin() + 1, {"--id", "admin"});
  return RunCommand(full, Env());
}

bool CephTestCluster::Start(std::string* error) {
  const std::string missing = MissingCephPrograms();
  if (!missing.empty()) {
    if (error != nullptr) *error = "Ceph is not installed (missing: " + missing + ")";
    return false;
  }
  std::string why;
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    Stop();
    const auto began = Clock::now();
    if (StartOnce(&why)) {
      m_startMillis = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
      return true;
    }
    why += "\n" + LogText();
  }
  Stop();
  if (error != nullptr) *error = "Ceph did not start: " + why;
  return false;
}

bool CephTestCluster::StartOnce(std::string* error) {
  if (!m_dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
    m_dir.clear();
  }
  char pattern[] = "/tmp/wz-ceph-XXXXXX";  // short: admin socket paths are limited
  if (::mkdtemp(pattern) == nullptr) {
    if (error != nullptr) *error = std::string("mkdtemp: ") + std::strerror(errno);
    return false;
  }
  m_dir = pattern;
  for (const char* sub : {"mon.a", "run", "log", "crash"}) {
    std::error_code ec;
    std::filesystem::create_directories(m_dir + "/" + sub, ec);
  }
  m_basePort = FreePortBlock();
  if (m_basePort == 0) {
    if (error != nullptr) *error = "no free block of loopback ports";
    return false;
  }
  return WriteConfiguration(error) && MakeMonitor(error) && WaitForMonitor(error) && ConnectAdmin(error) &&
         MakeOsd(error) && MakePoolsAndUser(error) && WaitForOsdUp(error) && InitPools(error);
}

bool CephTestCluster::WriteConfiguration(std::string* error) {
  m_fsid = NewUuid();
  const std::string d = m_dir;
  const std::string v2 = std::to_string(m_basePort);
  const std::string v1 = std::to_string(m_basePort + 1);
  std::ostringstream conf;
  conf << "[global]\n"
       << "fsid = " << m_fsid << "\n"
       << "mon host = [v2:127.0.0.1:" << v2 << ",v1:127.0.0.1:" << v1 << "]\n"
       << "public addr = 127.0.0.1\n"
       << "cluster addr = 127.0.0.1\n"
       << "ms bind port min = " << m_basePort + 2 << "\n"
       << "ms bind port max = " << m_basePort + kPortBlock - 1 << "\n"
       << "auth cluster required = cephx\n"
       << "auth service required = cephx\n"
       << "auth client required = cephx\n"
       << "run dir = " << d << "/run\n"
       << "crash dir = " << d << "/crash\n"
       << "osd pool default size = 1\n"
       << "osd pool default min size = 1\n"
       << "osd pool default pg num = 8\n"
       << "osd pool default pgp num = 8\n"
       << "osd pool default pg autoscale mode = off\n"
       << "osd crush chooseleaf type = 0\n"
       << "mon allow pool size one = true\n"
       << "mon allow pool delete = true\n"
       << "mon warn on pool no redundancy = false\n"
       << "mon warn on insecure global id reclaim allowed = false\n"
       << "mon data avail warn = 1\n"
       // The one setting that matters for speed: every change the monitor
       // commits waits this long (the default 1 s makes a start take ~8 s).
       << "paxos propose interval = 0.05\n"
       << "[mon]\n"
       << "mon data = " << d << "/mon.$id\n"
       << "keyring = " << d << "/mon.$id/keyring\n"
       << "log file = " << d << "/log/$name.log\n"
       << "pid file = " << d << "/run/$name.pid\n"
       << "admin socket = " << d << "/run/$name.asok\n"
       << "[osd]\n"
       << "osd data = " << d << "/osd.$id\n"
       << "keyring = " << d << "/osd.$id/keyring\n"
       << "osd objectstore = memstore\n"
       << "memstore device bytes = " << m_options.memstoreBytes << "\n"
       << "log file = " << d << "/log/$name.log\n"
       << "pid file = " << d << "/run/$name.pid\n"
       << "admin socket = " << d
       << "/run/$name.asok\n"
       // Clients of one process (tgtd opens one per LUN) each get their own
       // socket, and none lands outside the directory.
       << "[client]\n"
       << "admin socket = " << d << "/run/$name.$pid.$cctid.asok\n"
       << "[client.admin]\n"
       << "keyring = " << Keyring() << "\n"
       << "[client." << m_options.gatewayUser << "]\n"
       << "keyring = " << GatewayKeyring() << "\n";
  return WriteFile(ConfFile(), conf.str(), error);
}

bool CephTestCluster::MakeMonitor(std::string* error) {
  const std::vector<std::vector<std::string>> steps = {
      {"ceph-authtool", "--create-keyring", Keyring(), "--gen-key", "-n", "mon.", "--cap", "mon", "allow *"},
      {"ceph-authtool", Keyring(), "--gen-key", "-n", "client.admin", "--cap", "mon", "allow *", "--cap", "osd",
       "allow *", "--cap", "mgr", "allow *"},
      {"monmaptool", "--create", "--fsid", m_fsid, "--addv", "a",
       "[v2:127.0.0.1:" + std::to_string(m_basePort) + ",v1:127.0.0.1:" + std::to_string(m_basePort + 1) + "]",
       m_dir + "/monmap"},
      {"ceph-mon", "--mkfs", "-c", ConfFile(), "-i", "a", "--monmap", m_dir + "/monmap", "--keyring", Keyring()},
  };
  for (const std::vector<std::string>& step : steps) {
    CommandResult r = RunCommand(step, Env());
    if (r.exitCode != 0) {
      if (error != nullptr) *error = step[0] + " " + step[1] + " failed: " + r.output;
      return false;
    }
  }
  m_monPid = SpawnDaemon({"ceph-mon", "-f", "-c", ConfFile(), "-i", "a"}, Env(), m_dir + "/log/mon.a.out", error);
  return m_monPid > 0;
}

// Until the monitor accepts connections: a monitor that could not bind its
// port exits at once, and the start tries other ports instead of waiting for
// a client's timeout.
bool CephTestCluster::WaitForMonitor(std::string* error) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kMonitorTimeoutMs);
  while (Clock::now() < deadline) {
    if (Exited(m_monPid)) {
      if (error != nullptr) *error = "the monitor exited";
      return false;
    }
    if (CanConnect(m_basePort)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (error != nullptr) *error = "the monitor does not listen on 127.0.0.1:" + std::to_string(m_basePort);
  return false;
}

bool CephTestCluster::ConnectAdmin(std::string* error) {
  rados_t cluster = nullptr;
  int rc = rados_create(&cluster, "admin");
  if (rc == 0) rc = rados_conf_read_file(cluster, ConfFile().c_str());
  for (const char* option : {"client_mount_timeout", "rados_mon_op_timeout", "rados_osd_op_timeout"}) {
    if (rc == 0) rc = rados_conf_set(cluster, option, kAdminTimeoutSeconds);
  }
  if (rc == 0) rc = rados_connect(cluster);
  if (rc != 0) {
    if (cluster != nullptr) rados_shutdown(cluster);
    if (error != nullptr) {
      *error = std::string("client.admin cannot connect: ") + std::strerror(-rc);
      if (Exited(m_monPid)) *error += " (the monitor exited)";
    }
    return false;
  }
  m_admin = cluster;
  return true;
}

void CephTestCluster::DisconnectAdmin() {
  if (m_admin != nullptr) rados_shutdown(static_cast<rados_t>(m_admin));
  m_admin = nullptr;
}

bool CephTestCluster::MonCommand(const std::string& json, const std::string& input, std::string* out,
                                 std::string* error) {
  if (m_admin == nullptr) {
    if (error != nullptr) *error = "the cluster is not running";
    return false;
  }
  const char* cmd[] = {json.c_str()};
  char* outbuf = nullptr;
  size_t outlen = 0;
  char* status = nullptr;
  size_t statuslen = 0;
  int rc = rados_mon_command(static_cast<rados_t>(m_admin), cmd, 1, input.data(), input.size(), &outbuf, &outlen,
                             &status, &statuslen);
  if (out != nullptr) out->assign(outbuf != nullptr ? outbuf : "", outlen);
  if (rc != 0 && error != nullptr) {
    *error = json + ": " + std::strerror(-rc) + ": " + std::string(status != nullptr ? status : "", statuslen);
  }
  if (outbuf != nullptr) rados_buffer_free(outbuf);
  if (status != nullptr) rados_buffer_free(status);
  return rc == 0;
}

bool CephTestCluster::MakeOsd(std::string* error) {
  CommandResult key = RunCommand({"ceph-authtool", "--gen-print-key"}, Env());
  std::string secret = key.output.substr(0, key.output.find('\n'));
  if (key.exitCode != 0 || secret.empty()) {
    if (error != nullptr) *error = "ceph-authtool --gen-print-key failed: " + key.output;
    return false;
  }
  const std::string uuid = NewUuid();
  std::string out;
  if (!MonCommand("{\"prefix\": \"osd new\", \"uuid\": \"" + uuid + "\", \"format\": \"json\"}",
                  "{\"cephx_secret\": \"" + secret + "\"}", &out, error)) {
    return false;
  }
  m_osdId = static_cast<int>(JsonInteger(out, "osdid"));
  if (m_osdId < 0) {
    if (error != nullptr) *error = "osd new answered " + out;
    return false;
  }
  const std::string osd = "osd." + std::to_string(m_osdId);
  std::error_code ec;
  std::filesystem::create_directories(m_dir + "/" + osd, ec);
  if (!WriteFile(m_dir + "/" + osd + "/keyring", "[" + osd + "]\n\tkey = " + secret + "\n", error)) return false;
  const std::string id = std::to_string(m_osdId);
  CommandResult mkfs = RunCommand({"ceph-osd", "-c", ConfFile(), "-i", id, "--mkfs", "--osd-uuid", uuid}, Env());
  if (mkfs.exitCode != 0) {
    if (error != nullptr) *error = "ceph-osd --mkfs failed: " + mkfs.output;
    return false;
  }
  m_osdPid = SpawnDaemon({"ceph-osd", "-f", "-c", ConfFile(), "-i", id}, Env(), m_dir + "/log/osd.out", error);
  return m_osdPid > 0;
}

// Monitor-only work, done while the OSD comes up.
bool CephTestCluster::MakePoolsAndUser(std::string* error) {
  for (const std::string& pool : m_options.pools) {
    if (!MonCommand("{\"prefix\": \"osd pool create\", \"pool\": \"" + pool + "\"}", "", nullptr, error)) return false;
  }
  std::string osdCaps;
  for (const std::string& pool : m_options.gatewayPools) {
    osdCaps += (osdCaps.empty() ? "" : ", ") + std::string("profile rbd pool=") + pool;
  }
  std::string keyring;
  if (!MonCommand("{\"prefix\": \"auth get-or-create\", \"entity\": \"client." + m_options.gatewayUser +
                      "\", \"caps\": [\"mon\", \"profile rbd\", \"osd\", \"" + osdCaps + "\"]}",
                  "", &keyring, error)) {
    return false;
  }
  if (keyring.find("key = ") == std::string::npos) {
    if (error != nullptr) *error = "auth get-or-create answered " + keyring;
    return false;
  }
  return WriteFile(GatewayKeyring(), keyring, error);
}

bool CephTestCluster::WaitForOsdUp(std::string* error) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kOsdUpTimeoutMs);
  std::string last;
  while (Clock::now() < deadline) {
    if (Exited(m_osdPid)) {
      if (error != nullptr) *error = "the OSD exited";
      return false;
    }
    std::string out;
    if (MonCommand("{\"prefix\": \"osd stat\", \"format\": \"json\"}", "", &out, error) &&
        JsonInteger(out, "num_up_osds") == 1) {
      return true;
    }
    last = out;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (error != nullptr) *error = "the OSD did not come up: " + last;
  return false;
}

bool CephTestCluster::InitPools(std::string* error) {
  for (const std::string& pool : m_options.pools) {
    rados_ioctx_t io = nullptr;
    int rc = rados_ioctx_create(static_cast<rados_t>(m_admin), pool.c_str(), &io);
    if (rc == 0) {
      rc = rbd_pool_init(io, false);
      rados_ioctx_destroy(io);
    }
    if (rc != 0) {
      if (error != nullptr) *error = "rbd pool init " + pool + ": " + std::strerror(-rc);
      return false;
    }
  }
  return true;
}

bool CephTestCluster::Exited(pid_t& pid) {
  if (pid <= 0) return true;
  int status = 0;
  if (::waitpid(pid, &status, WNOHANG) != pid) return false;
  pid = -1;
  return true;
}

void CephTestCluster::StopDaemon(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  const auto deadline = Clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) != pid) {
    if (Clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid = -1;
}

void CephTestCluster::Stop() {
  DisconnectAdmin();
  // The OSD first: it tells the monitor it is going, which needs the monitor.
  StopDaemon(m_osdPid);
  StopDaemon(m_monPid);
}

}  // namespace wze2e
