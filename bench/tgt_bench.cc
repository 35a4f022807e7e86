// The tgt-engine benchmark: 1,000 targets, each with one LUN on a sparse
// file and one mapped host, configured through wzscsid with the real drivers
// on a private tgtd (-t 1), and the same configuration applied by
// `tgt-admin -e` from an equivalent targets.conf on a second private tgtd,
// side by side in one run. Then the replay after a tgtd restart: wzscsid
// stopped, tgtd killed and started again empty, wzscsid started and its
// start request timed until tgtd holds every target again. And, for
// reference, the replay when tgtd kept running (the driver adopts what tgtd
// holds).
//
// Prints a table and writes the figures as JSON (--json). Exit status 0 when
// every measurement ran (targets missed or not), 1 otherwise.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_requests.h"
#include "bench/bench_stats.h"
#include "bench/e2e_daemon.h"
#include "hostlib/net/client.h"
#include "hostlib/util/RnFiles.h"
#include "tests/e2e/tgtd_fixture.h"

namespace {

using namespace wzbench;
typedef std::chrono::steady_clock Clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void Progress(const char* fmt, ...) WZ_PRINTF(1, 2);
void Progress(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  fprintf(stderr, "tgt: ");
  vfprintf(stderr, fmt, args);
  fprintf(stderr, "\n");
  va_end(args);
}

struct Options {
  int targets = 1000;
  int clients = 1;
  std::string workDir;
  std::string jsonOut;
  int logLevel = 0;
};

CRnError Fail(const char* fmt, ...) WZ_PRINTF(1, 2);
CRnError Fail(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = FXErrorUtil::VFormat(fmt, args);
  va_end(args);
  return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 1067, "%s", text.c_str());
}

std::string BackingFile(const std::string& dir, int index) { return dir + "/t" + std::to_string(index) + ".img"; }

// Sparse files: they take no space, and the block-device store accepts them.
CRnError MakeBackingFiles(const std::string& dir, int count) {
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return Fail("mkdir %s: %s", dir.c_str(), strerror(errno));
  for (int i = 0; i < count; ++i) {
    const std::string path = BackingFile(dir, i);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return Fail("create %s: %s", path.c_str(), strerror(errno));
    const int rc = ::ftruncate(fd, 64ll << 20);
    ::close(fd);
    if (rc != 0) return Fail("truncate %s: %s", path.c_str(), strerror(errno));
  }
  return CRnError();
}

// Targets [first, last): create, LUN on its file, map its host.
void ConfigureRange(const std::string& socket, const std::string& files, int first, int last, CRnError& result) {
  CWzClient client;
  if (CRnError e = client.Connect(socket, "", 10000)) {
    result = e;
    return;
  }
  for (int i = first; i < last; ++i) {
    const std::string target = TargetName(i);
    int64_t code = -1;
    std::unique_ptr<CNMessageBase> reply;
    if (CRnError e = CallForCode(client, *CreateTargetRequest(target), 60000, code)) {
      result = e;
      return;
    }
    if (code != 0) {
      result = Fail("create target %s: code %lld", target.c_str(), static_cast<long long>(code));
      return;
    }
    if (CRnError e = CallForCode(client, *CreateLunRequest(target, BackingFile(files, i)), 60000, code, &reply)) {
      result = e;
      return;
    }
    auto* rsp = dynamic_cast<WzScsiServer::CreateLunRsp*>(reply.get());
    if (code != 0 || rsp == nullptr) {
      result = Fail("create LUN on %s: code %lld", target.c_str(), static_cast<long long>(code));
      return;
    }
    if (CRnError e = CallForCode(client, *MapRequest(target, rsp->lunId(), HostName(i)), 60000, code)) {
      result = e;
      return;
    }
    if (code != 0) {
      result = Fail("map %s: code %lld", target.c_str(), static_cast<long long>(code));
      return;
    }
  }
}

