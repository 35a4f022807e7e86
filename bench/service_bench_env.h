// A started service for the micro-benchmarks: the test harness's service on
// a private temporary directory with the fault-free driver doubles, a model
// of T targets x L LUNs with one host mapped to each LUN put in place
// through the handlers (no connection, so nothing is saved), and a reply
// sink to dispatch requests to.
//
// The doubles' journal is switched off once the service has started, so
// that driver calls cost what the doubles' own work costs.
//
// One environment lives at a time (the harness sets process-wide things).
// Thread safety: the benchmark thread only.
#pragma once

#include <memory>
#include <string>

#include "bench/bench_sink_network.h"
#include "tests/support/service_harness.h"

namespace wzbench {

class ServiceBenchEnv {
 public:
  ServiceBenchEnv(int targets, int lunsPerTarget);
  ~ServiceBenchEnv();
  ServiceBenchEnv(const ServiceBenchEnv&) = delete;
  ServiceBenchEnv& operator=(const ServiceBenchEnv&) = delete;

  // Why the environment is not usable ("" when it is).
  const std::string& Failure() const { return m_failure; }
  int Targets() const { return m_targets; }
  int LunsPerTarget() const { return m_luns; }

  WzScsiSrv& Service() { return m_harness->Service(); }
  BenchSinkNetwork& Net() { return m_sink; }

  // Hands the request to the intake on the connection; false when the
  // callback refused it.
  bool Post(WznHandle_t handle, std::unique_ptr<CNMessageBase> request);
  // Post, then wait for the reply; its result code, or -1 when none came
  // within timeoutMs.
  int64_t Call(WznHandle_t handle, std::unique_ptr<CNMessageBase> request, int timeoutMs = 60000);

 private:
  std::string BuildModel();

  int m_targets;
  int m_luns;
  std::string m_failure;
  BenchSinkNetwork m_sink;  // outlives the service: workers may still reply
  std::unique_ptr<wztest::ServiceHarness> m_harness;
};

}  // namespace wzbench
