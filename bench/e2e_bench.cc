// The end-to-end benchmark: wzscsid as a process on a temporary directory
// with the fault-free driver doubles, driven through the client protocol.
//
//  1. Durable configuration changes per second with 1, 4 and 16 concurrent
//     clients on targets of their own (bench/change_load.h), and with 16
//     clients on one target, next to the disk's own rate of fsync-and-rename
//     of a small file in the same directory (one stream, and one stream per
//     client), measured in between.
//  2. Start-up replay of an action log of 1,000 targets, 10,000 LUNs and
//     10,000 mappings, and on request (--replay-targets 1000,10000) of
//     10,000 targets, 100,000 LUNs and 100,000 mappings: the start
//     request's round trip, the time from starting the process to serving,
//     the daemon's CPU time until then and its peak memory.
//  3. Listing of 100,000 LUN tuples ("ll") end to end on one connection.
//  4. Overload (bench/e2e_overload.h): one client's latency while others
//     pipeline without reading, and peak memory under 1 MiB frames.
//  5. Instructions per durable change: the daemon under callgrind, once
//     with a few cycles and once with more; the difference of its totals
//     over the difference of changes leaves start and stop out.
//
// Prints a table and writes the figures as JSON (--json). Exit status 0 when
// every measurement ran (targets missed or not), 1 when one could not run.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/action_log_files.h"
#include "bench/bench_requests.h"
#include "bench/bench_stats.h"
#include "bench/change_load.h"
#include "bench/e2e_daemon.h"
#include "bench/e2e_overload.h"
#include "bench/fsync_probe.h"
#include "bench/proc_cpu.h"
#include "bench/proc_memory.h"
#include "hostlib/net/client.h"

