// The Linux initiator with multipath in a QEMU guest, logged in to two
// gateways in cluster mode that serve one LUN on a shared file: the guest
// sees one disk of two paths, and while gateway A's tgtd is killed, A's
// wzscsid is killed, and A's tgtd comes back and is rebuilt by the reconcile
// under another tid than B's, direct writes and read-backs go on without an
// error, every block keeps what was written, and the disk is one disk with
// both paths active again. One guest serves the whole file (TCG is slow).
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "apps/wzscsictl/wwid.h"
#include "tests/e2e/multipath_rig.h"

namespace wze2e {
namespace {

constexpr size_t kA = MultipathRig::kA;
constexpr size_t kB = MultipathRig::kB;
// Bounds, generous for TCG on a shared machine; the figures come from the
// benchmark.
constexpr int kProgressMs = 90000;
constexpr int kPathsMs = 120000;
constexpr int kRebuildMs = 60000;

bool Has(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

// Maps in `multipath -ll`: a line per map names its dm device.
int Maps(const std::string& ll) {
  int maps = 0;
  std::istringstream in(ll);
  for (std::string line; std::getline(in, line);) maps += Has(line, " dm-") ? 1 : 0;
  return maps;
}

// The designators of VPD page 0x83 a gateway reports for the LUN.
std::string Designators(MultipathRig& rig, size_t g) {
  CommandResult r = rig.Cluster().Probe(g, MultipathRig::kTarget, MultipathRig::kInitiator, rig.Lun(), {"--vpd-id"});
  std::string out;
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 11, "designator=") == 0) out += line + "\n";
  return out;
}

// The NAA type 6 line alone (tgtd's type 3 one follows the tid).
std::string Naa6(const std::string& designators) {
  std::istringstream in(designators);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 16, "designator=naa 6") == 0) return line;
  return std::string();
}

void Say(const std::string& title, const std::string& text) {
  std::printf("---- %s\n%s", title.c_str(), text.c_str());
  std::fflush(stdout);
}

TEST(MultipathE2e, OneDiskOnBothGatewaysThroughKillsAndARebuildUnderAnotherTid) {
  MultipathRig rig;
  MultipathSettings settings;  // replacement_timeout 5 s, multibus
  std::string message;
  switch (rig.Start(settings, &message)) {
    case MultipathRig::Result::kReady:
      break;
    case MultipathRig::Result::kSkip:
      GTEST_SKIP() << message;
    case MultipathRig::Result::kFailed:
      FAIL() << message;
  }
  const std::string wwid = WzCtl::TgtWwid(rig.Serial());
  const std::string before = rig.MultipathLl();
  Say("multipath -ll before the kill", before);
  EXPECT_EQ(1, Maps(before)) << before;
  EXPECT_TRUE(Has(before, "(" + wwid + ")")) << "the WWID comes from the unit serial " << rig.Serial() << "\n"
                                             << before;
  EXPECT_EQ(rig.Tid(kA), rig.Tid(kB));

  ASSERT_TRUE(rig.StartIo(&message)) << message;
  auto advances = [&](long long by) {
    const long long from = rig.IoProgress();
    return WaitUntil([&] { return rig.IoProgress() >= from + by; }, kProgressMs, 1000);
  };

  // (a) A's tgtd dies: I/O goes on through B once the session is given up.
  rig.KillTgtd(kA);
  EXPECT_TRUE(advances(40)) << "no I/O through gateway b after a's tgtd died:\n" << rig.IoOutput();
  EXPECT_TRUE(rig.WaitActivePaths(1, 2, kPathsMs)) << rig.MultipathLl();
  // (b) A's wzscsid dies as well.
  rig.Cluster().KillGateway(kA);
  const std::string afterKill = rig.MultipathLl();
  Say("multipath -ll after the kill", afterKill);
  EXPECT_EQ(1, Maps(afterKill)) << afterKill;
  EXPECT_TRUE(advances(20)) << rig.IoOutput();

  // (c) A's tgtd comes back empty and A's wzscsid rebuilds it: tid 1 is free
  // there, so the target gets another tid than on B.
  ASSERT_TRUE(rig.BringBackTgtd(kA, &message)) << message;
  ASSERT_TRUE(rig.Cluster().StartGateway(kA, &message)) << message;
  ASSERT_TRUE(WaitUntil([&] { return rig.Tid(kA) != 0 && !Naa6(Designators(rig, kA)).empty(); }, kRebuildMs, 500))
      << rig.Cluster().Describe();
  EXPECT_NE(rig.Tid(kA), rig.Tid(kB)) << "the rebuild was meant to give another tid";
  const std::string viaA = Designators(rig, kA), viaB = Designators(rig, kB);
  EXPECT_TRUE(Has(viaA, "designator=t10 " + rig.Serial() + "\n")) << viaA;
  EXPECT_EQ(Naa6(viaA), Naa6(viaB)) << viaA << viaB;
  EXPECT_EQ("designator=naa " + wwid.substr(1), Naa6(viaA));
  EXPECT_TRUE(rig.WaitActivePaths(2, 2, kPathsMs)) << rig.MultipathLl();
  // The guest reads the identity again: both paths still name one disk.
  CommandResult ids = rig.Vm().Chroot(
      "iscsiadm -m session -R >/dev/null; SYSTEMD_IGNORE_CHROOT=1 udevadm settle --timeout=30; "
      "cat /sys/block/sd*/device/wwid | sort -u",
      120000);
  EXPECT_EQ("naa." + wwid.substr(1) + "\n", ids.output);
  EXPECT_TRUE(advances(40)) << rig.IoOutput();

  const std::string io = rig.StopIo(120000);
  std::string pauses;
  std::istringstream lines(io);
  for (std::string line; std::getline(lines, line);)
    if (line.compare(0, 9, "pause_ms=") == 0 || line.compare(0, 4, "ops=") == 0) pauses += line + "\n";
  Say("wz_direct_io: pauses over 1 s and totals", pauses);
  EXPECT_TRUE(Has(io, " errors=0 mismatches=0 ")) << io;
  EXPECT_TRUE(Has(io, " bad=0\n")) << io;
  EXPECT_FALSE(Has(io, " verified=0 ")) << io;
  const std::string after = rig.MultipathLl();
  Say("multipath -ll after the rebuild", after);
  EXPECT_EQ(1, Maps(after)) << after;
  EXPECT_TRUE(Has(after, "(" + wwid + ")")) << after;
  int total = 0;
  EXPECT_EQ(2, rig.ActivePaths(&total)) << after;
  EXPECT_EQ(2, total) << after;
  if (HasFailure()) Say("gateways", rig.Cluster().Describe());
}

}  // namespace
}  // namespace wze2e
