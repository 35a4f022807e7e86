#include "tests/e2e/lio_e2e_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "tests/e2e/driver_harness.h"

namespace wze2e {

namespace {

// Generous: TCG emulation on a shared machine.
constexpr int kDaemonReadyMs = 120000;

const char* const kConfigfs = "/sys/kernel/config/target";

std::string ReadText(const std::string& path) { return CRnTempDirForTest::ReadText(path); }

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

void CollectSaved(const std::string& root, const std::string& rel, std::vector<std::string>& out) {
  for (const std::string& name : CRnTempDirForTest::List(rel.empty() ? root : root + "/" + rel)) {
    const std::string child = rel.empty() ? name : rel + "/" + name;
    struct stat st;
    if (::lstat((root + "/" + child).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      CollectSaved(root, child, out);
    } else {
      out.push_back(child);
    }
  }
}

// Takes down whatever a test left in the kernel target, objects of every
// kind in the order the kernel requires (links before what they point at).
const char* const kClearKernelTarget = R"(C=/sys/kernel/config/target
for t in $C/iscsi/*/tpgt_*; do
  [ -d "$t" ] || continue
  echo 0 > $t/enable
  for m in $t/acls/*/lun_* $t/lun/lun_*; do
    [ -d "$m" ] || continue
    for l in $m/*; do [ -L "$l" ] && unlink "$l"; done
    rmdir "$m"
  done
  for d in $t/acls/* $t/np/*; do [ -d "$d" ] && rmdir "$d"; done
  rmdir $t
done
for w in $C/iscsi/*; do [ -d "$w" ] && [ "${w##*/}" != discovery_auth ] && rmdir "$w"; done
for h in $C/core/*_*; do
  for b in $h/*; do [ -d "$b" ] && rmdir "$b"; done
  rmdir "$h"
done
for d in /sys/bus/rbd/devices/*; do [ -d "$d" ] && echo "${d##*/}" > /sys/bus/rbd/remove_single_major; done
true)";

LioEnvironment* g_environment = nullptr;

}  // namespace

// ---------------------------------------------------------------- the VM

void LioEnvironment::SetUp() {
  m_share.reset(new CRnTempDirForTest());
  m_work.reset(new CRnTempDirForTest());
  // The host in reach: an RBD LUN's image lives in a Ceph cluster there.
  LioVmOptions options;
  options.reachHost = true;
  const LioVm::BootResult result = m_vm.Boot(m_share->Path(), m_work->Path(), &m_why, options);
  m_result = result;
  if (Ready()) {
    std::printf("kernel-target VM ready after %.1f s (iSCSI portal %s)\n", m_vm.BootSeconds(),
                m_vm.IscsiPortal().c_str());
  } else {
    std::printf("kernel-target VM not ready: %s\n", m_why.c_str());
  }
}

void LioEnvironment::TearDown() {
  m_vm.Stop();
  m_work.reset();
  m_share.reset();
}

LioEnvironment& LioEnvironment::Get() {
  if (g_environment == nullptr) {
    g_environment = new LioEnvironment();
    ::testing::AddGlobalTestEnvironment(g_environment);  // gtest owns it
  }
  return *g_environment;
}

// Registered before main runs, so the VM boots before the first test.
[[maybe_unused]] static LioEnvironment& g_registered = LioEnvironment::Get();

// ---------------------------------------------------------------- a test

const char* const LioE2eTest::kTarget = "iqn.2024-01.com.example:lio";
const char* const LioE2eTest::kHostA = "iqn.2024-01.com.example:host-a";
const char* const LioE2eTest::kHostB = "iqn.2024-01.com.example:host-b";
const char* const LioE2eTest::kPattern = "WzScsiLio-";

void LioE2eTest::SetUp() {
  LioEnvironment& env = LioEnvironment::Get();
  if (env.Skipped()) GTEST_SKIP() << "the kernel-target tests need a kernel to boot: " << env.Why();
  ASSERT_TRUE(env.Ready()) << env.Why();
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  m_dir = env.Share() + "/" + info->name();
  ASSERT_EQ(0, ::mkdir(m_dir.c_str(), 0750));
  ASSERT_EQ(0, ::mkdir(StateDir().c_str(), 0750));
  ASSERT_EQ(0, ::mkdir(SnapshotDir().c_str(), 0750));
  std::random_device random;
  m_token = std::to_string(random()) + std::to_string(random());
  // The client reaches the guest through QEMU's forward on 127.0.0.1.
  std::string why;
  ASSERT_TRUE(MakeWzTestCertificates(m_dir, m_certs, why)) << why;
  // The engine is left to the automatic choice: in the guest the kernel
  // target is there, so it must be taken.
  // No Unix socket: the client is on the host, the daemon in the guest.
  CRnTempDirForTest::WriteText(StateDir() + "/wzscsi.conf",
                               "[wzscsid]\nSocket=\nListen=0.0.0.0:" + std::to_string(LioVm::kGuestDaemonPort) +
                                   "\nToken=" + m_token + "\nTlsCertFile=" + m_certs.serverCert +
                                   "\nTlsKeyFile=" + m_certs.serverKey +
                                   "\n[WzScsiSrvBStorDevSnap]\nSnapshotDir=" + SnapshotDir() + "\n");
  StartDaemon();
}

void LioE2eTest::TearDown() {
  if (m_dir.empty() || !LioEnvironment::Get().Ready()) return;
  if (HasFailure()) {
    std::printf("---- wzscsid log ----\n%s---- kernel target ----\n%s---- guest kernel log ----\n%s",
                DaemonLog().c_str(), KernelObjects().c_str(), Vm().Shell("dmesg | tail -20").output.c_str());
  }
  if (Exists(StateDir() + "/wzscsid.pid") && !Exists(StateDir() + "/wzscsid.exit")) StopDaemon();
  CommandResult cleared = Vm().Shell(kClearKernelTarget);
  EXPECT_EQ(0, cleared.exitCode) << cleared.output;
}

