// The RBD benchmark: LUN create and delete through wzscsid (real drivers, a
// private tgtd) on RBD images of a private one-node Ceph cluster, next to the
// same cycles on sparse files in the same run, with 1 and 4 clients (each on
// a target of its own); and, as the reference, the Ceph CLI's own
// "rbd create" + "rbd rm" of an image of the same size.
//
// A cycle is "lun create" (the image or the file made, the engine serving
// it) then "lun delete" (the image removed with it: --remove-image), each a
// wzscsictl process, as an operator's script runs them; the Ceph reference
// also runs two processes per cycle.
//
// Prints a table and writes the figures as JSON (--json). Exit status 0 when
// every measurement ran, 1 otherwise; 0 with a note when Ceph or tgt-rbd is
// not installed.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "apps/launcher/daemon_launcher.h"
#include "tests/e2e/ceph_fixture.h"
#include "tests/support/tgtd/tgtd_fixture.h"

namespace {

typedef std::chrono::steady_clock Clock;

double MillisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Figures {
  std::string name;
  int clients = 0;
  int cycles = 0;
  double seconds = 0;
  std::vector<double> cycleMs;
  int failures = 0;
  double Median() const {
    if (cycleMs.empty()) return 0;
    std::vector<double> v = cycleMs;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }
  double P99() const {
    if (cycleMs.empty()) return 0;
    std::vector<double> v = cycleMs;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * 99 / 100)];
  }
  double PerSecond() const { return seconds > 0 ? cycles / seconds : 0; }
};

class Bench {
 public:
  Bench(std::string workDir, int cycles, uint64_t bytes)
      : m_workDir(std::move(workDir)), m_cycles(cycles), m_bytes(bytes) {}

  bool Start(std::string& why) {
    wze2e::CephTestCluster::Options options;
    options.memstoreBytes = 1ull << 30;
    m_ceph = std::make_unique<wze2e::CephTestCluster>(options);
    if (!m_ceph->Start(&why)) return false;
    if (!m_tgtd.Start(&why)) return false;
    m_state = m_workDir + "/rbd-bench-state";
    m_files = m_workDir + "/rbd-bench-files";
    for (const std::string& dir : {m_state, m_files}) {
      if (::mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST) {
        why = "cannot make " + dir;
        return false;
      }
    }
    std::ofstream(m_state + "/wzscsi.conf", std::ios::trunc)
        << "[Quellport]\nsScsiEngine=tgt\nBackingStoreDirs=" << m_files << "\nRbdConfFile=" << m_ceph->ConfFile()
        << "\nRbdUser=" << m_ceph->GatewayUser()
        << "\nRbdPools=rbd\n[WzScsiSrvTgt]\nTgtdControlSocket=" << m_tgtd.ControlSocket()
        << "\nTgtdPortal=" << m_tgtd.Portal() << "\n";
    WzDaemonLaunch cfg;
    cfg.stateDir = m_state;
    cfg.driverDir = WzBuildPaths::RealDrivers();
    cfg.logLevel = 0;
    if (CRnError err = m_daemon.Start(cfg)) {
      why = err.AsString();
      return false;
    }
    return true;
  }

  void Stop() {
    m_daemon.Stop();
    m_tgtd.Stop();
    m_ceph.reset();
  }

  bool Ctl(const std::vector<std::string>& args) const {
    WzCtlRun run;
    run.args = {"--socket", m_daemon.UnixEndpoint()};
    run.args.insert(run.args.end(), args.begin(), args.end());
    WzCtlRunResult r = RunCtlProcess(run);
    if (r.exitCode != 0) std::fprintf(stderr, "rbd: wzscsictl failed: %s", r.err.c_str());
    return r.exitCode == 0;
  }

