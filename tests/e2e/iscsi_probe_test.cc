// A real initiator (the libiscsi probe) against LUNs that the real drivers
// put into a real tgtd.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/log/LogWriter.h"
#include "tests/e2e/driver_harness.h"
#include "tests/support/hostlib/memory_log_writer.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"

namespace wze2e {
namespace {

const std::string kTarget = "iqn.2024-01.com.example:probe";
const std::string kHostA = "iqn.2024-01.com.example:host-a";
const std::string kHostB = "iqn.2024-01.com.example:host-b";
const std::string kPattern = "WzScsiPattern-";
constexpr long long k64MiB = 64ll << 20;

std::string PatternBlock() { return wze2e::PatternBlock(kPattern); }

class IscsiProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TgtdInstalled()) GTEST_SKIP() << "tgtd is not installed";
    std::string error;
    ASSERT_TRUE(m_tgtd.Start(&error)) << error;
    g_ptrLogWriter = std::make_shared<CMemoryLogWriter>(1);
    UseDriverConfig(m_dir.Join("config.ini"), m_tgtd, m_dir.Path());
    ASSERT_TRUE(LoadDrivers().IsSuccess());
    WzScsiSrvModelTarget t(WzScsiSrvTarget(kTarget, "probe"));
    ASSERT_TRUE(m_platform->CreateTarget(t).IsSuccess());
  }
  void TearDown() override {
    UnloadDrivers();
    m_tgtd.Stop();
    WZPlatformInfo::SetConfigFile("");
    g_ptrLogWriter.reset();
  }

  CRnError LoadDrivers() {
    if (CRnError err = m_platform.Load()) return err;
    if (CRnError err = m_blkdev.Load("libWzScsiSrvBStorBlkDev.so")) return err;
    return m_devsnap.Load("libWzScsiSrvBStorDevSnap.so");
  }
  void UnloadDrivers() {
    m_devsnap.Unload();
    m_blkdev.Unload();
    m_platform.Unload();
  }
  CRnError Map(const WzScsiSrvLun& lun, const std::string& host) {
    WzScsiSrvModelLun l(lun);
    WzScsiSrvModelHost h(host, "");
    return m_platform->MapHost(l, h);
  }
  CRnError Unmap(const WzScsiSrvLun& lun, const std::string& host) {
    WzScsiSrvModelLun l(lun);
    WzScsiSrvModelHost h(host, "");
    return m_platform->UnMapHost(l, h);
  }
  // A 64 MiB block-device LUN mapped to host A.
  WzScsiSrvLun BlockLunForA(const std::string& args) {
    WzScsiSrvLun lun = MakeLun(kTarget, WzScsiServer::BSTOR_BLKDEV, -1, m_platform.Get(), m_blkdev.Get());
    CRnError err = CreateStoreLun(*m_platform.Get(), *m_blkdev.Get(), args, lun);
    EXPECT_TRUE(err.IsSuccess()) << err.AsString();
    err = Map(lun, kHostA);
    EXPECT_TRUE(err.IsSuccess()) << err.AsString();
    return lun;
  }
  CommandResult ProbeLun(const std::string& host, int32_t lun, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--lun", std::to_string(lun)});
    return Probe(m_tgtd, kTarget, host, args);
  }

  CRnTempDirForTest m_dir;
  TgtdProcess m_tgtd;
  LoadedPlatform m_platform;
  LoadedStore m_blkdev;
  LoadedStore m_devsnap;
};

TEST_F(IscsiProbeTest, OnlyAMappedHostLogsInAndItsWritesReachTheBackingFile) {
  const std::string file = MakeSparseFile(m_dir.Join("lun.img"), k64MiB);
  WzScsiSrvLun lun = BlockLunForA("-ti " + kTarget + " -path " + file + " -sp PROBE1");
  ASSERT_EQ(1, lun.lunId);

  CommandResult a = ProbeLun(kHostA, lun.lunId, {"--write-lba", "1000", "--pattern", kPattern, "--read-lba", "1000"});
  ASSERT_EQ(0, a.exitCode) << a.output;
  EXPECT_TRUE(Has(a.output, "login=ok\n")) << a.output;
  EXPECT_TRUE(Has(a.output, "inquiry=ok\n")) << a.output;
  EXPECT_TRUE(Has(a.output, "capacity_bytes=" + std::to_string(k64MiB) + "\n")) << a.output;
  EXPECT_TRUE(Has(a.output, "read_matches_pattern=1\n")) << a.output;
  EXPECT_EQ(PatternBlock(), ReadAt(file, 1000ll * 512, 512));

  CommandResult b = ProbeLun(kHostB, lun.lunId);
  EXPECT_EQ(2, b.exitCode) << b.output;
  EXPECT_TRUE(Has(b.output, "login=refused")) << b.output;

  ASSERT_TRUE(Unmap(lun, kHostA).IsSuccess());
  CommandResult again = ProbeLun(kHostA, lun.lunId);
  EXPECT_EQ(2, again.exitCode) << again.output;

  ASSERT_TRUE(DeleteStoreLun(*m_platform.Get(), *m_blkdev.Get(), lun).IsSuccess());
  WzScsiSrvModelTarget t(WzScsiSrvTarget(kTarget, "probe"));
  ASSERT_TRUE(m_platform->DeleteTarget(t).IsSuccess());
  EXPECT_EQ(0, m_tgtd.TargetCount());
  EXPECT_EQ(PatternBlock(), ReadAt(file, 1000ll * 512, 512)) << "deleting a LUN keeps its data";
}