namespace {

using namespace wzbench;
typedef std::chrono::steady_clock Clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct Options {
  std::string driverDir = WzBuildPaths::Fakes();
  std::string workDir;
  std::string jsonOut;
  double trialSecs = 2.0;
  int trials = 5;
  std::vector<int> clients = {1, 4, 16};
  int oneTargetClients = 16;
  int replayRuns = 3;
  std::vector<int> replayTargets = {1000};  // one replay measurement each
  int replayLunsPerTarget = 10;
  int listRuns = 5;
  int logLevel = 0;
  bool skipChanges = false;
  bool skipReplay = false;
  bool skipListing = false;
  bool skipOverload = false;
  int instructionCycles = 100;  // 0: leave the instruction count out
  std::string profileOut;       // where the longer callgrind run's profile is copied
  std::string daemonWrapper;    // runs every daemon (blank-separated words)
  OverloadOptions overload;
};

void Progress(const char* fmt, ...) WZ_PRINTF(1, 2);
void Progress(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  fprintf(stderr, "e2e: ");
  vfprintf(stderr, fmt, args);
  fprintf(stderr, "\n");
  va_end(args);
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

// ---------------------------------------------------------------------------
// 1. Durable changes per second

// One probe of the disk with `streams` parallel streams; files about the
// size of a saved CreateLun request.
CRnError ProbeOnce(const std::string& dir, int streams, std::vector<double>& rates) {
  FsyncProbeResult probe;
  if (CRnError e = ProbeFsyncRenameParallel(dir, streams, 0.5, 10, 600, probe)) return e;
  rates.push_back(probe.PerSecond());
  return CRnError();
}

// The probes between two trials: one stream, and as many as there are
// clients when there are several.
CRnError ProbeBetweenTrials(const std::string& dir, int clients, std::vector<double>& single,
                            std::vector<double>& parallel) {
  if (CRnError e = ProbeOnce(dir, 1, single)) return e;
  if (clients > 1) return ProbeOnce(dir, clients, parallel);
  return CRnError();
}

// Round trips of a request that touches no disk ("lt" on an empty model):
// what a change costs besides its durable writes.
CRnError MeasureRoundTrip(BenchDaemon& daemon, std::vector<double>& latencyUs) {
  CWzClient client;
  if (CRnError e = daemon.Connect(client)) return e;
  auto request = IoctlRequest("lt");
  for (int i = 0; i < 2100; ++i) {
    const Clock::time_point start = Clock::now();
    int64_t code = -1;
    if (CRnError e = CallForCode(client, *request, 10000, code)) return e;
    if (i >= 100) latencyUs.push_back(SecondsSince(start) * 1e6);  // the first ones warm up
  }
  return CRnError();
}

struct ClientLevel {
  int clients = 0;
  bool oneTarget = false;             // every client's LUNs on one shared target
  std::vector<double> rates;          // changes/s, one per trial
  std::vector<double> fsyncRates;     // one-stream probes run between this level's trials
  std::vector<double> parallelRates;  // probes with one stream per client (several clients)
  std::vector<double> latencyMs[kChangeStepCount];
  std::vector<ChangeTrial> trials;
  std::string error;

  std::string Name() const { return "changes_per_s_" + std::to_string(clients) + (oneTarget ? "_one_target" : ""); }
  std::string Label() const {
    return "durable changes/s, " + std::to_string(clients) + (clients == 1 ? " client" : " clients") +
           (oneTarget ? " on one target" : "");
  }
};

// What several clients on targets of their own must reach, now that changes
// of different targets run in parallel: a multiple of the one-client rate
// and a share of the disk's rate with as many parallel streams (0: none).
struct ScalingTarget {
  int clients;
  double timesOneClient;
  double shareOfParallelDisk;
};
const ScalingTarget kScalingTargets[] = {{4, 2.0, 0.0}, {16, 3.5, 0.75}};
// One client against the disk's one-stream rate; 16 clients on one target
// against one client (their parsing and saving overlap though their
// changes stay in order); the daemon's CPU per change at one client.
constexpr double kOneClientShareOfDisk = 0.85;
constexpr double kOneTargetTimesOneClient = 1.5;
constexpr double kDaemonCpuMsPerChange = 0.1;

const char* const kSharedTarget = "iqn.2024-01.load:shared";

CRnError CallOk(BenchDaemon& daemon, const CNMessageBase& request, const char* what) {
  CWzClient client;
  if (CRnError e = daemon.Connect(client)) return e;
  int64_t code = -1;
  if (CRnError e = CallForCode(client, request, 60000, code)) return e;
  if (code != 0)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 1067, "%s answered with code %lld", what,
                                   static_cast<long long>(code));
  return CRnError();
}

ChangeLoad LevelLoad(BenchDaemon& daemon, const ClientLevel& level, const std::string& tag) {
  ChangeLoad load;
  load.socket = daemon.Socket();
  load.daemonPid = daemon.Pid();
  load.prefix = "iqn.2024-01.load:" + tag;
  if (level.oneTarget) load.sharedTarget = kSharedTarget;
  // The doubles accept any path, and one host for all is what the service
  // sees most often.
  load.lunPath = [](int) { return std::string("/bench/load.img"); };
  load.host = [](int) { return std::string("iqn.2024-01.host:load"); };
  return load;
}

// The trials of one client count, each between two probes of the disk: its
// rate changes with what else runs on the machine, so each level is held
// against the probes taken around its own trials.
CRnError MeasureLevel(const Options& options, BenchDaemon& daemon, ClientLevel& level) {
  const std::string tag = (level.oneTarget ? "o" : "n") + std::to_string(level.clients);
  Progress("changes: %s, %d trials of %.1f s", level.Label().c_str(), options.trials, options.trialSecs);
  if (level.oneTarget)
    if (CRnError e = CallOk(daemon, *CreateTargetRequest(kSharedTarget), "creating the shared target")) return e;
  // A short warm-up so that the pool's threads are in place before the
  // clock runs.
  RunChangeTrial(LevelLoad(daemon, level, "w" + tag), level.clients, 0.3);
  for (int t = 0; t < options.trials; ++t) {
    if (CRnError e = ProbeBetweenTrials(daemon.StagingDir(), level.clients, level.fsyncRates, level.parallelRates))
      return e;
    ChangeTrial trial =
        RunChangeTrial(LevelLoad(daemon, level, tag + "t" + std::to_string(t)), level.clients, options.trialSecs);
    if (!trial.error.empty() && level.error.empty()) level.error = trial.error;
    level.rates.push_back(trial.changesPerSec);
    for (size_t i = 0; i < kChangeStepCount; ++i)
      level.latencyMs[i].insert(level.latencyMs[i].end(), trial.latencyMs[i].begin(), trial.latencyMs[i].end());
    level.trials.push_back(std::move(trial));
  }
  if (CRnError e = ProbeBetweenTrials(daemon.StagingDir(), level.clients, level.fsyncRates, level.parallelRates))
    return e;
  if (level.oneTarget)
    if (CRnError e = CallOk(daemon, *DeleteTargetRequest(kSharedTarget), "deleting the shared target")) return e;
  Progress("changes: %s: %.1f changes/s, disk %.1f fsync-and-rename/s", level.Label().c_str(), Median(level.rates),
           Median(level.fsyncRates));
  return CRnError();
}

// The target of a level's figure, from the one-client rate (0 when there is
// no one-client level).
void SetLevelTarget(const ClientLevel& level, double oneClient, Figure& f) {
  char text[160];
  if (level.clients == 1 && !level.oneTarget) {
    f.kind = TargetKind::kAtLeast;
    f.target = kOneClientShareOfDisk * Median(level.fsyncRates);
    snprintf(text, sizeof(text), ">= %.0f%% of fsync-and-rename (%.1f/s)", 100 * kOneClientShareOfDisk, f.target);
    f.targetText = text;
    return;
  }
  if (oneClient <= 0) return;
  if (level.oneTarget) {
    // Changes of one target stay in order; what overlaps is everything
    // around them (parsing, replies) and their fsyncs.
    f.kind = TargetKind::kAtLeast;
    f.target = kOneTargetTimesOneClient * oneClient;
    snprintf(text, sizeof(text), ">= %.1fx 1 client (%.1f/s)", kOneTargetTimesOneClient, f.target);
    f.targetText = text;
    return;
  }
  for (const ScalingTarget& s : kScalingTargets) {
    if (s.clients != level.clients) continue;
    const double byClient = s.timesOneClient * oneClient;
    const double byDisk = s.shareOfParallelDisk * Median(level.parallelRates);
    f.kind = TargetKind::kAtLeast;
    f.target = std::max(byClient, byDisk);
    if (s.shareOfParallelDisk > 0)
      snprintf(text, sizeof(text), ">= %.1fx 1 client (%.1f/s), >= %.0f%% of %d streams (%.1f/s)", s.timesOneClient,
               byClient, 100.0 * s.shareOfParallelDisk, s.clients, byDisk);
    else
      snprintf(text, sizeof(text), ">= %.1fx 1 client (%.1f/s)", s.timesOneClient, byClient);
    f.targetText = text;
  }
}

Figure LevelFigure(const ClientLevel& level, double oneClient) {
  Figure f;
  f.name = level.Name();
  f.label = level.Label();
  f.value = Median(level.rates);
  f.unit = "changes/s";
  SetLevelTarget(level, oneClient, f);
  const double fsyncRate = Median(level.fsyncRates);
  char note[320];
  snprintf(note, sizeof(note), "median of %zu trials = %.0f%% of the disk's %.1f/s measured around them",
           level.rates.size(), fsyncRate > 0 ? 100.0 * f.value / fsyncRate : 0.0, fsyncRate);
  f.note = note;
  if (!level.parallelRates.empty()) {
    const double parallel = Median(level.parallelRates);
    snprintf(note, sizeof(note), " (%.0f%% of its %.1f/s with %d parallel streams)",
             parallel > 0 ? 100.0 * f.value / parallel : 0.0, parallel, level.clients);
    f.note += note;
  }
  if (oneClient > 0 && !(level.clients == 1 && !level.oneTarget)) {
    snprintf(note, sizeof(note), "; %.2fx 1 client", f.value / oneClient);
    f.note += note;
  }
  f.note += "; " + StepLatencyText(level.latencyMs);
  const std::string cpu = CpuText(level.trials);
  if (!cpu.empty()) f.note += "; " + cpu;
  if (!level.error.empty()) f.note += "; a client stopped: " + level.error;
  return f;
}

// The daemon's CPU time per change at one client, median of the trials.
Figure CpuFigure(const ClientLevel& level) {
  std::vector<double> perChange;
  for (const ChangeTrial& t : level.trials)
    if (t.daemonCpuMs >= 0) perChange.push_back(t.daemonCpuMs);
  if (perChange.empty())
    return Failed("daemon_cpu_ms_per_change", "daemon CPU per durable change, 1 client", "ms",
                  "the daemon's CPU time could not be read");
  Figure f;
  f.name = "daemon_cpu_ms_per_change";
  f.label = "daemon CPU per durable change, 1 client";
  f.value = Median(perChange);
  f.unit = "ms";
  f.kind = TargetKind::kBelow;
  f.target = kDaemonCpuMsPerChange;
  char text[64];
  snprintf(text, sizeof(text), "<= %.1f ms", kDaemonCpuMsPerChange);
  f.targetText = text;
  f.note = "user + system time over the whole cycle, median of " + std::to_string(perChange.size()) + " trials";
  return f;
}

void MeasureChanges(const Options& options, const DaemonSetup& setup, std::vector<Figure>& figures, bool& ok) {
  BenchDaemon daemon(setup);
  CRnError e = daemon.Prepare();
  if (e.IsSuccess()) e = daemon.Start(true);
  if (e.IsSuccess()) e = daemon.CheckServing();
  std::vector<double> roundTripUs;
  if (e.IsSuccess()) e = MeasureRoundTrip(daemon, roundTripUs);
  if (e) {
    figures.push_back(Failed("changes_per_s_1", "durable changes/s, 1 client", "changes/s", e.AsString()));
    ok = false;
    return;
  }
  Progress("changes: wzscsid pid %d, state in %s", static_cast<int>(daemon.Pid()), daemon.Dir().c_str());
  std::vector<ClientLevel> levels;
  for (int clients : options.clients) {
    levels.emplace_back();
    levels.back().clients = clients;
  }
  if (options.oneTargetClients > 0) {
    levels.emplace_back();
    levels.back().clients = options.oneTargetClients;
    levels.back().oneTarget = true;
  }
  for (ClientLevel& level : levels) {
    if (CRnError p = MeasureLevel(options, daemon, level)) {
      figures.push_back(Failed(level.Name(), level.Label(), "changes/s", p.AsString()));
      ok = false;
      return;
    }
  }

  // The disk: one stream over every probe, and each parallel stream count.
  std::vector<double> single;
  std::map<int, std::vector<double>> parallel;
  double oneClient = 0;
  for (const ClientLevel& level : levels) {
    single.insert(single.end(), level.fsyncRates.begin(), level.fsyncRates.end());
    parallel[level.clients].insert(parallel[level.clients].end(), level.parallelRates.begin(),
                                   level.parallelRates.end());
    if (level.clients == 1 && !level.oneTarget) oneClient = Median(level.rates);
  }
  Figure disk;
  disk.name = "fsync_rename_per_s";
  disk.label = "disk: fsync-and-rename of a small file (physical limit)";
  disk.value = Median(single);
  disk.unit = "ops/s";
  char diskNote[128];
  snprintf(diskNote, sizeof(diskNote), "median of %zu probes of >= 0.5 s between the trials (min %.1f, max %.1f)",
           single.size(), Percentile(single, 0), Percentile(single, 100));
  disk.note = diskNote;
  figures.push_back(disk);
  for (const auto& streams : parallel) {
    if (streams.second.empty()) continue;
    Figure f;
    f.name = "fsync_rename_per_s_" + std::to_string(streams.first);
    f.label = "disk: the same with " + std::to_string(streams.first) + " parallel streams";
    f.value = Median(streams.second);
    f.unit = "ops/s";
    snprintf(diskNote, sizeof(diskNote), "median of %zu probes (min %.1f, max %.1f)", streams.second.size(),
             Percentile(streams.second, 0), Percentile(streams.second, 100));
    f.note = diskNote;
    figures.push_back(f);
  }
  Figure rtt;
  rtt.name = "round_trip_us";
  rtt.label = "request round trip without disk (\"lt\", empty model)";
  rtt.value = Median(roundTripUs);
  rtt.unit = "us";
  char rttNote[96];
  snprintf(rttNote, sizeof(rttNote), "median of %zu, p99 %.0f us", roundTripUs.size(), Percentile(roundTripUs, 99));
  rtt.note = rttNote;
  figures.push_back(rtt);
  for (const ClientLevel& level : levels) {
    figures.push_back(LevelFigure(level, oneClient));
    if (!level.error.empty()) ok = false;
    if (level.clients == 1 && !level.oneTarget) figures.push_back(CpuFigure(level));
  }
  if (CRnError s = daemon.Stop()) Progress("stopping wzscsid: %s", s.AsString().c_str());
}

// ---------------------------------------------------------------------------
// 2. and 3.: a daemon started on a prepared action log

struct StartFigures {
  double replaySec = 0;   // the start request's round trip
  double servingSec = 0;  // process start to the start reply
  uint64_t peakKib = 0;
};

CRnError StartOnLog(BenchDaemon& daemon, StartFigures& out) { return daemon.StartTimed(out.replaySec, out.servingSec); }

// "ll" on the connection: the lines of the reply.
CRnError ListAll(CWzClient& client, const std::string& arguments, int timeoutMs, std::vector<std::string>& lines) {
  std::unique_ptr<CNMessageBase> reply;
  int64_t code = -1;
  if (CRnError e = CallForCode(client, *IoctlRequest("ll", arguments), timeoutMs, code, &reply)) return e;
  auto* rsp = dynamic_cast<WzScsiServer::IoctlRsp*>(reply.get());
  if (code != 0 || rsp == nullptr)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 13, "listing answered with code %lld",
                                   static_cast<long long>(code));
  lines = rsp->results();
  return CRnError();
}