  // clients threads, each cycling on a target of its own.
  Figures Run(const std::string& kind, int clients) {
    Figures f;
    f.name = kind;
    f.clients = clients;
    std::vector<std::string> targets;
    for (int c = 0; c < clients; ++c) {
      targets.push_back("iqn.2024-01.bench.rbd:" + kind + "-" + std::to_string(clients) + "-" + std::to_string(c));
      if (kind != "ceph-cli" && !Ctl({"target", "create", targets.back()})) ++f.failures;
    }
    std::mutex lock;
    std::atomic<int> serial{0};
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
      threads.emplace_back([&, c] {
        for (int i = 0; i < m_cycles; ++i) {
          const std::string name = kind + "-" + std::to_string(serial++);
          const Clock::time_point begin = Clock::now();
          const bool ok = Cycle(kind, targets[c], name);
          const double ms = MillisSince(begin);
          std::lock_guard<std::mutex> guard(lock);
          f.cycleMs.push_back(ms);
          if (!ok) ++f.failures;
        }
      });
    }
    for (std::thread& t : threads) t.join();
    f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    f.cycles = static_cast<int>(f.cycleMs.size());
    for (const std::string& target : targets)
      if (kind != "ceph-cli") Ctl({"target", "delete", target});
    return f;
  }

 private:
  bool Cycle(const std::string& kind, const std::string& target, const std::string& name) {
    const std::string size = std::to_string(m_bytes);
    if (kind == "ceph-cli") {
      const std::string image = "rbd/" + name;
      return m_ceph->Admin({"rbd", "create", "--size", std::to_string(m_bytes >> 20) + "M", image}).exitCode == 0 &&
             m_ceph->Admin({"rbd", "rm", "--no-progress", image}).exitCode == 0;
    }
    std::vector<std::string> create{"lun", "create", target, "--serial", "B"};
    if (kind == "rbd") {
      create.insert(create.end(), {"--type", "rbd", "--image", "rbd/" + name, "--size", size});
    } else {
      const std::string file = m_files + "/" + name + ".img";
      std::ofstream(file, std::ios::trunc).close();
      if (::truncate(file.c_str(), static_cast<off_t>(m_bytes)) != 0) return false;
      create.insert(create.end(), {"--type", "blkdev", "--path", file});
    }
    WzCtlRun run;
    run.args = {"--socket", m_daemon.UnixEndpoint()};
    run.args.insert(run.args.end(), create.begin(), create.end());
    WzCtlRunResult made = RunCtlProcess(run);
    if (made.exitCode != 0 || made.out.compare(0, 4, "LUN ") != 0) {
      std::fprintf(stderr, "rbd: create failed: %s", made.err.c_str());
      return false;
    }
    const std::string lun = std::to_string(std::atoi(made.out.c_str() + 4));
    std::vector<std::string> remove{"lun", "delete", target, lun};
    if (kind == "rbd") remove.push_back("--remove-image");
    const bool deleted = Ctl(remove);
    if (kind != "rbd") ::unlink((m_files + "/" + name + ".img").c_str());
    return deleted;
  }

  std::string m_workDir, m_state, m_files;
  int m_cycles;
  uint64_t m_bytes;
  std::unique_ptr<wze2e::CephTestCluster> m_ceph;
  wze2e::TgtdProcess m_tgtd;
  CWzDaemonProcess m_daemon;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"LUN create and delete on Ceph RBD through wzscsid, next to file LUNs and the Ceph CLI"};
  std::string workDir = "/tmp";
  std::string json;
  int cycles = 20;
  uint64_t megabytes = 64;
  app.add_option("--work-dir", workDir, "where the state and the files go");
  app.add_option("--json", json, "write the figures here");
  app.add_option("--cycles", cycles, "create+delete cycles per client")->check(CLI::PositiveNumber);
  app.add_option("--mib", megabytes, "size of each LUN in MiB")->check(CLI::PositiveNumber);
  CLI11_PARSE(app, argc, argv);

  const std::string missing = wze2e::MissingCephPrograms();
  if (!missing.empty() || ::access("/usr/lib/tgt/backing-store/bs_rbd.so", R_OK) != 0) {
    std::fprintf(stderr, "rbd: Ceph or tgt-rbd is not installed (%s): nothing measured\n", missing.c_str());
    return 0;
  }
  Bench bench(workDir, cycles, megabytes << 20);
  std::string why;
  if (!bench.Start(why)) {
    std::fprintf(stderr, "rbd: cannot start: %s\n", why.c_str());
    bench.Stop();
    return 1;
  }
  std::vector<Figures> all;
  for (int clients : {1, 4}) {
    for (const char* kind : {"file", "rbd", "ceph-cli"}) {
      std::fprintf(stderr, "rbd: %s, %d client(s), %d cycles each\n", kind, clients, cycles);
      all.push_back(bench.Run(kind, clients));
    }
  }
  bench.Stop();

  int failures = 0;
  std::printf("%-9s %7s %7s %10s %11s %11s %8s\n", "kind", "clients", "cycles", "cycles/s", "median ms", "p99 ms",
              "failed");
  std::ostringstream out;
  out << "{\"mib\": " << megabytes << ", \"runs\": [";
  for (size_t i = 0; i < all.size(); ++i) {
    const Figures& f = all[i];
    failures += f.failures;
    std::printf("%-9s %7d %7d %10.1f %11.1f %11.1f %8d\n", f.name.c_str(), f.clients, f.cycles, f.PerSecond(),
                f.Median(), f.P99(), f.failures);
    out << (i == 0 ? "" : ", ") << "{\"kind\": \"" << f.name << "\", \"clients\": " << f.clients
        << ", \"cycles\": " << f.cycles << ", \"cycles_per_s\": " << f.PerSecond() << ", \"median_ms\": " << f.Median()
        << ", \"p99_ms\": " << f.P99() << ", \"failures\": " << f.failures << "}";
  }
  out << "]}\n";
  if (!json.empty()) std::ofstream(json, std::ios::trunc) << out.str();
  return failures == 0 ? 0 : 1;
}
