// The tgt-engine benchmark: 1,000 targets, each with one LUN on a sparse
// file and one mapped host, configured through wzscsid with the real drivers
// on a private tgtd (-t 1), and the same configuration applied by
// `tgt-admin -e` from an equivalent targets.conf on a second private tgtd,
// side by side in one run. On the service's tgtd, with the 1,000 targets in
// place, then:
//  - durable changes/s with 1, 4 and 16 clients, each on targets of its own
//    (a LUN on a sparse file and a host binding per cycle, bench/change_load.h);
//  - the replay with tgtd kept running (the driver adopts what tgtd holds),
//    and after tgtd was restarted empty with wzscsid stopped: its start
//    request timed until tgtd holds every target again;
//  - the reconcile: "wzscsictl reconcile" with nothing to do, and tgtd
//    killed and started again under the running wzscsid, timed until the
//    engine watch has rebuilt every target, LUN and binding.
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
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_requests.h"
#include "bench/bench_stats.h"
#include "bench/change_load.h"
#include "bench/e2e_daemon.h"
#include "hostlib/net/client.h"
#include "hostlib/util/RnFiles.h"
#include "tests/support/tgtd/tgtd_fixture.h"

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
  std::vector<int> changeClients = {1, 4, 16};
  int changeTrials = 3;
  double trialSecs = 2.0;
  int reconcileRuns = 5;
  int restarts = 3;
  bool skipTgtAdmin = false;   // tgt-admin takes tens of minutes at 10,000 targets
  bool untimedRestart = true;  // one restart first to fall in step with the watch
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

// The file of client c's LUNs in the change trials.
// The engine watch's poll interval (nEngineWatchPollMs), left at its default.
constexpr double kWatchPollSec = 1.0;

std::string LoadFile(const std::string& dir, int client) { return dir + "/load-c" + std::to_string(client) + ".img"; }

// Sparse files: they take no space, and the block-device store accepts them.
CRnError MakeSparseFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Fail("create %s: %s", path.c_str(), strerror(errno));
  const int rc = ::ftruncate(fd, 64ll << 20);
  ::close(fd);
  if (rc != 0) return Fail("truncate %s: %s", path.c_str(), strerror(errno));
  return CRnError();
}

CRnError MakeBackingFiles(const std::string& dir, int count, int loadClients) {
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return Fail("mkdir %s: %s", dir.c_str(), strerror(errno));
  for (int i = 0; i < count; ++i)
    if (CRnError e = MakeSparseFile(BackingFile(dir, i))) return e;
  for (int c = 0; c < loadClients; ++c)
    if (CRnError e = MakeSparseFile(LoadFile(dir, c))) return e;
  return CRnError();
}

// Whether tgtd's listing ("tgtadm --op show") holds `count` targets, each
// with its LUN on a file of dir and its host bound; what it holds otherwise.
bool HoldsAll(const std::string& show, const std::string& dir, int count, std::string& held) {
  std::stringstream ss(show);
  int targets = 0, luns = 0, hosts = 0;
  const std::string lunLine = "            Backing store path: " + dir + "/";
  const std::string aclLine = "        " + HostName(0).substr(0, HostName(0).size() - 5);
  for (std::string line; std::getline(ss, line);) {
    if (line.compare(0, 7, "Target ") == 0) ++targets;
    if (line.compare(0, lunLine.size(), lunLine) == 0) ++luns;
    if (line.compare(0, aclLine.size(), aclLine) == 0) ++hosts;
  }
  held =
      std::to_string(targets) + " targets, " + std::to_string(luns) + " LUNs, " + std::to_string(hosts) + " bindings";
  return targets == count && luns == count && hosts == count;
}

// The first line of the file from byte `from` on that contains needle.
bool FindLine(const std::string& file, std::streamoff from, const std::string& needle, std::string& found) {
  std::ifstream in(file);
  in.seekg(from);
  for (std::string line; std::getline(in, line);)
    if (line.find(needle) != std::string::npos) {
      found = line;
      return true;
    }
  return false;
}

