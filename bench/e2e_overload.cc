#include "bench/e2e_overload.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "apps/launcher/load_clients.h"
#include "bench/bench_requests.h"
#include "bench/proc_memory.h"

namespace wzbench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStallers = 15;
constexpr size_t kFrameBytes = 1u << 20;

CRnError TimeListings(BenchDaemon& daemon, int count, std::vector<double>& ms) {
  return WzLoad::TimeRequests(daemon.Socket(), "", *IoctlRequest("lt"), count, ms);
}

Figure Failed(const std::string& name, const std::string& label, const std::string& unit, const std::string& why) {
  Figure f;
  f.name = name;
  f.label = label;
  f.unit = unit;
  f.measured = false;
  f.note = why;
  return f;
}

void MeasureLatency(const OverloadOptions& options, const DaemonSetup& setup, std::vector<Figure>& figures, bool& ok) {
  const char* name = "overload_lt_p99_ms";
  const char* label = "p99 of one client's \"lt\" while 15 clients pipeline without reading";
  BenchDaemon daemon(setup);
  CRnError e = daemon.Prepare();
  if (e.IsSuccess()) e = daemon.Start(true);
  std::vector<double> quiet, loaded;
  if (e.IsSuccess()) e = TimeListings(daemon, std::max(100, options.latencyRequests / 3), quiet);
  long sent = 0;
  if (e.IsSuccess()) {
    // Each starts over on a new connection once the daemon stops reading
    // it, so the pressure lasts the whole measurement.
    WzLoad::CStallingClient stallers[kStallers];
    for (WzLoad::CStallingClient& s : stallers)
      s.Start(daemon.Socket(), WzLoad::ListTargetsFrame(), 1L << 30, 200, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the flood under way
    const Clock::time_point start = Clock::now();
    e = TimeListings(daemon, options.latencyRequests, loaded);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (WzLoad::CStallingClient& s : stallers) {
      s.Stop();
      sent += s.Sent();
    }
    fprintf(stderr, "e2e: overload: %zu timed listings in %.1f s while %d clients pipelined %ld requests\n",
            loaded.size(), seconds, kStallers, sent);
  }
  if (e.IsSuccess() && !daemon.Running()) e = FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 1067, "wzscsid died");
  if (e) {
    figures.push_back(Failed(name, label, "ms", e.AsString()));
    ok = false;
    return;
  }
  Figure f;
  f.name = name;
  f.label = label;
  f.value = Percentile(loaded, 99);
  f.unit = "ms";
  f.kind = TargetKind::kBelow;
  f.target = 50;
  f.targetText = "< 50 ms";
  char note[256];
  snprintf(note, sizeof(note),
           "%zu requests: median %.2f ms, max %.1f ms; the same client alone: median %.2f ms, p99 %.2f ms; "
           "the 15 pipelined %ld requests meanwhile",
           loaded.size(), Median(loaded), Percentile(loaded, 100), Median(quiet), Percentile(quiet, 99), sent);
  f.note = note;
  figures.push_back(f);
  if (CRnError s = daemon.Stop()) fprintf(stderr, "e2e: stopping wzscsid: %s\n", s.AsString().c_str());
}

void MeasureFloodMemory(const OverloadOptions& options, const DaemonSetup& setup, std::vector<Figure>& figures,
                        bool& ok) {
  const char* name = "overload_peak_rss_mib";
  const char* label = "daemon peak memory (VmHWM) under a flood of 1 MiB frames";
  BenchDaemon daemon(setup);
  const std::string frame = WzLoad::ListTargetsFrame(kFrameBytes);
  CRnError e = frame.empty() ? FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 13, "cannot build a 1 MiB request")
                             : daemon.Prepare();
  if (e.IsSuccess()) e = daemon.Start(true);
  uint64_t before = 0, current = 0, peak = 0;
  if (e.IsSuccess()) e = ReadMemoryKib(daemon.Pid(), before, current);
  long sent = 0, replies = 0;
  double seconds = 0;
  if (e.IsSuccess()) {
    // Half the frames from 4 clients that never read, half from 8 that read
    // in batches of 16 (these keep the limits on requests in work busy).
    const int stalling = options.floodFrames / 2 / 4;
    const int batched = options.floodFrames / 2 / 8;
    WzLoad::CStallingClient stallers[4];
    WzLoad::CBatchClient flooders[8];
    const Clock::time_point start = Clock::now();
    for (WzLoad::CStallingClient& s : stallers) s.Start(daemon.Socket(), frame, stalling, 2000, false);
    for (WzLoad::CBatchClient& f : flooders) f.Start(daemon.Socket(), frame, batched, 16);
    for (WzLoad::CStallingClient& s : stallers) {
      s.WaitUntilStalled();
      sent += s.Sent();
    }
    for (WzLoad::CBatchClient& f : flooders) {
      f.Join();
      replies += f.Replies();
    }
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    e = ReadMemoryKib(daemon.Pid(), peak, current);
    if (e.IsSuccess() && replies != 8L * batched)
      e = FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 13, "%ld of %d batched frames answered", replies, 8 * batched);
  }
  if (e) {
    figures.push_back(Failed(name, label, "MiB", e.AsString()));
    ok = false;
    return;
  }
  fprintf(stderr, "e2e: overload: %ld + %ld frames of 1 MiB in %.1f s, VmHWM %llu KiB\n", sent, replies, seconds,
          static_cast<unsigned long long>(peak));
  Figure f;
  f.name = name;
  f.label = label;
  f.value = static_cast<double>(peak) / 1024.0;
  f.unit = "MiB";
  f.kind = TargetKind::kBelow;
  f.target = 64;
  f.targetText = "< 64 MiB";
  char note[256];
  snprintf(note, sizeof(note),
           "%.1f MiB before; %ld frames answered to 8 clients reading in batches of 16, %ld taken from 4 that never "
           "read, in %.1f s",
           static_cast<double>(before) / 1024.0, replies, sent, seconds);
  f.note = note;
  figures.push_back(f);
  if (CRnError s = daemon.Stop()) fprintf(stderr, "e2e: stopping wzscsid: %s\n", s.AsString().c_str());
}