CRnError CheckTuples(BenchDaemon& daemon, size_t expected) {
  CWzClient client;
  if (CRnError e = daemon.Connect(client)) return e;
  std::vector<std::string> lines;
  if (CRnError e = ListAll(client, "", 60000, lines)) return e;
  if (lines.size() != expected)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 13, "replay gave %zu LUN tuples, %zu expected", lines.size(),
                                   expected);
  return CRnError();
}

// "21k" for 21,000 objects: the figures' names.
std::string ObjectsTag(size_t objects) { return std::to_string(objects / 1000) + "k"; }

// 10000 as "10,000": the figures' labels.
std::string Thousands(size_t n) {
  std::string text = std::to_string(n);
  for (int at = static_cast<int>(text.size()) - 3; at > 0; at -= 3) text.insert(static_cast<size_t>(at), ",");
  return text;
}

// The start request on a log of `targets` targets with `lunsPerTarget`
// mapped LUNs each, timed over restarts. A larger model carries targets of
// its own for time and memory.
struct ReplaySize {
  int targets = 0;
  int lunsPerTarget = 0;
  double targetSec = 0;      // 0: none
  double targetPeakMib = 0;  // 0: none
};

void MeasureReplay(const Options& options, const ReplaySize& size, const DaemonSetup& setup,
                   std::vector<Figure>& figures, bool& ok) {
  ModelShape shape;
  shape.targets = size.targets;
  shape.lunsPerTarget = size.lunsPerTarget;
  shape.mapHosts = true;
  const std::string tag = ObjectsTag(shape.Objects());
  BenchDaemon daemon(setup);
  Progress("replay: writing an action log of %zu objects", shape.Objects());
  const Clock::time_point writeStart = Clock::now();
  CRnError e = daemon.Prepare();
  if (e.IsSuccess()) e = WriteActionLog(daemon.ActionLogRoot(), shape);
  if (e.IsSuccess()) Progress("replay: action log written in %.1f s", SecondsSince(writeStart));
  std::vector<double> replay, serving, daemonCpu, busy;
  uint64_t peak = 0;
  for (int run = 0; e.IsSuccess() && run < options.replayRuns; ++run) {
    StartFigures start;
    // The daemon's own CPU time until it serves, and how busy the CPUs
    // were meanwhile: on a shared machine the round trip alone says little.
    CpuTimes before, after;
    e = ReadCpuTimes(getpid(), before);
    if (e.IsSuccess()) e = StartOnLog(daemon, start);
    if (e.IsSuccess()) e = ReadCpuTimes(daemon.Pid(), after);
    if (e.IsSuccess() && run == 0) e = CheckTuples(daemon, shape.Tuples());
    uint64_t current = 0;
    if (e.IsSuccess()) e = ReadMemoryKib(daemon.Pid(), start.peakKib, current);
    if (e.IsSuccess()) e = daemon.Stop();
    if (e.IsError()) break;
    const uint64_t ticks = after.machineTotal - before.machineTotal;
    const double busyShare =
        ticks > 0 ? static_cast<double>(after.machineBusy - before.machineBusy) / static_cast<double>(ticks) : 0;
    Progress(
        "replay run %d: start request %.3f s, process start to serving %.3f s, daemon CPU %.2f s, CPUs %.0f%% "
        "busy, VmHWM %llu KiB",
        run + 1, start.replaySec, start.servingSec, after.processSec, 100.0 * busyShare,
        static_cast<unsigned long long>(start.peakKib));
    replay.push_back(start.replaySec);
    serving.push_back(start.servingSec);
    daemonCpu.push_back(after.processSec);
    busy.push_back(busyShare);
    peak = std::max(peak, start.peakKib);
  }
  const std::string objects = Thousands(shape.Objects()) + " objects";
  if (e) {
    std::string why = e.AsString();
    const std::string log = daemon.LogLinesWith(" ERROR ");
    if (!log.empty()) why += "; daemon log: " + log;
    figures.push_back(Failed("replay_" + tag + "_s", "start-up replay, " + objects, "s", why));
    ok = false;
    return;
  }
  char text[64];
  Figure f;
  f.name = "replay_" + tag + "_s";
  f.label = "start-up replay, " + Thousands(static_cast<size_t>(shape.targets)) + " targets + " +
            Thousands(shape.Tuples()) + " LUNs + " + Thousands(shape.Tuples()) + " mappings";
  f.value = Median(replay);
  f.unit = "s";
  if (size.targetSec > 0) {
    f.kind = TargetKind::kBelow;
    f.target = size.targetSec;
    snprintf(text, sizeof(text), "< %g s", size.targetSec);
    f.targetText = text;
  }
  snprintf(text, sizeof(text), "; daemon CPU until serving %.2f s, CPUs %.0f%% busy", Median(daemonCpu),
           100.0 * Median(busy));
  f.note = "start request round trip, median of " + std::to_string(replay.size()) + " restarts" + text;
  figures.push_back(f);
  Figure s;
  s.name = "start_to_serving_" + tag + "_s";
  s.label = "process start to serving, same log";
  s.value = Median(serving);
  s.unit = "s";
  figures.push_back(s);
  Figure m;
  m.name = "peak_rss_" + tag + "_mib";
  m.label = "daemon peak memory (VmHWM) at " + objects;
  m.value = static_cast<double>(peak) / 1024.0;
  m.unit = "MiB";
  if (size.targetPeakMib > 0) {
    m.kind = TargetKind::kBelow;
    m.target = size.targetPeakMib;
    snprintf(text, sizeof(text), "< %g MiB", size.targetPeakMib);
    m.targetText = text;
  }
  figures.push_back(m);
}

