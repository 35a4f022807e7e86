// The tgt platform driver alone, without the service, against a private
// tgtd (-t 1):
// 1. driver calls for 16 targets from 16 threads (each thread its own
//    target, repeating create LUN, map, unmap, delete LUN), once with every
//    call serialised behind one lock, as the driver's single lock did before
//    calls for different targets could run at once, and once in parallel;
// 2. ListOwned over 1,000 targets with one LUN and one binding each (what a
//    reconcile reads), median of several runs.
//
// Prints a table and writes the figures as JSON (--json). Exit status 0 when
// every measurement ran, 1 otherwise.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_stats.h"
#include "hostlib/config/WZPlatformInfo.h"
#include "plugins/tgt_driver/tgt_platform.h"
#include "tests/support/tgtd/tgtd_fixture.h"

namespace {

using namespace wzbench;
typedef std::chrono::steady_clock Clock;

struct Options {
  int threads = 16;
  int rounds = 40;  // call cycles per thread and trial
  int listTargets = 1000;
  int listRuns = 5;
  std::string workDir;
  std::string jsonOut;
};

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string TargetName(int i) { return "iqn.2024-01.com.example:bench-" + std::to_string(i); }

// Runs body(i) for i in [0, count) on count threads; the first error wins.
CRnError OnThreads(int count, const std::function<CRnError(int)>& body) {
  std::vector<CRnError> errors(static_cast<size_t>(count));
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) threads.emplace_back([&, i] { errors[static_cast<size_t>(i)] = body(i); });
  for (std::thread& t : threads) t.join();
  for (const CRnError& e : errors)
    if (e.IsError()) return e;
  return CRnError();
}

class Bench {
 public:
  Bench(const Options& options, const std::string& dir) : m_options(options), m_dir(dir) {}
  ~Bench() {
    (void)m_platform.CleanUp();
    m_tgtd.Stop();
  }
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  CRnError Start() {
    std::string error;
    if (!m_tgtd.Start(&error)) return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 1067, "%s", error.c_str());
    const std::string config = m_dir + "/config.ini";
    std::ofstream(config) << "[WzScsiSrvTgt]\nTgtdControlSocket=" << m_tgtd.ControlSocket() << "\n";
    WZPlatformInfo::SetConfigFile(config);
    return m_platform.Init();
  }

  // Target i with one LUN on its file and host i bound (lunId: the LUN's number).
  CRnError Configure(int i, int32_t& lunId) {
    WzScsiSrvModelTarget target(WzScsiSrvTarget(TargetName(i), ""));
    if (CRnError e = m_platform.CreateTarget(target)) return e;
    WzScsiSrvLun lun = Lun(i);
    if (CRnError e = m_platform.CreateLun(&lun)) return e;
    lunId = lun.lunId;
    WzScsiSrvModelLun mapped(lun);
    WzScsiSrvModelHost host(HostName(i), "");
    return m_platform.MapHost(mapped, host);
  }

  // threads x rounds cycles of create LUN, map, unmap, delete LUN on each
  // thread's own target; serialised: one lock around every call.
  CRnError Calls(bool serialised, double& callsPerSecond) {
    std::mutex one;
    auto call = [&](const std::function<CRnError()>& c) {
      if (!serialised) return c();
      std::lock_guard<std::mutex> guard(one);
      return c();
    };
    const Clock::time_point start = Clock::now();
    CRnError err = OnThreads(m_options.threads, [&](int i) -> CRnError {
      for (int r = 0; r < m_options.rounds; ++r) {
        WzScsiSrvLun lun = Lun(i);
        lun.lunId = -1;
        if (CRnError e = call([&] { return m_platform.CreateLun(&lun); })) return e;
        WzScsiSrvModelLun mapped(lun);
        WzScsiSrvModelHost host(HostName(i) + "-2", "");
        if (CRnError e = call([&] { return m_platform.MapHost(mapped, host); })) return e;
        if (CRnError e = call([&] { return m_platform.UnMapHost(mapped, host); })) return e;
        if (CRnError e = call([&] { return m_platform.DeleteLun(&lun); })) return e;
      }
      return CRnError();
    });
    const double seconds = SecondsSince(start);
    callsPerSecond = 4.0 * m_options.threads * m_options.rounds / seconds;
    return err;
  }

  CRnError ListOwned(double& medianMs, size_t& listed) {
    std::vector<double> samples;
    for (int run = 0; run < m_options.listRuns; ++run) {
      WzScsiSrvEngineView view;
      const Clock::time_point start = Clock::now();
      if (CRnError e = m_platform.ListOwned(view)) return e;
      samples.push_back(SecondsSince(start) * 1000.0);
      listed = view.targets.size();
    }
    medianMs = Median(samples);
    return CRnError();
  }

  std::string MakeFiles(int count) {
    for (int i = 0; i < count; ++i) {
      const int fd = ::open(File(i).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0 || ::ftruncate(fd, 1 << 20) != 0) {
        if (fd >= 0) ::close(fd);
        return "cannot make " + File(i);
      }
      ::close(fd);
    }
    return std::string();
  }

 private:
  std::string File(int i) const { return m_dir + "/t" + std::to_string(i) + ".img"; }
  static std::string HostName(int i) { return "iqn.2024-01.com.example:host-" + std::to_string(i); }
  WzScsiSrvLun Lun(int i) {
    return WzScsiSrvLun(TargetName(i), &m_platform, WzScsiServer::BSTOR_KERNEL, nullptr, nullptr, "B", -1, File(i), 0,
                        512, 0, false, nullptr);
  }

  const Options& m_options;
  std::string m_dir;
  wze2e::TgtdProcess m_tgtd;
  WzScsiSrvTgtPlatform m_platform;
};

