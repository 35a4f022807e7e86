// The whole system on a real engine, for the end-to-end tests: each test gets
// its own tgtd (a free loopback port, stopped by process id), its own wzscsid
// on the real drivers with a temporary state directory, and drives the daemon
// through wzscsictl as a user would; the libiscsi probe checks what tgtd
// serves, tgtadm what tgtd holds.
//
// Thread safety: none; one test thread uses a fixture.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "apps/launcher/daemon_launcher.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"
#include "tests/support/tgtd/tgtd_fixture.h"

namespace wze2e {

// One target as "tgtadm --op show --mode target" shows it.
struct TgtdTargetView {
  int tid = 0;
  std::map<int, std::string> luns;  // number -> backing path; the controller (LUN 0) left out
  std::vector<std::string> acls;    // bound initiator names
  int sessions = 0;                 // I_T nexuses
};
// By target name.
std::map<std::string, TgtdTargetView> ParseTgtdShow(const std::string& text);

class DaemonE2eTest : public ::testing::Test {
 protected:
  static const char* const kTarget;
  static const char* const kHostA;
  static const char* const kHostB;
  static const char* const kPattern;
  static constexpr long long k64MiB = 64ll << 20;

  void SetUp() override;
  void TearDown() override;

  // wzscsid on StateDir() with the real drivers; returns once it serves,
  // that is once its start request (the replay) was answered.
  // env: extra "NAME=value" pairs for the daemon (a test crash point);
  // args: appended to its command line.
  void StartDaemon(const std::vector<std::pair<std::string, std::string>>& env = {},
                   const std::vector<std::string>& args = {});
  // SIGTERM; expects a clean stop (exit status 0).
  void StopDaemon();

  WzCtlRunResult Ctl(std::vector<std::string> args) const;
  // Expects exit status 0; returns standard output.
  std::string CtlOk(std::vector<std::string> args) const;
  // The first line wzscsictl prints on standard error when the service
  // refuses a request with code and message, naming object ("" for none);
  // FirstLine: that line of what it printed (a next step may follow).
  static std::string Refusal(const std::string& object, int code, const std::string& message);
  static std::string FirstLine(const std::string& err) { return err.substr(0, err.find('\n') + 1); }

  // kTarget, a 64 MiB block-device LUN on a new sparse file and its mapping
  // to kHostA, all through wzscsictl. Returns the LUN number (-1 on failure,
  // with the test failed).
  int CreateMappedBlockLun(const std::string& file);

  // The probe as host on LUN lun of kTarget.
  CommandResult ProbeAs(const std::string& host, int lun, std::vector<std::string> args = {}) const;
  // The probe holding its session (--hold-until-eof) on LUN lun of kTarget,
  // reading the pattern at lba; returns once it holds.
  void HoldSession(ChildProcess& session, int lun, long long lba) const;
  // One read through a held session, at once: "ok", "mismatch" or "failed".
  static std::string RequestRead(ChildProcess& session);

  std::map<std::string, TgtdTargetView> TgtdTargets() const { return ParseTgtdShow(m_tgtd.ShowTargets()); }
  // tgtadm against this test's tgtd; expects success.
  void TgtdAdmin(const std::vector<std::string>& args) const;

  std::string Path(const std::string& rel) const { return m_dir.Join(rel); }
  // A sparse file of size bytes under the test directory.
  std::string MakeFile(const std::string& name, long long size) const;
  std::string StateDir() const { return m_dir.Join("state"); }
  std::string SnapshotDir() const { return m_dir.Join("snapshots"); }
  std::string ActionLogRoot() const { return StateDir() + "/jobresults/WzScsiSrvActionLogs"; }
  // The action log's files, relative to its root, sorted.
  std::vector<std::string> SavedFiles() const;
  std::string DaemonLog() const;

  CRnTempDirForTest m_dir;
  TgtdProcess m_tgtd;
  CWzDaemonProcess m_daemon;
};

}  // namespace wze2e
