// The whole system on the Linux kernel target, for the end-to-end tests: one
// QEMU guest per test program (LioEnvironment boots it before the first test
// and stops it by its pid after the last, whatever the tests did), wzscsid
// inside the guest on the real drivers (chrooted into the host's files, its
// state on the directory the host shares read-write), driven from the host
// through wzscsictl over its forwarded TCP listener with a token, and the
// libiscsi probe on the forwarded iSCSI portal.
//
// Each test gets its own state directory and a fresh wzscsid; after each
// test the kernel target is emptied, so tests do not see each other.
//
// Thread safety: none; one test thread.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "apps/launcher/daemon_launcher.h"
#include "tests/e2e/lio_vm.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"
#include "tests/support/hostlib/test_certificates.h"

namespace wze2e {

class LioEnvironment : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;

  static LioEnvironment& Get();
  LioVm& Vm() { return m_vm; }
  // The directory shared with the guest (same path on both sides).
  const std::string& Share() const { return m_share->Path(); }
  bool Ready() const { return m_result == LioVm::BootResult::kReady; }
  bool Skipped() const { return m_result == LioVm::BootResult::kNoKernel; }
  const std::string& Why() const { return m_why; }

 private:
  std::unique_ptr<CRnTempDirForTest> m_share;
  std::unique_ptr<CRnTempDirForTest> m_work;
  LioVm m_vm;
  LioVm::BootResult m_result = LioVm::BootResult::kFailed;
  std::string m_why = "the VM was not booted";
};

class LioE2eTest : public ::testing::Test {
 protected:
  static const char* const kTarget;
  static const char* const kHostA;
  static const char* const kHostB;
  static const char* const kPattern;
  static constexpr long long k64MiB = 64ll << 20;

  void SetUp() override;
  void TearDown() override;

  LioVm& Vm() { return LioEnvironment::Get().Vm(); }

  // wzscsid in the guest on StateDir(); returns once it serves.
  void StartDaemon();
  // SIGTERM in the guest; expects a clean stop (exit status 0).
  void StopDaemon();

  WzCtlRunResult Ctl(std::vector<std::string> args) const;
  // Expects exit status 0; returns standard output.
  std::string CtlOk(std::vector<std::string> args) const;
  // A sparse file of size bytes in the shared directory.
  std::string NewFile(const std::string& name, long long size) const;

  // The probe as host on LUN lun of kTarget.
  CommandResult ProbeAs(const std::string& host, int lun, std::vector<std::string> args = {}) const;
  // The probe holding its session on LUN lun of kTarget, reading the
  // pattern at lba; returns once it holds. RequestRead: one read at once.
  void HoldSession(ChildProcess& session, int lun, long long lba) const;
  static std::string RequestRead(ChildProcess& session);

  // A guest shell script; expects it to succeed and returns its output.
  std::string Guest(const std::string& script);
  // Everything the kernel target holds below iscsi/ and core/, one path per
  // line (attributes and statistics left out), links with their targets.
  std::string KernelObjects();
  // The directory listing of a configfs directory relative to the kernel
  // target's root, names separated by blanks.
  std::string KernelLs(const std::string& rel);

  std::string StateDir() const { return m_dir + "/state"; }
  std::string SnapshotDir() const { return m_dir + "/snapshots"; }
  std::string ActionLogRoot() const { return StateDir() + "/jobresults/WzScsiSrvActionLogs"; }
  std::vector<std::string> SavedFiles() const;
  std::string DaemonLog() const;

  std::string m_dir;           // this test's directory in the share
  std::string m_token;         // of the daemon's TCP listener
  WzTestCertificates m_certs;  // of its TLS
};

}  // namespace wze2e