bool Measure(const Options& options, std::vector<Figure>& figures) {
  if (!wze2e::TgtdInstalled()) {
    figures.push_back(Failed("tgt_driver", "tgt driver benchmark", "tgtd/tgtadm are not installed"));
    return false;
  }
  const std::string dir = options.workDir + "/wzdrv-" + std::to_string(::getpid());
  std::string error;
  if (::mkdir(dir.c_str(), 0755) != 0) {
    figures.push_back(Failed("tgt_driver", "tgt driver benchmark", "cannot make " + dir));
    return false;
  }
  bool ok = true;
  {
    Bench bench(options, dir);
    const int files = std::max(options.threads, options.listTargets);
    error = bench.MakeFiles(files);
    CRnError err =
        error.empty() ? bench.Start() : FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 1067, "%s", error.c_str());
    if (err.IsSuccess()) {
      fprintf(stderr, "tgt driver: %d targets, %d threads\n", options.threads, options.threads);
      err = OnThreads(options.threads, [&](int i) {
        int32_t lunId = 0;
        return bench.Configure(i, lunId);
      });
    }
    const std::string calls = std::to_string(options.threads) + " threads x " + std::to_string(options.rounds) +
                              " x (create LUN, map, unmap, delete LUN), one target per thread";
    for (bool serialised : {true, false}) {
      const std::string name = serialised ? "tgt_driver_calls_serialised" : "tgt_driver_calls_parallel";
      const std::string label = std::string("driver calls/s, ") + (serialised ? "one lock around each" : "in parallel");
      double rate = 0;
      if (err.IsSuccess()) err = bench.Calls(serialised, rate);
      if (err.IsError()) {
        figures.push_back(Failed(name, label, err.AsString()));
        ok = false;
        continue;
      }
      figures.push_back(Measured(name, label, rate, "calls/s", calls));
    }
    if (err.IsSuccess()) {
      fprintf(stderr, "tgt driver: %d targets for ListOwned\n", options.listTargets);
      const int per = (options.listTargets - options.threads + options.threads - 1) / options.threads;
      err = OnThreads(options.threads, [&](int t) -> CRnError {
        for (int i = options.threads + t * per; i < std::min(options.listTargets, options.threads + (t + 1) * per);
             ++i) {
          int32_t lunId = 0;
          if (CRnError e = bench.Configure(i, lunId)) return e;
        }
        return CRnError();
      });
    }
    double ms = 0;
    size_t listed = 0;
    if (err.IsSuccess()) err = bench.ListOwned(ms, listed);
    const std::string label = "ListOwned of " + std::to_string(options.listTargets) + " targets";
    if (err.IsError()) {
      figures.push_back(Failed("tgt_driver_list_owned_ms", label, err.AsString()));
      ok = false;
    } else {
      figures.push_back(Measured("tgt_driver_list_owned_ms", label, ms, "ms",
                                 std::to_string(listed) + " listed, each with a LUN and a binding; median of " +
                                     std::to_string(options.listRuns)));
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{"the tgt platform driver alone against a private tgtd"};
  app.add_option("--threads", options.threads, "threads, one target each")->capture_default_str();
  app.add_option("--rounds", options.rounds, "call cycles per thread")->capture_default_str();
  app.add_option("--list-targets", options.listTargets, "targets for ListOwned")->capture_default_str();
  app.add_option("--list-runs", options.listRuns, "ListOwned runs (median)")->capture_default_str();
  app.add_option("--work-dir", options.workDir, "where the temporary files go (default: $TMPDIR or /tmp)");
  app.add_option("--json", options.jsonOut, "write the figures here as JSON");
  CLI11_PARSE(app, argc, argv);
  if (options.threads < 1 || options.rounds < 1 || options.listTargets < options.threads || options.listRuns < 1) {
    fprintf(stderr, "tgt driver: counts must be positive and --list-targets at least --threads\n");
    return 1;
  }
  if (options.workDir.empty()) {
    const char* tmp = getenv("TMPDIR");
    options.workDir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  }
  std::vector<Figure> figures;
  const bool ok = Measure(options, figures);
  PrintFigures(figures, 44, 0);
  if (!options.jsonOut.empty()) {
    std::ofstream out(options.jsonOut, std::ios::trunc);
    out << FiguresToJson(figures, {{"threads", std::to_string(options.threads)},
                                   {"rounds", std::to_string(options.rounds)},
                                   {"list_targets", std::to_string(options.listTargets)}});
    if (!out) return 1;
  }
  return ok ? 0 : 1;
}