std::streamoff FileSize(const std::string& file) {
  struct stat st;
  return ::stat(file.c_str(), &st) == 0 ? static_cast<std::streamoff>(st.st_size) : 0;
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
    threads.emplace_back(ConfigureRange, daemon.Socket(), files, first, last,
                         std::ref(results[static_cast<size_t>(c)]));
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
    const int loadClients = m_options.changeClients.empty()
                                ? 0
                                : *std::max_element(m_options.changeClients.begin(), m_options.changeClients.end());
    if (CRnError e = MakeBackingFiles(m_files, m_options.targets, loadClients)) {
      figures.push_back(Failed("tgt_service_config_s", "tgt engine benchmark", e.AsString()));
      return false;
    }
    ok = Service(figures) && ok;
    if (!m_options.skipTgtAdmin) ok = TgtAdmin(figures) && ok;
    Compare(figures);
    if (m_serviceOk) {
      if (!m_options.changeClients.empty() && m_options.changeTrials > 0) ok = Changes(figures) && ok;
      const bool replayed = Replay(figures);
      ok = replayed && ok;
      if (replayed) ok = Reconcile(figures) && ok;
      // The daemon stops before tgtd: no target is torn down on the way.
      if (m_daemon && m_daemon->Running())
        if (CRnError e = m_daemon->Stop()) Progress("stopping wzscsid: %s", e.AsString().c_str());
    }
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
    setup.extraConfig =
        "[WzScsiSrvTgt]\nTgtdControlSocket=" + m_tgtd.ControlSocket() + "\nTgtdPortal=" + m_tgtd.Portal() + "\n";
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
    Figure f =
        Measured("tgt_service_config_s", Count() + " targets (LUN + host each) through wzscsid", m_serviceSec, "s");
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
      wze2e::CommandResult r =
          wze2e::RunCommand({"tgt-admin", "-e", "-c", conf, "-C", std::to_string(tgtd.ControlPort())},
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
    return true;
  }

  // Durable changes/s on tgtd, each client on targets of its own with a LUN
  // on a sparse file and a host binding per cycle, while the configured
  // targets stay. The client counts take turns trial by trial, so that the
  // disk's changing rate falls on all of them alike.
  bool Changes(std::vector<Figure>& figures) {
    ChangeLoad load;
    load.socket = m_daemon->Socket();
    const std::string files = m_files;
    load.lunPath = [files](int c) { return LoadFile(files, c); };
    load.host = [](int c) { return "iqn.2024-01.host:load-c" + std::to_string(c); };
    load.daemonPid = m_daemon->Pid();
    load.enginePid = m_tgtd.Pid();
    const int most = *std::max_element(m_options.changeClients.begin(), m_options.changeClients.end());
    load.prefix = "iqn.2024-01.load:w";
    RunChangeTrial(load, most, 0.3);  // the pool's threads in place before the clock runs
    std::map<int, std::vector<double>> rates;
    std::map<int, std::vector<ChangeTrial>> trials;
    std::map<int, std::string> errors;
    for (int t = 0; t < m_options.changeTrials; ++t)
      for (int clients : m_options.changeClients) {
        load.prefix = "iqn.2024-01.load:n" + std::to_string(clients) + "t" + std::to_string(t);
        ChangeTrial trial = RunChangeTrial(load, clients, m_options.trialSecs);
        rates[clients].push_back(trial.changesPerSec);
        if (!trial.error.empty() && errors[clients].empty()) errors[clients] = trial.error;
        Progress("changes: %d client(s), trial %d: %.1f changes/s", clients, t + 1, trial.changesPerSec);
        trials[clients].push_back(std::move(trial));
      }
    bool ok = true;
    const double oneClient = rates.count(1) != 0 ? Median(rates[1]) : 0;
    for (int clients : m_options.changeClients) {
      const std::string label =
          "durable changes/s on tgtd, " + std::to_string(clients) + (clients == 1 ? " client" : " clients");
      Figure f = Measured("tgt_changes_per_s_" + std::to_string(clients), label, Median(rates[clients]), "changes/s");
      char note[160];
      snprintf(note, sizeof(note), "median of %zu trials of %.1f s", rates[clients].size(), m_options.trialSecs);
      f.note = note;
      if (clients != 1 && oneClient > 0) {
        snprintf(note, sizeof(note), "; %.2fx 1 client", f.value / oneClient);
        f.note += note;
      }
      const std::string cpu = CpuText(trials[clients]);
      if (!cpu.empty()) f.note += "; " + cpu;
      if (!errors[clients].empty()) {
        f.note += "; a client stopped: " + errors[clients];
        ok = false;
      }
      figures.push_back(f);
    }
    if (m_tgtd.TargetCount() != m_options.targets) {
      figures.push_back(Failed("tgt_changes_left", "what the change trials left in tgtd",
                               std::to_string(m_tgtd.TargetCount()) + " targets held, " + Count() + " configured"));
      ok = false;
    }
    return ok;
  }

  // The reconcile on the configured targets: on request with nothing to do,
  // and the rebuild by the engine watch after tgtd restarts empty.
  bool Reconcile(std::vector<Figure>& figures) {
    std::vector<double> idleMs;
    CRnError e = ReconcileIdle(idleMs);
    if (e) {
      figures.push_back(Failed("tgt_reconcile_idle_ms", "reconcile with nothing to do", e.AsString()));
      return false;
    }
    Figure idle = Measured("tgt_reconcile_idle_ms", "reconcile with nothing to do, " + Count() + " targets",
                           Median(idleMs), "ms");
    idle.note = "\"wzscsictl reconcile\" round trip, median of " + std::to_string(idleMs.size()) + ", max " +
                std::to_string(static_cast<int>(Percentile(idleMs, 100))) + " ms";
    figures.push_back(idle);
    Progress("reconcile with nothing to do: %.1f ms", idle.value);

    // The watch polls once a second and reconciles in its own thread, so a
    // restart right after one rebuild meets the watch at the worst moment.
    // One untimed restart puts the bench in step with the watch; the timed
    // ones then wait spread parts of the poll interval first, so that the
    // median meets the watch on average (half an interval).
    std::vector<double> total, tgtdUp, rebuild;
    std::string held;
    double totalSec = 0, tgtdSec = 0, rebuildSec = 0;
    if (m_options.untimedRestart) e = RebuildAfterRestart(totalSec, tgtdSec, rebuildSec, held);
    for (int r = 0; e.IsSuccess() && r < m_options.restarts; ++r) {
      std::this_thread::sleep_for(
          std::chrono::microseconds(static_cast<int64_t>(kWatchPollSec * 1e6 * (r + 0.5) / m_options.restarts)));
      e = RebuildAfterRestart(totalSec, tgtdSec, rebuildSec, held);
      if (e) break;
      Progress("tgtd restart %d: all back after %.2f s (tgtd up %.2f s, reconcile %.2f s)", r + 1, totalSec, tgtdSec,
               rebuildSec);
      total.push_back(totalSec);
      tgtdUp.push_back(tgtdSec);
      rebuild.push_back(rebuildSec);
    }
    if (e) {
      std::string text = e.AsString();
      const std::string log = m_daemon->LogLinesWith(" ERROR ");
      if (!log.empty()) text += "; daemon log: " + log;
      figures.push_back(Failed("tgt_rebuild_s", "rebuild after a tgtd restart under a running wzscsid", text));
      return false;
    }
    Figure f = Measured("tgt_rebuild_s", "tgtd restart to all " + Count() + " targets back (engine watch)",
                        Median(total), "s");
    f.kind = TargetKind::kBelow;
    f.target = 2;
    f.targetText = "< 2 s";
    char note[256];
    snprintf(note, sizeof(note),
             "median of %zu restarts (max %.2f s) spread over the watch's poll (every 1 s): tgtd up again "
             "%.2f s, then the wait for the poll and the reconcile; %s held after each",
             total.size(), Percentile(total, 100), Median(tgtdUp), held.c_str());
    f.note = note;
    figures.push_back(f);
    Figure g =
        Measured("tgt_rebuild_reconcile_s", "the same after the service noticed (its reconcile)", Median(rebuild), "s");
    g.kind = TargetKind::kBelow;
    g.target = 2;
    g.targetText = "< 2 s";
    snprintf(note, sizeof(note), "the reconcile's own time from the daemon log, median of %zu (max %.2f s)",
             rebuild.size(), Percentile(rebuild, 100));
    g.note = note;
    figures.push_back(g);
    return true;
  }

  CRnError ReconcileIdle(std::vector<double>& ms) {
    CWzClient client;
    if (CRnError e = m_daemon->Connect(client)) return e;
    for (int run = 0; run < m_options.reconcileRuns; ++run) {
      std::unique_ptr<CNMessageBase> reply;
      int64_t code = -1;
      const Clock::time_point start = Clock::now();
      if (CRnError e = CallForCode(client, *IoctlRequest("reconcile"), 60000, code, &reply)) return e;
      ms.push_back(SecondsSince(start) * 1000.0);
      auto* rsp = dynamic_cast<WzScsiServer::IoctlRsp*>(reply.get());
      if (code != 0 || rsp == nullptr || !rsp->results().empty())
        return Fail("reconcile answered code %lld with %zu differences", static_cast<long long>(code),
                    rsp != nullptr ? rsp->results().size() : 0);
    }
    return CRnError();
  }

  // Kills tgtd and starts a new one on the same socket and port, then waits
  // for the daemon's log line of the reconcile that follows (the log is
  // written at notice level, so the bench reads it rather than loading tgtd
  // with listings while it rebuilds), and checks tgtd's listing once.
  CRnError RebuildAfterRestart(double& totalSec, double& tgtdSec, double& rebuildSec, std::string& held) {
    const std::string needle = "Reconcile (engine restart): ";
    const std::streamoff from = FileSize(m_daemon->LogFile());
    const Clock::time_point start = Clock::now();
    std::string why;
    if (!m_tgtd.Restart(&why)) return Fail("%s", why.c_str());
    tgtdSec = SecondsSince(start);
    // tgtd takes its own time per target: a minute per 1,000 of them.
    const double limitSec = 60.0 * std::max(1, (m_options.targets + 999) / 1000);
    std::string line;
    while (!FindLine(m_daemon->LogFile(), from, needle, line) && SecondsSince(start) < limitSec)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    totalSec = SecondsSince(start);
    if (line.empty()) return Fail("no \"%s\" line in the daemon log within %.0f s", needle.c_str(), limitSec);
    // "... N differences, M not fixed[; error], S s"
    size_t differences = 0, notFixed = 0;
    const size_t comma = line.rfind(", ");
    if (sscanf(line.c_str() + line.find(needle) + needle.size(), "%zu differences, %zu not fixed", &differences,
               &notFixed) != 2 ||
        comma == std::string::npos || sscanf(line.c_str() + comma + 2, "%lf s", &rebuildSec) != 1)
      return Fail("unexpected log line: %s", line.c_str());
    if (notFixed != 0) return Fail("the reconcile left differences: %s", line.c_str());
    if (!HoldsAll(m_tgtd.ShowTargets(), m_files, m_options.targets, held))
      return Fail("after the reconcile tgtd holds %s, %d of each configured", held.c_str(), m_options.targets);
    return CRnError();
  }

  const Options& m_options;
  std::string m_dir, m_files;
  wze2e::TgtdProcess m_tgtd;
  std::unique_ptr<BenchDaemon> m_daemon;
  double m_serviceSec = 0, m_adminSec = 0;
  bool m_serviceOk = false, m_adminOk = false;
};

