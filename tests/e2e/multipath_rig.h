// The multipath scenario of the end-to-end test and the benchmark: two
// gateways in cluster mode on the host (ClusterRig: each its own tgtd and
// wzscsid, one shared backing-file directory) serving one LUN on a shared
// file, and an initiator guest (LioVm with the Linux initiator and
// multipathd) logged in to both gateways' portals, which makes one
// multipath device of the two paths. In the guest, wz_direct_io writes and
// reads back that device with direct I/O while a caller kills and brings
// back parts of a gateway.
//
// Thread safety: none; one thread drives a rig.
#pragma once

#include <memory>
#include <string>

#include "tests/e2e/cluster_e2e_support.h"
#include "tests/e2e/lio_vm.h"

namespace wze2e {

class MultipathRig {
 public:
  static constexpr size_t kA = 0;
  static constexpr size_t kB = 1;
  static const char* const kTarget;
  static const char* const kInitiator;
  static const char* const kSerialPrefix;

  enum class Result { kReady, kSkip, kFailed };

  MultipathRig() = default;
  ~MultipathRig() { Stop(); }
  MultipathRig(const MultipathRig&) = delete;
  MultipathRig& operator=(const MultipathRig&) = delete;

  // Gateways, target, LUN and mapping, the guest, the logins; returns once
  // multipath shows one device with both paths active. kSkip: something to
  // run it is not installed (message says what).
  Result Start(const MultipathSettings& settings, std::string* message);
  void Stop();

  ClusterRig& Cluster() { return m_cluster; }
  LioVm& Vm() { return m_vm; }
  const std::string& Serial() const { return m_serial; }
  int Lun() const { return m_lun; }

  // `multipath -ll` in the guest.
  std::string MultipathLl() const;
  // Paths of the map that multipath shows "active ready running", and all
  // of its paths; -1 when the guest did not answer.
  int ActivePaths(int* total = nullptr) const;
  bool WaitActivePaths(int active, int total, int timeoutMs) const;
  // The tid each gateway's tgtd gave the target (0: none).
  int Tid(size_t g) const;
  int TidOf(size_t g, const std::string& target) const;

  // wz_direct_io on the multipath device in the background.
  bool StartIo(std::string* message);
  // The operations it has done so far (-1: no answer).
  long long IoProgress() const;
  // Its output so far.
  std::string IoOutput() const;
  // Stops it and returns its whole output (its last line: the totals).
  std::string StopIo(int timeoutMs);

  // Kills gateway g's tgtd; BringBackTgtd starts it again empty on the same
  // portal (its wzscsid, when running, rebuilds it).
  void KillTgtd(size_t g);
  bool BringBackTgtd(size_t g, std::string* error);

 private:
  std::unique_ptr<CRnTempDirForTest> m_dir;
  ClusterRig m_cluster;
  LioVm m_vm;
  std::string m_serial;
  int m_lun = -1;
};

}  // namespace wze2e