// The sizes with targets of their own; any other size is measured without.
const ReplaySize kReplayTargets[] = {{1000, 10, 2.0, 0}, {10000, 10, 5.0, 200}};

ReplaySize ReplaySizeOf(int targets, int lunsPerTarget) {
  for (const ReplaySize& known : kReplayTargets)
    if (known.targets == targets && known.lunsPerTarget == lunsPerTarget) return known;
  ReplaySize size;
  size.targets = targets;
  size.lunsPerTarget = lunsPerTarget;
  return size;
}

void MeasureListing(const Options& options, const DaemonSetup& setup, std::vector<Figure>& figures, bool& ok) {
  ModelShape shape;
  shape.targets = 1000;
  shape.lunsPerTarget = 100;
  shape.mapHosts = true;
  BenchDaemon daemon(setup);
  Progress("listing: writing an action log of %zu objects", shape.Objects());
  const Clock::time_point writeStart = Clock::now();
  CRnError e = daemon.Prepare();
  if (e.IsSuccess()) e = WriteActionLog(daemon.ActionLogRoot(), shape);
  const double writeSec = SecondsSince(writeStart);
  StartFigures start;
  if (e.IsSuccess()) e = StartOnLog(daemon, start);
  if (e) {
    figures.push_back(Failed("list_100k_ms", "listing of 100,000 tuples end to end", "ms", e.AsString()));
    ok = false;
    return;
  }
  Progress("listing: action log written in %.1f s, replayed in %.1f s", writeSec, start.replaySec);
  Figure r;
  r.name = "replay_201k_s";
  r.label = "start-up replay, 1,000 targets + 100,000 LUNs + 100,000 mappings";
  r.value = start.replaySec;
  r.unit = "s";
  figures.push_back(r);

  CWzClient client;
  e = daemon.Connect(client);
  std::vector<double> times;
  std::string failure;
  for (int run = 0; e.IsSuccess() && run <= options.listRuns; ++run) {
    std::vector<std::string> lines;
    const Clock::time_point sent = Clock::now();
    e = ListAll(client, "", 15000, lines);
    const double ms = SecondsSince(sent) * 1000.0;
    if (e.IsSuccess() && lines.size() != shape.Tuples())
      e = FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 13, "listing gave %zu tuples, %zu expected", lines.size(),
                                  shape.Tuples());
    if (e.IsSuccess() && run > 0) times.push_back(ms);  // run 0 warms the caches
  }
  if (e) {
    failure = e.AsString();
    const std::string log = daemon.LogLinesWith("SendXMLMessage");
    if (!log.empty()) failure += "; daemon log: " + log;
    figures.push_back(Failed("list_100k_ms", "listing of 100,000 tuples end to end (\"ll\")", "ms", failure));
    ok = false;
  } else {
    Figure f;
    f.name = "list_100k_ms";
    f.label = "listing of 100,000 tuples end to end (\"ll\")";
    f.value = Median(times);
    f.unit = "ms";
    f.kind = TargetKind::kBelow;
    f.target = 100;
    f.targetText = "< 100 ms";
    f.note = "median of " + std::to_string(times.size()) + " requests on one connection, reply parsed";
    figures.push_back(f);
  }

  // The same 100,000 tuples one target at a time: what a client can do when
  // one reply cannot carry them all.
  CWzClient pager;
  CRnError p = daemon.Connect(pager);
  size_t tuples = 0;
  const Clock::time_point pagedStart = Clock::now();
  for (int t = 0; p.IsSuccess() && t < shape.targets; ++t) {
    std::vector<std::string> lines;
    p = ListAll(pager, "-ti " + TargetName(t), 30000, lines);
    tuples += lines.size();
  }
  const double pagedMs = SecondsSince(pagedStart) * 1000.0;
  if (p.IsSuccess() && tuples != shape.Tuples())
    p = FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 13, "paged listing gave %zu tuples", tuples);
  if (p) {
    figures.push_back(
        Failed("list_100k_by_target_ms", "listing of 100,000 tuples, 1,000 requests by target", "ms", p.AsString()));
    ok = false;
  } else {
    Figure f;
    f.name = "list_100k_by_target_ms";
    f.label = "listing of 100,000 tuples as 1,000 \"ll -ti T\" requests";
    f.value = pagedMs;
    f.unit = "ms";
    figures.push_back(f);
  }
  uint64_t peak = 0, current = 0;
  if (ReadMemoryKib(daemon.Pid(), peak, current).IsSuccess()) {
    Figure m;
    m.name = "peak_rss_201k_mib";
    m.label = "daemon peak memory (VmHWM) at 201,000 objects";
    m.value = static_cast<double>(peak) / 1024.0;
    m.unit = "MiB";
    figures.push_back(m);
  }
  const Clock::time_point stopStart = Clock::now();
  if (CRnError s = daemon.Stop()) Progress("stopping wzscsid: %s", s.AsString().c_str());
  const double stopSec = SecondsSince(stopStart);
  const Clock::time_point removeStart = Clock::now();
  daemon.Remove();
  Progress("listing: daemon stopped in %.1f s, state removed in %.1f s", stopSec, SecondsSince(removeStart));
}