void LioE2eTest::StartDaemon() {
  const std::string s = StateDir();
  for (const char* f : {"/wzscsid.pid", "/wzscsid.exit", "/wzscsid.err"}) ::unlink((s + f).c_str());
  // The wrapper runs in the chroot, so every path is the host's; it keeps
  // the daemon's exit status for StopDaemon.
  const std::string daemon = WzBuildPaths::Daemon() + " --state-dir " + s + " --driver-dir " +
                             WzBuildPaths::RealDrivers() + " --log-file " + s + "/wzscsid.log --log-level 1";
  const std::string wrapper =
      daemon + " 2>" + s + "/wzscsid.err & echo $! >" + s + "/wzscsid.pid; wait $!; echo $? >" + s + "/wzscsid.exit";
  CommandResult started =
      Vm().Shell("setsid chroot /host /bin/sh -c '" + wrapper + "' </dev/null >/dev/null 2>&1 &\necho started");
  ASSERT_EQ(0, started.exitCode) << started.output;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDaemonReadyMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Has(ReadText(s + "/wzscsid.err"), "wzscsid: serving on")) return;
    if (Exists(s + "/wzscsid.exit")) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  FAIL() << "wzscsid did not serve in the guest:\n" << ReadText(s + "/wzscsid.err") << DaemonLog();
}

void LioE2eTest::StopDaemon() {
  const std::string s = StateDir();
  // The guest's shell sees the shared directory under /host.
  CommandResult killed = Vm().Shell("kill -TERM $(cat /host" + s + "/wzscsid.pid)");
  ASSERT_EQ(0, killed.exitCode) << killed.output;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDaemonReadyMs);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string status = ReadText(s + "/wzscsid.exit");
    if (!status.empty() && status.back() == '\n') {
      ASSERT_EQ("0\n", status) << ReadText(s + "/wzscsid.err") << DaemonLog();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  FAIL() << "wzscsid did not stop in the guest";
}

WzCtlRunResult LioE2eTest::Ctl(std::vector<std::string> args) const {
  WzCtlRun cfg;
  cfg.args = {"--tcp", LioEnvironment::Get().Vm().DaemonEndpoint(), "--token", m_token, "--tls-ca", m_certs.caCert};
  cfg.args.insert(cfg.args.end(), args.begin(), args.end());
  cfg.timeoutMs = 120000;
  return RunCtlProcess(cfg);
}

std::string LioE2eTest::CtlOk(std::vector<std::string> args) const {
  std::string line;
  for (const std::string& a : args) line += " " + a;
  WzCtlRunResult r = Ctl(std::move(args));
  EXPECT_EQ(0, r.exitCode) << "wzscsictl" << line << ": " << r.out << r.err;
  return r.out;
}

std::string LioE2eTest::NewFile(const std::string& name, long long size) const {
  const std::string path = m_dir + "/" + name;
  std::ofstream(path, std::ios::trunc).close();
  EXPECT_EQ(0, ::truncate(path.c_str(), size)) << path;
  return path;
}

CommandResult LioE2eTest::ProbeAs(const std::string& host, int lun, std::vector<std::string> args) const {
  return RunProbe(LioEnvironment::Get().Vm().IscsiPortal(), kTarget, host, lun, args);
}

void LioE2eTest::HoldSession(ChildProcess& session, int lun, long long lba) const {
  std::string why;
  ASSERT_TRUE(
      HoldProbeSession(session, LioEnvironment::Get().Vm().IscsiPortal(), kTarget, kHostA, lun, lba, kPattern, &why))
      << why;
}

std::string LioE2eTest::RequestRead(ChildProcess& session) { return RequestProbeRead(session); }

std::string LioE2eTest::Guest(const std::string& script) {
  CommandResult r = Vm().Shell(script);
  EXPECT_EQ(0, r.exitCode) << script << ":\n" << r.output;
  return r.output;
}

std::string LioE2eTest::KernelObjects() {
  // Directories the driver makes and links it sets, not the attributes and
  // statistics groups the kernel adds to them.
  return Guest(
      std::string("cd ") + kConfigfs +
      " && find iscsi core -mindepth 1 \\( -name statistics -o -name attrib -o -name param -o -name auth "
      "-o -name fabric_statistics -o -name wwn -o -name alua -o -name action -o -name pr -o -name discovery_auth "
      "\\) -prune "
      "-o \\( -type d -o -type l \\) -print | sort | while read p; do "
      "if [ -L \"$p\" ]; then echo \"$p -> $(readlink \"$p\" | sed 's|.*/target/||')\"; else echo \"$p\"; fi; "
      "done");
}

std::string LioE2eTest::KernelLs(const std::string& rel) {
  std::string out = Guest(std::string("ls ") + kConfigfs + "/" + rel + " | tr '\\n' ' '");
  while (!out.empty() && (out.back() == ' ' || out.back() == '\n')) out.pop_back();
  return out;
}

std::vector<std::string> LioE2eTest::SavedFiles() const {
  std::vector<std::string> files;
  if (Exists(ActionLogRoot())) CollectSaved(ActionLogRoot(), "", files);
  std::sort(files.begin(), files.end());
  return files;
}

std::string LioE2eTest::DaemonLog() const { return ReadText(StateDir() + "/wzscsid.log"); }

}  // namespace wze2e
