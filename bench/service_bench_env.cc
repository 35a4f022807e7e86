#include "bench/service_bench_env.h"

#include <cstdlib>

#include "bench/bench_requests.h"

namespace wzbench {

namespace {

wztest::HarnessOptions BenchHarnessOptions() {
  wztest::HarnessOptions options;
  // Level 0, as a daemon runs by default: no per-request records.
  options.logLevel = 0;
  return options;
}

}  // namespace

ServiceBenchEnv::ServiceBenchEnv(int targets, int lunsPerTarget) : m_targets(targets), m_luns(lunsPerTarget) {
  m_harness = std::make_unique<wztest::ServiceHarness>(BenchHarnessOptions());
  if (m_harness->Service().GetStatus() != WzScsiSrv::SVC_INITIALIZED) {
    m_failure = "the service did not start";
    return;
  }
  // No worker runs now: the start request has been answered and nothing
  // else was sent, so the environment can change without a reader.
  m_harness->Drain();
  unsetenv("WZSCSI_FAKE_JOURNAL");
  unsetenv("WZSCSI_FAKE_FAULTS");
  m_failure = BuildModel();
}

ServiceBenchEnv::~ServiceBenchEnv() {
  if (m_harness) m_harness->Drain();
  m_harness.reset();
}

std::string ServiceBenchEnv::BuildModel() {
  WzScsiSrv& service = m_harness->Service();
  for (int t = 0; t < m_targets; ++t) {
    const std::string target = TargetName(t);
    auto create = CreateTargetRequest(target);
    if (CRnError e = service.CreateTarget(nullptr, create.get()))
      return "create target " + target + ": " + e.AsString();
    for (int l = 0; l < m_luns; ++l) {
      auto lun = CreateLunRequest(target, LunPath(t, l));
      if (CRnError e = service.CreateLun(nullptr, lun.get())) return "create LUN on " + target + ": " + e.AsString();
      // The doubles number LUNs from 0 in creation order.
      auto map = MapRequest(target, l, HostName(t));
      if (CRnError e = service.MapHost(nullptr, map.get()))
        return "map LUN " + std::to_string(l) + " of " + target + ": " + e.AsString();
    }
  }
  m_harness->Log().Clear();
  return std::string();
}

bool ServiceBenchEnv::Post(WznHandle_t handle, std::unique_ptr<CNMessageBase> request) {
  CRnError e = Service().IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_RECEIVED, &m_sink, handle, request.release());
  return e.IsSuccess();
}

int64_t ServiceBenchEnv::Call(WznHandle_t handle, std::unique_ptr<CNMessageBase> request, int timeoutMs) {
  const size_t before = m_sink.ReplyCount(handle);
  if (!Post(handle, std::move(request))) return -1;
  if (!m_sink.WaitForReplies(handle, before + 1, timeoutMs)) return -1;
  return m_sink.LastReplyCode(handle);
}

}  // namespace wzbench