// Sixteen clients that ask for the detailed listing of twelve targets with
// 1 MB descriptions and never read the answer.
void MeasureListingMemory(const DaemonSetup& setup, std::vector<Figure>& figures, bool& ok) {
  const char* name = "overload_listing_peak_rss_mib";
  const char* label = "daemon peak memory (VmHWM) with 16 clients not reading the largest \"ls\"";
  DaemonSetup big = setup;
  big.extraConfig += "\n[wzscsid]\nMaxFrameBytes=4194304\n";
  BenchDaemon daemon(big);
  CRnError e = daemon.Prepare();
  if (e.IsSuccess()) e = daemon.Start(true);
  if (e.IsSuccess()) e = WzLoad::CreateLargeDescriptionTargets(daemon.Socket(), 12, 1000000);
  uint64_t before = 0, current = 0, peak = 0, after = 0;
  if (e.IsSuccess()) e = ReadMemoryKib(daemon.Pid(), before, current);
  double seconds = 0;
  if (e.IsSuccess()) {
    before = current;
    const Clock::time_point start = Clock::now();
    {
      WzLoad::CStallingClient stallers[16];
      for (WzLoad::CStallingClient& s : stallers)
        s.Start(daemon.Socket(), WzLoad::DetailListingFrame(), 1, 10000, false);
      for (WzLoad::CStallingClient& s : stallers) s.WaitUntilStalled();
      std::vector<double> ms;
      e = WzLoad::TimeRequests(daemon.Socket(), "", *IoctlRequest("lt"), 1, ms);
      std::this_thread::sleep_for(std::chrono::seconds(2));  // every page made and queued
      seconds = std::chrono::duration<double>(Clock::now() - start).count();
      if (e.IsSuccess()) e = ReadMemoryKib(daemon.Pid(), peak, current);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    uint64_t ignored = 0;
    if (e.IsSuccess()) e = ReadMemoryKib(daemon.Pid(), ignored, after);
  }
  if (e) {
    figures.push_back(Failed(name, label, "MiB", e.AsString()));
    ok = false;
    return;
  }
  fprintf(stderr, "e2e: overload: 16 unread listings, VmHWM %llu KiB, VmRSS %llu KiB before, %llu KiB after\n",
          static_cast<unsigned long long>(peak), static_cast<unsigned long long>(before),
          static_cast<unsigned long long>(after));
  Figure f;
  f.name = name;
  f.label = label;
  f.value = static_cast<double>(peak) / 1024.0;
  f.unit = "MiB";
  f.kind = TargetKind::kBelow;
  f.target = 128;
  f.targetText = "< 128 MiB";
  char note[256];
  snprintf(note, sizeof(note),
           "12 targets with 1 MB descriptions; resident %.1f MiB before, %.1f MiB once the 16 clients closed; %.1f s",
           static_cast<double>(before) / 1024.0, static_cast<double>(after) / 1024.0, seconds);
  f.note = note;
  figures.push_back(f);
  if (CRnError s = daemon.Stop()) fprintf(stderr, "e2e: stopping wzscsid: %s\n", s.AsString().c_str());
}

}  // namespace

void MeasureOverload(const OverloadOptions& options, const DaemonSetup& setup, std::vector<Figure>& figures, bool& ok) {
  MeasureLatency(options, setup, figures, ok);
  MeasureFloodMemory(options, setup, figures, ok);
  MeasureListingMemory(setup, figures, ok);
}

}  // namespace wzbench