void PrintTable(const std::vector<Figure>& figures) { PrintFigures(figures, 58, 10); }

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{"wzscsid with the tgt engine against tgt-admin"};
  app.add_option("--targets", options.targets, "targets to configure")->capture_default_str();
  app.add_option("--clients", options.clients, "concurrent clients of the service")->capture_default_str();
  app.add_option("--change-clients", options.changeClients, "client counts of the change trials")
      ->capture_default_str()
      ->delimiter(',');
  app.add_option("--change-trials", options.changeTrials, "change trials per client count (0: leave them out)")
      ->capture_default_str();
  app.add_option("--trial-seconds", options.trialSecs, "length of one change trial")->capture_default_str();
  app.add_option("--reconcile-runs", options.reconcileRuns, "timed reconcile requests with nothing to do")
      ->capture_default_str();
  app.add_option("--restarts", options.restarts, "tgtd restarts timed until the service rebuilt it")
      ->capture_default_str();
  app.add_flag("--skip-tgt-admin", options.skipTgtAdmin, "leave out tgt-admin -e on the second tgtd");
  app.add_flag("!--no-untimed-restart", options.untimedRestart,
               "leave out the untimed tgtd restart that puts the timed ones in step with the watch");
  app.add_option("--work-dir", options.workDir, "where the temporary state goes (default: $TMPDIR or /tmp)");
  app.add_option("--json", options.jsonOut, "write the figures here as JSON");
  app.add_option("--log-level", options.logLevel, "the daemon's log level")->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  if (options.targets < 1 || options.clients < 1 || options.restarts < 1 || options.reconcileRuns < 1 ||
      std::any_of(options.changeClients.begin(), options.changeClients.end(), [](int c) { return c < 1; })) {
    fprintf(stderr, "tgt: --targets, --clients, --restarts, --reconcile-runs and --change-clients must be positive\n");
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