// ---------------------------------------------------------------------------
// 5. Instructions per durable change

std::string FindProgram(const std::string& name) {
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t begin = 0; begin <= dirs.size();) {
    size_t end = dirs.find(':', begin);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(begin, end - begin) + "/" + name;
    if (end > begin && access(candidate.c_str(), X_OK) == 0) return candidate;
    begin = end + 1;
  }
  return std::string();
}

// The instructions callgrind counted over the whole run ("totals:" line).
CRnError ReadCallgrindTotal(const std::string& file, double& total) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 7, "totals:") == 0 || line.compare(0, 8, "summary:") == 0) {
      total = std::strtod(line.c_str() + line.find(':') + 1, nullptr);
      return CRnError();
    }
  }
  return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 13, "no totals in %s", file.c_str());
}

// One daemon under callgrind making `cycles` cycles of one client: the
// instructions of its whole run.
CRnError CountInstructions(const DaemonSetup& setup, const std::string& valgrind, int cycles,
                           const std::string& profileOut, double& total) {
  BenchDaemon daemon(setup);
  if (CRnError e = daemon.Prepare()) return e;
  const std::string out = daemon.Dir() + "/callgrind.out";
  daemon.SetWrapper({valgrind, "--tool=callgrind", "--callgrind-out-file=" + out});
  if (CRnError e = daemon.Start(true, 300000)) return e;
  if (CRnError e = daemon.CheckServing()) return e;
  ChangeLoad load;
  load.socket = daemon.Socket();
  load.prefix = "iqn.2024-01.count:c" + std::to_string(cycles);
  load.lunPath = [](int) { return std::string("/bench/load.img"); };
  load.host = [](int) { return std::string("iqn.2024-01.host:load"); };
  load.cycles = cycles;
  const ChangeTrial trial = RunChangeTrial(load, 1, 0);
  if (!trial.error.empty()) return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 1067, "%s", trial.error.c_str());
  if (CRnError e = daemon.Stop(300000)) return e;
  if (CRnError e = ReadCallgrindTotal(out, total)) return e;
  if (!profileOut.empty()) {
    std::ifstream in(out, std::ios::binary);
    std::ofstream copy(profileOut, std::ios::binary | std::ios::trunc);
    copy << in.rdbuf();
  }
  return CRnError();
}

