#include "bench/e2e_overload.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "bench/bench_requests.h"
#include "bench/proc_memory.h"
#include "hostlib/net/client.h"
#include "hostlib/net/frame.h"

namespace wzbench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStallers = 15;
constexpr size_t kFrameBytes = 1u << 20;

std::string FrameOf(const CNMessageBase& m) {
  std::string xml;
  if (m.serialize(xml, false) != 0) return std::string();
  return Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, xml);
}

// "lt" padded to about `bytes` of XML; the listing ignores its arguments.
std::string ListTargetsFrame(size_t bytes) {
  auto request = IoctlRequest("lt");
  if (bytes > 0) {
    std::string xml;
    if (request->serialize(xml, false) != 0 || xml.size() + 64 > bytes) return std::string();
    request->setArguments(std::string(bytes - xml.size() - 64, 'x'));
  }
  return FrameOf(*request);
}

// Pipelines the frame without reading until the daemon stops taking it,
// then reconnects and does it again, until stop.
void StallRepeatedly(const std::string& socket, const std::string& frame, const std::atomic<bool>& stop,
                     std::atomic<long>& sent) {
  while (!stop) {
    CWzClient client;
    client.SetSendTimeoutMs(200);
    if (client.Connect(socket, "", 10000).IsError()) return;
    while (!stop && client.SendRaw(frame).IsSuccess()) ++sent;
  }
}

// Sends `count` frames in batches of `batch`, reading each batch's replies.
void FloodInBatches(const std::string& socket, const std::string& frame, int count, int batch,
                    std::atomic<long>& replies) {
  CWzClient client;
  if (client.Connect(socket, "", 10000).IsError()) return;
  for (int done = 0; done < count; done += batch) {
    const int n = std::min(batch, count - done);
    for (int i = 0; i < n; ++i)
      if (client.SendRaw(frame).IsError()) return;
    for (int i = 0; i < n; ++i) {
      std::unique_ptr<CNMessageBase> reply;
      if (client.ReceiveReply(reply, 60000).IsError()) return;
      ++replies;
    }
  }
}

// Pipelines `count` frames without reading (stops when the daemon does).
void FloodWithoutReading(const std::string& socket, const std::string& frame, int count, std::atomic<long>& sent) {
  CWzClient client;
  client.SetSendTimeoutMs(2000);
  if (client.Connect(socket, "", 10000).IsError()) return;
  for (int i = 0; i < count && client.SendRaw(frame).IsSuccess(); ++i) ++sent;
}

CRnError TimeListings(BenchDaemon& daemon, int count, std::vector<double>& ms) {
  CWzClient client;
  if (CRnError e = daemon.Connect(client)) return e;
  auto request = IoctlRequest("lt");
  for (int i = 0; i < count; ++i) {
    const Clock::time_point start = Clock::now();
    int64_t code = -1;
    if (CRnError e = CallForCode(client, *request, 60000, code)) return e;
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return CRnError();
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

void MeasureLatency(const OverloadOptions& options, const DaemonSetup& setup, std::vector<Figure>& figures,
                    bool& ok) {
  const char* name = "overload_lt_p99_ms";
  const char* label = "p99 of one client's \"lt\" while 15 clients pipeline without reading";
  BenchDaemon daemon(setup);
  CRnError e = daemon.Prepare();
  if (e.IsSuccess()) e = daemon.Start(true);
  std::vector<double> quiet, loaded;
  if (e.IsSuccess()) e = TimeListings(daemon, std::max(100, options.latencyRequests / 3), quiet);
  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::vector<std::thread> stallers;
  if (e.IsSuccess()) {
    const std::string frame = ListTargetsFrame(0);
    for (int i = 0; i < kStallers; ++i)
      stallers.emplace_back(StallRepeatedly, daemon.Socket(), frame, std::cref(stop), std::ref(sent));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the flood under way
    const Clock::time_point start = Clock::now();
    e = TimeListings(daemon, options.latencyRequests, loaded);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    for (std::thread& t : stallers) t.join();
    fprintf(stderr, "e2e: overload: %zu timed listings in %.1f s while %d clients pipelined %ld requests\n",
            loaded.size(), seconds, kStallers, sent.load());
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
           loaded.size(), Median(loaded), Percentile(loaded, 100), Median(quiet), Percentile(quiet, 99), sent.load());
  f.note = note;
  figures.push_back(f);
  if (CRnError s = daemon.Stop()) fprintf(stderr, "e2e: stopping wzscsid: %s\n", s.AsString().c_str());
}

void MeasureFloodMemory(const OverloadOptions& options, const DaemonSetup& setup, std::vector<Figure>& figures,
                        bool& ok) {
  const char* name = "overload_peak_rss_mib";
  const char* label = "daemon peak memory (VmHWM) under a flood of 1 MiB frames";
  BenchDaemon daemon(setup);
  const std::string frame = ListTargetsFrame(kFrameBytes);
  CRnError e = frame.empty() ? FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 13, "cannot build a 1 MiB request")
                             : daemon.Prepare();
  if (e.IsSuccess()) e = daemon.Start(true);
  uint64_t before = 0, current = 0, peak = 0;
  if (e.IsSuccess()) e = ReadMemoryKib(daemon.Pid(), before, current);
  std::atomic<long> sent{0}, replies{0};
  double seconds = 0;
  if (e.IsSuccess()) {
    // Half the frames from 4 clients that never read, half from 8 that read
    // in batches of 16 (these keep the limits on requests in work busy).
    const int stalling = options.floodFrames / 2 / 4;
    const int batched = options.floodFrames / 2 / 8;
    std::vector<std::thread> clients;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < 4; ++i)
      clients.emplace_back(FloodWithoutReading, daemon.Socket(), std::cref(frame), stalling, std::ref(sent));
    for (int i = 0; i < 8; ++i)
      clients.emplace_back(FloodInBatches, daemon.Socket(), std::cref(frame), batched, 16, std::ref(replies));
    for (std::thread& t : clients) t.join();
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    e = ReadMemoryKib(daemon.Pid(), peak, current);
    if (e.IsSuccess() && replies.load() != 8L * batched)
      e = FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 13, "%ld of %d batched frames answered", replies.load(),
                                  8 * batched);
  }
  if (e) {
    figures.push_back(Failed(name, label, "MiB", e.AsString()));
    ok = false;
    return;
  }
  fprintf(stderr, "e2e: overload: %ld + %ld frames of 1 MiB in %.1f s, VmHWM %llu KiB\n", sent.load(),
          replies.load(), seconds, static_cast<unsigned long long>(peak));
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
           static_cast<double>(before) / 1024.0, replies.load(), sent.load(), seconds);
  f.note = note;
  figures.push_back(f);
  if (CRnError s = daemon.Stop()) fprintf(stderr, "e2e: stopping wzscsid: %s\n", s.AsString().c_str());
}

}  // namespace

void MeasureOverload(const OverloadOptions& options, const DaemonSetup& setup, std::vector<Figure>& figures,
                     bool& ok) {
  MeasureLatency(options, setup, figures, ok);
  MeasureFloodMemory(options, setup, figures, ok);
}

}  // namespace wzbench