CRnError ConfigureThroughService(BenchDaemon& daemon, const Options& options, const std::string& files) {
  std::vector<CRnError> results(static_cast<size_t>(options.clients));
  std::vector<std::thread> threads;
  const int per = (options.targets + options.clients - 1) / options.clients;
  for (int c = 0; c < options.clients; ++c) {
    const int first = c * per;
    const int last = std::min(options.targets, first + per);
    threads.emplace_back(ConfigureRange, daemon.Socket(), files, first, last, std::ref(results[static_cast<size_t>(c)]));
  }
  for (std::thread& t : threads) t.join();
  for (const CRnError& e : results)
    if (e.IsError()) return e;
  return CRnError();
}

std::string TargetsConf(const Options& options, const std::string& files) {
  std::string conf;
  for (int i = 0; i < options.targets; ++i) {
    conf += "<target " + TargetName(i) + ">\n";
    conf += "    backing-store " + BackingFile(files, i) + "\n";
    conf += "    initiator-name " + HostName(i) + "\n";
    conf += "</target>\n";
  }
  return conf;
}

Figure Measured(const std::string& name, const std::string& label, double value, const std::string& unit) {
  Figure f;
  f.name = name;
  f.label = label;
  f.value = value;
  f.unit = unit;
  return f;
}

Figure Failed(const std::string& name, const std::string& label, const std::string& why) {
  Figure f;
  f.name = name;
  f.label = label;
  f.measured = false;
  f.note = why;
  return f;
}

class Run {
 public:
  explicit Run(const Options& options) : m_options(options) {}

  bool Go(std::vector<Figure>& figures) {
    if (!wze2e::TgtdInstalled()) {
      figures.push_back(Failed("tgt_service_config_s", "tgt engine benchmark", "tgtd/tgtadm are not installed"));
      return false;
    }
    char pattern[4096];
    snprintf(pattern, sizeof(pattern), "%s/wztgt-XXXXXX", m_options.workDir.c_str());
    if (mkdtemp(pattern) == nullptr) {
      figures.push_back(Failed("tgt_service_config_s", "tgt engine benchmark", "cannot make a work directory"));
      return false;
    }
    m_dir = pattern;
    m_files = m_dir + "/files";
    bool ok = true;
    if (CRnError e = MakeBackingFiles(m_files, m_options.targets)) {
      figures.push_back(Failed("tgt_service_config_s", "tgt engine benchmark", e.AsString()));
      return false;
    }
    ok = Service(figures) && ok;
    ok = TgtAdmin(figures) && ok;
    Compare(figures);
    if (m_serviceOk) ok = Replay(figures) && ok;
    return ok;
  }