void MeasureInstructions(const Options& options, const DaemonSetup& setup, std::vector<Figure>& figures, bool& ok) {
  const char* name = "instructions_per_change";
  const char* label = "instructions per durable change (daemon, callgrind)";
  const std::string valgrind = FindProgram("valgrind");
  if (valgrind.empty()) {
    Figure f = Failed(name, label, "instructions", "skipped: valgrind is not installed");
    figures.push_back(f);
    return;
  }
  // The shorter run holds what does not depend on the number of changes.
  const int few = std::max(1, options.instructionCycles / 5);
  const int many = few + options.instructionCycles;
  Progress("instructions: wzscsid under callgrind, %d and %d cycles of one client", few, many);
  double fewTotal = 0, manyTotal = 0;
  CRnError e = CountInstructions(setup, valgrind, few, std::string(), fewTotal);
  if (e.IsSuccess()) e = CountInstructions(setup, valgrind, many, options.profileOut, manyTotal);
  if (e) {
    figures.push_back(Failed(name, label, "instructions", e.AsString()));
    ok = false;
    return;
  }
  const double changes = static_cast<double>(kChangeStepCount) * (many - few);
  Figure f;
  f.name = name;
  f.label = label;
  f.value = (manyTotal - fewTotal) / changes;
  f.unit = "instructions";
  char note[160];
  snprintf(note, sizeof(note), "user-space instructions of %.0f changes (runs of %d and %d cycles: %.3g and %.3g)",
           changes, few, many, fewTotal, manyTotal);
  f.note = note;
  figures.push_back(f);
}

