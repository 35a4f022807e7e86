// Dispatch and listing micro-benchmarks on a started in-process service, and
// the main of the micro-benchmark binary.
//
// Dispatch: IncomingMsgXMLCallback to the reply on the sink network, for a
// listing of a small model ("lt" of 10 targets) and for a change refused by
// the handler (a DeleteTarget of an unknown target: the whole handler frame,
// no driver call, no disk), one request at a time and 64 in flight.
// Listing: ListLuns over 1,000 targets x 100 LUNs with a host each (100,000
// tuples): the walk alone (no connection), the whole "ll" request through
// the intake, and the two filtered forms.
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>
#include <string>

#include "bench/bench_requests.h"
#include "bench/service_bench_env.h"

namespace {

using wzbench::ServiceBenchEnv;

constexpr int kSmallTargets = 10;
constexpr int kListTargets = 1000;
constexpr int kListLunsPerTarget = 100;

// The environment of the running benchmark; a benchmark that needs another
// size replaces it (one service at a time).
std::unique_ptr<ServiceBenchEnv> g_env;

ServiceBenchEnv* Env(benchmark::State& state, int targets, int luns) {
  if (!g_env || g_env->Targets() != targets || g_env->LunsPerTarget() != luns) {
    g_env.reset();
    g_env = std::make_unique<ServiceBenchEnv>(targets, luns);
  }
  if (!g_env->Failure().empty()) {
    state.SkipWithError(g_env->Failure().c_str());
    return nullptr;
  }
  return g_env.get();
}

void DispatchOneAtATime(benchmark::State& state, const std::function<std::unique_ptr<CNMessageBase>()>& make,
                        int64_t expectedCode) {
  ServiceBenchEnv* env = Env(state, kSmallTargets, 1);
  if (env == nullptr) return;
  const WznHandle_t handle = env->Net().Connect();
  for (auto _ : state) {
    const int64_t code = env->Call(handle, make());
    if (code != expectedCode) {
      state.SkipWithError(("unexpected reply code " + std::to_string(code)).c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Dispatch_ListTargets(benchmark::State& state) {
  DispatchOneAtATime(
      state, [] { return wzbench::IoctlRequest("lt"); }, WzScsiServer::RC_SUCCESS);
}

void BM_Dispatch_RefusedDelete(benchmark::State& state) {
  DispatchOneAtATime(
      state, [] { return wzbench::DeleteTargetRequest("iqn.2024-01.com.example.bench:absent"); },
      WzScsiServer::RC_NOT_FOUND_OR_WRONG_STATE);
}

void BM_Dispatch_ListTargets_InFlight64(benchmark::State& state) {
  constexpr size_t kInFlight = 64;
  ServiceBenchEnv* env = Env(state, kSmallTargets, 1);
  if (env == nullptr) return;
  const WznHandle_t handle = env->Net().Connect();
  size_t sent = env->Net().ReplyCount(handle);
  for (auto _ : state) {
    for (size_t i = 0; i < kInFlight; ++i) {
      if (!env->Post(handle, wzbench::IoctlRequest("lt"))) {
        state.SkipWithError("the intake refused a request");
        return;
      }
    }
    sent += kInFlight;
    if (!env->Net().WaitForReplies(handle, sent, 60000)) {
      state.SkipWithError("replies missing");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kInFlight));
}

void BM_ListLuns_Walk(benchmark::State& state) {
  ServiceBenchEnv* env = Env(state, kListTargets, kListLunsPerTarget);
  if (env == nullptr) return;
  auto request = wzbench::IoctlRequest("ll");
  for (auto _ : state) {
    CRnError e = env->Service().ListLuns(nullptr, request.get(), WzScsiSrv::LUNS_ALL);
    if (e.IsError()) {
      state.SkipWithError(e.AsString().c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kListTargets * kListLunsPerTarget);
}

void ListThroughIntake(benchmark::State& state, const std::string& command, const std::string& arguments,
                       int64_t tuples) {
  ServiceBenchEnv* env = Env(state, kListTargets, kListLunsPerTarget);
  if (env == nullptr) return;
  const WznHandle_t handle = env->Net().Connect();
  for (auto _ : state) {
    const int64_t code = env->Call(handle, wzbench::IoctlRequest(command, arguments));
    if (code != WzScsiServer::RC_SUCCESS) {
      state.SkipWithError(("unexpected reply code " + std::to_string(code)).c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * tuples);
}

void BM_ListLuns_All(benchmark::State& state) {
  ListThroughIntake(state, "ll", "", static_cast<int64_t>(kListTargets) * kListLunsPerTarget);
}

void BM_ListLuns_ByTarget(benchmark::State& state) {
  ListThroughIntake(state, "llt", "-ti " + wzbench::TargetName(kListTargets / 2), kListLunsPerTarget);
}

void BM_ListLuns_ByHost(benchmark::State& state) {
  ListThroughIntake(state, "llh", "-hi " + wzbench::HostName(kListTargets / 2), kListLunsPerTarget);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // Registered here, in this order, so that each service model is built once.
  benchmark::RegisterBenchmark("BM_Dispatch_ListTargets", BM_Dispatch_ListTargets)
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("BM_Dispatch_RefusedDelete", BM_Dispatch_RefusedDelete)
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("BM_Dispatch_ListTargets_InFlight64", BM_Dispatch_ListTargets_InFlight64)
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("BM_ListLuns_Walk", BM_ListLuns_Walk)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_ListLuns_All", BM_ListLuns_All)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("BM_ListLuns_ByTarget", BM_ListLuns_ByTarget)
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("BM_ListLuns_ByHost", BM_ListLuns_ByHost)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  g_env.reset();
  return 0;
}