  ~Run() {
    m_daemon.reset();
    std::string ignored;
    m_tgtd.Stop(&ignored);
    if (!m_dir.empty()) {
      CRnError e = CRnDirectory::Remove(m_dir, true, false);
      (void)e;
    }
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

 private:
  std::string Count() const { return std::to_string(m_options.targets); }

  DaemonSetup Setup() const {
    DaemonSetup setup;
    setup.driverDir = WzBuildPaths::RealDrivers();
    setup.parentDir = m_dir;
    setup.logLevel = m_options.logLevel;
    setup.engine = "tgt";
    setup.extraConfig = "[WzScsiSrvTgt]\nTgtdControlSocket=" + m_tgtd.ControlSocket() + "\nTgtdPortal=" +
                        m_tgtd.Portal() + "\n";
    return setup;
  }

  bool Service(std::vector<Figure>& figures) {
    std::string why;
    CRnError e;
    if (!m_tgtd.Start(&why)) e = Fail("%s", why.c_str());
    if (e.IsSuccess()) {
      m_daemon = std::make_unique<BenchDaemon>(Setup());
      e = m_daemon->Prepare();
    }
    if (e.IsSuccess()) e = m_daemon->Start(true);
    if (e.IsSuccess()) {
      Progress("service: %d targets through wzscsid (pid %d) on tgtd (pid %d), %d client(s)", m_options.targets,
               static_cast<int>(m_daemon->Pid()), static_cast<int>(m_tgtd.Pid()), m_options.clients);
      const Clock::time_point start = Clock::now();
      e = ConfigureThroughService(*m_daemon, m_options, m_files);
      m_serviceSec = SecondsSince(start);
    }
    if (e.IsSuccess() && m_tgtd.TargetCount() != m_options.targets)
      e = Fail("tgtd holds %d targets, %d configured", m_tgtd.TargetCount(), m_options.targets);
    if (e) {
      std::string text = e.AsString();
      if (m_daemon) {
        const std::string log = m_daemon->LogLinesWith(" ERROR ");
        if (!log.empty()) text += "; daemon log: " + log;
      }
      figures.push_back(Failed("tgt_service_config_s", Count() + " targets through wzscsid", text));
      return false;
    }
    m_serviceOk = true;
    Figure f = Measured("tgt_service_config_s", Count() + " targets (LUN + host each) through wzscsid", m_serviceSec, "s");
    char note[128];
    snprintf(note, sizeof(note), "%.2f ms per target, 3 durable changes each, %d client(s)",
             1000.0 * m_serviceSec / m_options.targets, m_options.clients);
    f.note = note;
    figures.push_back(f);
    Progress("service: %.1f s", m_serviceSec);
    return true;
  }

  bool TgtAdmin(std::vector<Figure>& figures) {
    wze2e::TgtdProcess tgtd;
    std::string why;
    CRnError e;
    if (!tgtd.Start(&why)) e = Fail("%s", why.c_str());
    const std::string conf = m_dir + "/targets.conf";
    if (e.IsSuccess()) {
      std::ofstream out(conf, std::ios::trunc);
      out << TargetsConf(m_options, m_files);
      if (!out) e = Fail("cannot write %s", conf.c_str());
    }
    if (e.IsSuccess()) {
      Progress("tgt-admin: %d targets from targets.conf on tgtd (pid %d)", m_options.targets,
               static_cast<int>(tgtd.Pid()));
      const Clock::time_point start = Clock::now();
      wze2e::CommandResult r = wze2e::RunCommand(
          {"tgt-admin", "-e", "-c", conf, "-C", std::to_string(tgtd.ControlPort())},
          {"TGT_IPC_SOCKET=" + tgtd.SocketPrefix()});
      m_adminSec = SecondsSince(start);
      if (r.exitCode != 0) e = Fail("tgt-admin exited with %d: %s", r.exitCode, r.output.substr(0, 400).c_str());
    }
    if (e.IsSuccess() && tgtd.TargetCount() != m_options.targets)
      e = Fail("tgtd holds %d targets after tgt-admin, %d configured", tgtd.TargetCount(), m_options.targets);
    tgtd.Stop(&why);
    if (e) {
      figures.push_back(Failed("tgt_admin_config_s", Count() + " targets through tgt-admin -e", e.AsString()));
      return false;
    }
    m_adminOk = true;
    Figure f = Measured("tgt_admin_config_s", "the same through tgt-admin -e (targets.conf)", m_adminSec, "s");
    char note[64];
    snprintf(note, sizeof(note), "%.2f ms per target", 1000.0 * m_adminSec / m_options.targets);
    f.note = note;
    figures.push_back(f);
    Progress("tgt-admin: %.1f s", m_adminSec);
    return true;
  }

  void Compare(std::vector<Figure>& figures) {
    if (!m_serviceOk || !m_adminOk || m_serviceSec <= 0) return;
    Figure f = Measured("tgt_speedup", "service speed-up over tgt-admin", m_adminSec / m_serviceSec, "x");
    f.kind = TargetKind::kAtLeast;
    f.target = 10;
    f.targetText = ">= 10x";
    figures.push_back(f);
  }

  bool Replay(std::vector<Figure>& figures) {
    // tgtd kept running: the replay adopts what it holds.
    double adoptSec = 0, servingSec = 0;
    CRnError e = m_daemon->Stop();
    if (e.IsSuccess()) e = m_daemon->StartTimed(adoptSec, servingSec);
    if (e.IsSuccess() && m_tgtd.TargetCount() != m_options.targets)
      e = Fail("tgtd holds %d targets after the restart of wzscsid", m_tgtd.TargetCount());
    if (e) {
      figures.push_back(Failed("tgt_replay_adopt_s", "replay with tgtd running", e.AsString()));
      return false;
    }
    Figure adopt =
        Measured("tgt_replay_adopt_s", "replay of " + Count() + " targets, tgtd kept running (adopted)", adoptSec, "s");
    figures.push_back(adopt);
    Progress("replay, tgtd running: %.2f s", adoptSec);

    // tgtd restarted empty: the replay rebuilds everything.
    std::string why;
    e = m_daemon->Stop();
    if (e.IsSuccess() && !m_tgtd.Restart(&why)) e = Fail("%s", why.c_str());
    double replaySec = 0;
    if (e.IsSuccess()) e = m_daemon->StartTimed(replaySec, servingSec);
    if (e.IsSuccess() && m_tgtd.TargetCount() != m_options.targets)
      e = Fail("tgtd holds %d targets after the replay, %d configured", m_tgtd.TargetCount(), m_options.targets);
    if (e) {
      figures.push_back(Failed("tgt_replay_s", "replay of " + Count() + " targets after a tgtd restart", e.AsString()));
      return false;
    }
    Figure f = Measured("tgt_replay_s", "replay of " + Count() + " targets after a tgtd restart", replaySec, "s");
    f.kind = TargetKind::kBelow;
    f.target = 2;
    f.targetText = "< 2 s";
    char note[96];
    snprintf(note, sizeof(note), "start request round trip; process start to serving %.2f s", servingSec);
    f.note = note;
    figures.push_back(f);
    Progress("replay after tgtd restart: %.2f s", replaySec);
    // The daemon stops before tgtd: no target is torn down on the way.
    e = m_daemon->Stop();
    if (e) Progress("stopping wzscsid: %s", e.AsString().c_str());
    return true;
  }

  const Options& m_options;
  std::string m_dir, m_files;
  wze2e::TgtdProcess m_tgtd;
  std::unique_ptr<BenchDaemon> m_daemon;
  double m_serviceSec = 0, m_adminSec = 0;
  bool m_serviceOk = false, m_adminOk = false;
};

void PrintTable(const std::vector<Figure>& figures) {
  PrintFigures(figures, 58, 10);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{"wzscsid with the tgt engine against tgt-admin"};
  app.add_option("--targets", options.targets, "targets to configure")->capture_default_str();
  app.add_option("--clients", options.clients, "concurrent clients of the service")->capture_default_str();
  app.add_option("--work-dir", options.workDir, "where the temporary state goes (default: $TMPDIR or /tmp)");
  app.add_option("--json", options.jsonOut, "write the figures here as JSON");
  app.add_option("--log-level", options.logLevel, "the daemon's log level")->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  if (options.targets < 1 || options.clients < 1) {
    fprintf(stderr, "tgt: --targets and --clients must be positive\n");
    return 1;
  }
  if (options.workDir.empty()) {
    const char* tmp = getenv("TMPDIR");
    options.workDir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  }
  std::vector<Figure> figures;
  bool ok = false;
  {
    Run run(options);
    ok = run.Go(figures);
  }
  PrintTable(figures);
  if (!options.jsonOut.empty()) {
    std::ofstream out(options.jsonOut, std::ios::trunc);
    out << FiguresToJson(figures, {{"targets", std::to_string(options.targets)},
                                   {"clients", std::to_string(options.clients)},
                                   {"work_dir", options.workDir}});
    if (!out) return 1;
  }
  return ok ? 0 : 1;
}
