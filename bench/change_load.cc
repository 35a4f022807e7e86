#include "bench/change_load.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "bench/bench_requests.h"
#include "bench/bench_stats.h"
#include "bench/e2e_daemon.h"
#include "bench/proc_cpu.h"
#include "hostlib/net/client.h"

namespace wzbench {

const char* const kChangeSteps[kChangeStepCount] = {"create target", "create LUN", "map",
                                                    "unmap",         "delete LUN", "delete target"};

namespace {

typedef std::chrono::steady_clock Clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct ClientResult {
  size_t changes = 0;
  std::vector<double> latencyMs[kChangeStepCount];
  std::string error;
};

void RunClient(const ChangeLoad& load, int index, Clock::time_point deadline, ClientResult& result) {
  CWzClient client;
  if (CRnError e = client.Connect(load.socket, "", 10000)) {
    result.error = "connect: " + e.AsString();
    return;
  }
  const std::string host = load.host(index);
  const std::string path = load.lunPath(index);
  auto step = [&](const CNMessageBase& request, size_t which, int64_t* lunId) -> bool {
    const Clock::time_point start = Clock::now();
    std::unique_ptr<CNMessageBase> reply;
    int64_t code = -1;
    if (CRnError e = CallForCode(client, request, 60000, code, &reply)) {
      result.error = std::string(kChangeSteps[which]) + ": " + e.AsString();
      return false;
    }
    if (code != 0) {
      result.error = std::string(kChangeSteps[which]) + ": reply code " + std::to_string(code);
      return false;
    }
    result.latencyMs[which].push_back(SecondsSince(start) * 1000.0);
    ++result.changes;
    if (lunId != nullptr) {
      auto* rsp = dynamic_cast<WzScsiServer::CreateLunRsp*>(reply.get());
      *lunId = rsp != nullptr ? rsp->lunId() : 0;
    }
    return true;
  };
  const bool shared = !load.sharedTarget.empty();
  for (int k = 0; load.cycles > 0 ? k < load.cycles : Clock::now() < deadline; ++k) {
    const std::string target =
        shared ? load.sharedTarget : load.prefix + "-c" + std::to_string(index) + "-" + std::to_string(k);
    int64_t lun = 0;
    if (!shared && !step(*CreateTargetRequest(target), 0, nullptr)) return;
    if (!step(*CreateLunRequest(target, path), 1, &lun)) return;
    if (!step(*MapRequest(target, lun, host), 2, nullptr)) return;
    if (!step(*UnMapRequest(target, lun, host), 3, nullptr)) return;
    if (!step(*DeleteLunRequest(target, lun), 4, nullptr)) return;
    if (!shared && !step(*DeleteTargetRequest(target), 5, nullptr)) return;
  }
}

}  // namespace

ChangeTrial RunChangeTrial(const ChangeLoad& load, int clients, double seconds) {
  std::vector<ClientResult> results(static_cast<size_t>(clients));
  std::vector<std::thread> threads;
  CpuTimes daemonBefore, engineBefore;
  const bool daemonCpu = load.daemonPid > 0 && ReadCpuTimes(load.daemonPid, daemonBefore).IsSuccess();
  const bool engineCpu = load.enginePid > 0 && ReadCpuTimes(load.enginePid, engineBefore).IsSuccess();
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6));
  for (int c = 0; c < clients; ++c)
    threads.emplace_back(RunClient, std::cref(load), c, deadline, std::ref(results[static_cast<size_t>(c)]));
  for (std::thread& t : threads) t.join();
  const double elapsed = SecondsSince(start);
  ChangeTrial trial;
  size_t changes = 0;
  for (const ClientResult& r : results) {
    changes += r.changes;
    for (size_t i = 0; i < kChangeStepCount; ++i)
      trial.latencyMs[i].insert(trial.latencyMs[i].end(), r.latencyMs[i].begin(), r.latencyMs[i].end());
    if (!r.error.empty() && trial.error.empty()) trial.error = r.error;
  }
  trial.changesPerSec = elapsed > 0 ? static_cast<double>(changes) / elapsed : 0;
  CpuTimes after;
  if (daemonCpu && ReadCpuTimes(load.daemonPid, after).IsSuccess()) {
    const CpuUse use = CpuUseBetween(daemonBefore, after, static_cast<double>(changes));
    trial.daemonCpuMs = use.processMsPer;
    trial.clientCpuMs = use.selfMsPer;
    trial.machineBusy = use.machineBusyShare;
  }
  if (engineCpu && ReadCpuTimes(load.enginePid, after).IsSuccess())
    trial.engineCpuMs = CpuUseBetween(engineBefore, after, static_cast<double>(changes)).processMsPer;
  return trial;
}

std::string StepLatencyText(const std::vector<double> (&latencyMs)[kChangeStepCount]) {
  std::string out = "median latency by step:";
  bool first = true;
  for (size_t i = 0; i < kChangeStepCount; ++i) {
    if (latencyMs[i].empty()) continue;
    char buf[64];
    snprintf(buf, sizeof(buf), "%s %s %.2f ms", first ? "" : ",", kChangeSteps[i], Median(latencyMs[i]));
    out += buf;
    first = false;
  }
  return out;
}

std::string CpuText(const std::vector<ChangeTrial>& trials) {
  std::vector<double> daemon, engine, client, busy;
  for (const ChangeTrial& t : trials) {
    if (t.daemonCpuMs >= 0) daemon.push_back(t.daemonCpuMs);
    if (t.engineCpuMs >= 0) engine.push_back(t.engineCpuMs);
    if (t.clientCpuMs >= 0) client.push_back(t.clientCpuMs);
    if (t.machineBusy >= 0) busy.push_back(t.machineBusy);
  }
  if (daemon.empty()) return std::string();
  char buf[160];
  std::string out = "CPU per change:";
  snprintf(buf, sizeof(buf), " daemon %.2f ms", Median(daemon));
  out += buf;
  if (!engine.empty()) {
    snprintf(buf, sizeof(buf), ", tgtd %.2f ms", Median(engine));
    out += buf;
  }
  snprintf(buf, sizeof(buf), ", clients %.2f ms; CPUs busy %.0f%%", Median(client), 100.0 * Median(busy));
  return out + buf;
}

}  // namespace wzbench