void PrintTable(const std::vector<Figure>& figures) {
  printf("%-66s %14s  %-34s %s\n", "end-to-end figure", "value", "target", "");
  PrintFigures(figures, 66, 34);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{"End-to-end benchmark of wzscsid with the driver doubles"};
  app.add_option("--driver-dir", options.driverDir, "driver doubles")->capture_default_str();
  app.add_option("--work-dir", options.workDir, "where the temporary state goes (default: $TMPDIR or /tmp)");
  app.add_option("--json", options.jsonOut, "write the figures here as JSON");
  app.add_option("--trial-seconds", options.trialSecs, "length of one throughput trial")->capture_default_str();
  app.add_option("--trials", options.trials, "throughput trials per client count")->capture_default_str();
  app.add_option("--clients", options.clients, "client counts")->capture_default_str()->delimiter(',');
  app.add_option("--one-target-clients", options.oneTargetClients,
                 "clients whose changes all go to one target (0: leave out)")
      ->capture_default_str();
  app.add_option("--replay-runs", options.replayRuns, "restarts timed on each replayed log")->capture_default_str();
  app.add_option("--replay-targets", options.replayTargets,
                 "target counts of the replayed logs (each target with its LUNs, each LUN mapped)")
      ->capture_default_str()
      ->delimiter(',');
  app.add_option("--replay-luns-per-target", options.replayLunsPerTarget, "LUNs of each target in the replayed logs")
      ->capture_default_str();
  app.add_option("--list-runs", options.listRuns, "timed 100,000-tuple listings")->capture_default_str();
  app.add_option("--log-level", options.logLevel, "the daemon's log level")->capture_default_str();
  app.add_flag("--skip-changes", options.skipChanges, "leave out the durable-change measurement");
  app.add_flag("--skip-replay", options.skipReplay, "leave out the replay measurement");
  app.add_flag("--skip-listing", options.skipListing, "leave out the 100,000-tuple listing");
  app.add_flag("--skip-overload", options.skipOverload, "leave out the overload measurements");
  app.add_option("--instruction-cycles", options.instructionCycles,
                 "cycles of the callgrind count of instructions per change (0: leave out)")
      ->capture_default_str();
  app.add_option("--profile-out", options.profileOut, "copy the callgrind profile of the count here");
  app.add_option("--daemon-wrapper", options.daemonWrapper,
                 "a program (and its options, separated by blanks) that runs every wzscsid, e.g. for a profile");
  app.add_option("--overload-requests", options.overload.latencyRequests,
                 "timed requests of the well-behaved client under overload")
      ->capture_default_str();
  app.add_option("--flood-frames", options.overload.floodFrames, "1 MiB frames sent in the flood")
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  if (options.replayLunsPerTarget < 0 ||
      std::any_of(options.replayTargets.begin(), options.replayTargets.end(), [](int t) { return t < 1; })) {
    fprintf(stderr, "e2e: --replay-targets must be positive and --replay-luns-per-target not negative\n");
    return 1;
  }

  if (options.workDir.empty()) {
    const char* tmp = getenv("TMPDIR");
    options.workDir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  }
  if (access(WzBuildPaths::Daemon().c_str(), X_OK) != 0) {
    fprintf(stderr, "e2e: no wzscsid at '%s'\n", WzBuildPaths::Daemon().c_str());
    return 1;
  }
  DaemonSetup setup;
  setup.driverDir = options.driverDir;
  setup.parentDir = options.workDir;
  setup.logLevel = options.logLevel;
  std::istringstream words(options.daemonWrapper);
  for (std::string word; words >> word;) setup.wrapper.push_back(word);

  std::vector<Figure> figures;
  bool ok = true;
  if (!options.skipChanges) MeasureChanges(options, setup, figures, ok);
  if (!options.skipReplay)
    for (int targets : options.replayTargets)
      MeasureReplay(options, ReplaySizeOf(targets, options.replayLunsPerTarget), setup, figures, ok);
  if (!options.skipListing) MeasureListing(options, setup, figures, ok);
  if (!options.skipOverload) MeasureOverload(options.overload, setup, figures, ok);
  if (options.instructionCycles > 0) MeasureInstructions(options, setup, figures, ok);

  PrintTable(figures);
  if (!options.jsonOut.empty()) {
    std::vector<std::pair<std::string, std::string>> context = {
        {"work_dir", options.workDir},
        {"daemon", WzBuildPaths::Daemon()},
        {"driver_dir", options.driverDir},
        {"trial_seconds", std::to_string(options.trialSecs)},
        {"trials", std::to_string(options.trials)},
        {"cpus", std::to_string(std::thread::hardware_concurrency())},
    };
    std::ofstream out(options.jsonOut, std::ios::trunc);
    out << FiguresToJson(figures, context);
    if (!out) {
      fprintf(stderr, "e2e: cannot write %s\n", options.jsonOut.c_str());
      return 1;
    }
  }
  return ok ? 0 : 1;
}