TEST_F(IscsiProbeTest, ASessionKeepsReadingWhileTheDriversRestartAndReplay) {
  const std::string file = MakeSparseFile(m_dir.Join("lun.img"), k64MiB);
  const std::string args = "-ti " + kTarget + " -path " + file + " -sp PROBE2";
  WzScsiSrvLun lun = BlockLunForA(args);
  ASSERT_EQ(0, ProbeLun(kHostA, lun.lunId, {"--write-lba", "1000", "--pattern", kPattern}).exitCode);
  const std::string before = m_tgtd.ShowTargets();

  ChildProcess session;
  std::string error;
  ASSERT_TRUE(HoldProbeSession(session, m_tgtd.Portal(), kTarget, kHostA, 1, 1000, kPattern, &error)) << error;

  // The service stops (drivers cleaned up and unloaded) and starts again;
  // its replay passes the saved LUN number.
  UnloadDrivers();
  ASSERT_TRUE(LoadDrivers().IsSuccess());
  WzScsiSrvModelTarget t(WzScsiSrvTarget(kTarget, "probe"));
  ASSERT_TRUE(m_platform->CreateTarget(t).IsSuccess());
  WzScsiSrvLun replayed = MakeLun(kTarget, WzScsiServer::BSTOR_BLKDEV, lun.lunId, m_platform.Get(), m_blkdev.Get());
  ASSERT_TRUE(CreateStoreLun(*m_platform.Get(), *m_blkdev.Get(), args, replayed).IsSuccess());
  ASSERT_TRUE(Map(replayed, kHostA).IsSuccess());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  session.CloseInput();
  CommandResult held = session.Wait();
  EXPECT_EQ(0, held.exitCode) << held.output;
  EXPECT_TRUE(Has(held.output, "hold_failures=0\n")) << held.output;
  EXPECT_FALSE(Has(held.output, "hold_reads=0\n")) << held.output;
  // Sessions aside, tgtd's configuration is what it was.
  std::string after = m_tgtd.ShowTargets();
  EXPECT_EQ(before.substr(before.find("    LUN information:")), after.substr(after.find("    LUN information:")));
}

TEST_F(IscsiProbeTest, ClosingASnapshotLunTakesItAwayAndOpeningBringsItBackWithItsData) {
  MakeSparseFile(m_dir.Join("snap-1"), 16 << 20);
  WzScsiSrvLun lun = MakeLun(kTarget, WzScsiServer::BSTOR_DEVSNAP, -1, m_platform.Get(), m_devsnap.Get());
  ASSERT_TRUE(CreateStoreLun(*m_platform.Get(), *m_devsnap.Get(), "-ti " + kTarget + " -ssid snap-1 -sp SNAP1", lun)
                  .IsSuccess());
  ASSERT_TRUE(Map(lun, kHostA).IsSuccess());
  ASSERT_EQ(0, ProbeLun(kHostA, lun.lunId, {"--write-lba", "10", "--pattern", kPattern}).exitCode);

  {
    ScopedRequestFlag closeOnly("CloseOnly");
    CRnError err = DeleteStoreLun(*m_platform.Get(), *m_devsnap.Get(), lun);
    ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  }
  ASSERT_NE(nullptr, lun.bstoreCtx);
  EXPECT_FALSE(Has(m_tgtd.ShowTargets(), "LUN: 1\n"));
  CommandResult closed = ProbeLun(kHostA, lun.lunId, {"--read-lba", "10"});
  EXPECT_NE(0, closed.exitCode) << closed.output;
  EXPECT_FALSE(Has(closed.output, "read=ok")) << closed.output;

  {
    ScopedRequestFlag openOnly("OpenOnly");
    CRnError err = CreateStoreLun(*m_platform.Get(), *m_devsnap.Get(), "-ti " + kTarget + " -li 1", lun);
    ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  }
  CommandResult opened = ProbeLun(kHostA, lun.lunId, {"--read-lba", "10", "--pattern", kPattern});
  ASSERT_EQ(0, opened.exitCode) << opened.output;
  EXPECT_TRUE(Has(opened.output, "read_matches_pattern=1\n")) << opened.output;
}

}  // namespace
}  // namespace wze2e
