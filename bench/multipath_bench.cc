// wz_multipath_bench: what an application on a Linux host with multipath
// sees when a gateway dies, measured in the QEMU guest of the multipath
// end-to-end test (tests/e2e/multipath_rig.h: two gateways in cluster mode
// on the host, one LUN on a shared file, open-iscsi with the documented
// replacement_timeout and multipathd with multibus in the guest), while
// wz_direct_io writes and reads back the multipath device with direct I/O:
// - the I/O pause on a gateway kill: the longest write-and-read-back of the
//   application after gateway A's tgtd is killed (p50 and max of --kills);
// - the time from the gateway's return (tgtd started again, its wzscsid
//   rebuilding it) until multipath shows its path active again (the guest
//   is polled about once a second: that is the resolution).
// Under TCG the guest is slow; the pause is bound by replacement_timeout.
//
// Without QEMU, the test kernel or the initiator tools on the host, it says
// why and writes the figures as not measured (exit status 0: a skip).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_stats.h"
#include "tests/e2e/multipath_rig.h"

using namespace wzbench;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kA = wze2e::MultipathRig::kA;

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// The pauses wz_direct_io reported (each over 1 s), in order.
std::vector<double> Pauses(const std::string& output) {
  std::vector<double> out;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 9, "pause_ms=") == 0) out.push_back(std::atof(line.c_str() + 9));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  int kills = 3;
  std::string workDir, jsonOut;
  CLI::App app{"the I/O pause of a multipath initiator when a gateway dies, and its path's return"};
  app.add_option("--kills", kills, "gateway kills")->capture_default_str();
  app.add_option("--work-dir", workDir, "where the temporary state goes (default: $TMPDIR or /tmp)");
  app.add_option("--json", jsonOut, "write the figures here as JSON");
  CLI11_PARSE(app, argc, argv);
  if (kills < 1) return 1;
  if (!workDir.empty()) ::setenv("TMPDIR", workDir.c_str(), 1);

  wze2e::MultipathSettings settings;
  const std::string label =
      "gateway kill, replacement_timeout " + std::to_string(settings.replacementTimeoutS) + " s, " + settings.grouping;
  std::vector<Figure> figures;
  bool ok = true;
  {
    wze2e::MultipathRig rig;
    std::string message;
    const wze2e::MultipathRig::Result started = rig.Start(settings, &message);
    if (started != wze2e::MultipathRig::Result::kReady) {
      std::fprintf(stderr, "multipath: %s: %s\n", started == wze2e::MultipathRig::Result::kSkip ? "skipped" : "failed",
                   message.c_str());
      figures.push_back(Failed("multipath_pause_p50_ms", "I/O pause on a " + label, message));
      ok = started == wze2e::MultipathRig::Result::kSkip;
    } else if (!rig.StartIo(&message)) {
      figures.push_back(Failed("multipath_pause_p50_ms", "I/O pause on a " + label, message));
      ok = false;
    } else {
      std::vector<double> pauses, returns;
      for (int k = 0; k < kills && ok; ++k) {
        const size_t seen = Pauses(rig.IoOutput()).size();
        const long long from = rig.IoProgress();
        rig.KillTgtd(kA);
        // The pause is over once the application goes on through B.
        if (!wze2e::WaitUntil([&] { return rig.IoProgress() >= from + 20; }, 120000, 500) ||
            !rig.WaitActivePaths(1, 2, 120000)) {
          const std::string io = rig.IoOutput();
          figures.push_back(Failed("multipath_pause_p50_ms", "I/O pause on a " + label,
                                   "no I/O through B after kill " + std::to_string(k + 1) + ":\n" + rig.MultipathLl() +
                                       io.substr(io.size() > 400 ? io.size() - 400 : 0)));
          ok = false;
          break;
        }
        const std::vector<double> all = Pauses(rig.IoOutput());
        double pause = 0;
        for (size_t i = seen; i < all.size(); ++i) pause = std::max(pause, all[i]);
        pauses.push_back(pause);
        const Clock::time_point back = Clock::now();
        if (!rig.BringBackTgtd(kA, &message) || !rig.WaitActivePaths(2, 2, 180000)) {
          figures.push_back(Failed("multipath_return_p50_ms", "gateway back until its path is active", message));
          ok = false;
          break;
        }
        returns.push_back(MsSince(back));
        std::fprintf(stderr, "multipath: kill %d: pause %.0f ms, path active again %.0f ms after the return\n", k + 1,
                     pause, returns.back());
      }
      const std::string io = rig.StopIo(120000);
      const bool clean =
          io.find(" errors=0 mismatches=0 ") != std::string::npos && io.find(" bad=0") != std::string::npos;
      if (!clean) {
        ok = false;
        figures.push_back(Failed("multipath_io_errors", "I/O errors or bad blocks", io.substr(io.rfind("ops="))));
      }
      if (static_cast<int>(pauses.size()) == kills) {
        const std::string note = std::to_string(kills) + " kills; pauses " + [&] {
          std::string s;
          for (double p : pauses) s += (s.empty() ? "" : ", ") + std::to_string(static_cast<long long>(p));
          return s;
        }() + " ms";
        figures.push_back(Measured("multipath_pause_p50_ms", "I/O pause on a " + label + ": p50",
                                   Percentile(pauses, 50), "ms", note));
        figures.push_back(
            Measured("multipath_pause_max_ms", "I/O pause on a " + label + ": max", Percentile(pauses, 100), "ms"));
        figures.push_back(Measured("multipath_return_p50_ms", "gateway back until its path is active: p50",
                                   Percentile(returns, 50), "ms"));
        figures.push_back(Measured("multipath_return_max_ms", "gateway back until its path is active: max",
                                   Percentile(returns, 100), "ms"));
      }
    }
  }
  PrintFigures(figures, 64, 10);
  if (!jsonOut.empty()) {
    std::ofstream out(jsonOut, std::ios::trunc);
    out << FiguresToJson(figures, {{"kills", std::to_string(kills)},
                                   {"replacement_timeout_s", std::to_string(settings.replacementTimeoutS)},
                                   {"path_grouping_policy", settings.grouping},
                                   {"guest", "QEMU TCG, 1 CPU, open-iscsi and multipath-tools of the host"}});
    if (!out) return 1;
  }
  return ok ? 0 : 1;
}
