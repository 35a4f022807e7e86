// The platform driver against a real tgtd, loaded and driven as the service
// drives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "apps/wzscsictl/wwid.h"
#include "drivers/unit_serial.h"
#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/log/LogWriter.h"
#include "tests/e2e/driver_harness.h"
#include "tests/support/hostlib/memory_log_writer.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"

namespace wze2e {
namespace {

const std::string kT1 = "iqn.2024-01.com.example:t1";
const std::string kT2 = "iqn.2024-01.com.example:t2";
const std::string kHostA = "iqn.2024-01.com.example:host-a";
const std::string kHostB = "iqn.2024-01.com.example:host-b";

bool Has(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

class TgtPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TgtdInstalled()) GTEST_SKIP() << "tgtd is not installed";
    std::string error;
    ASSERT_TRUE(m_tgtd.Start(&error)) << error;
    m_log = std::make_shared<CMemoryLogWriter>(1);
    g_ptrLogWriter = m_log;
    UseDriverConfig(m_dir.Join("config.ini"), m_tgtd, m_dir.Path());
    CRnError err = m_platform.Load();
    ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  }
  void TearDown() override {
    m_platform.Unload();
    m_tgtd.Stop();
    WZPlatformInfo::SetConfigFile("");
    g_ptrLogWriter.reset();
  }

  CRnError CreateTarget(const std::string& name, const WzScsiSrvChap& chap = {}) {
    WzScsiSrvModelTarget t(WzScsiSrvTarget(name, "test"));
    t.chap = chap;
    return m_platform->CreateTarget(t);
  }
  CRnError DeleteTarget(const std::string& name) {
    WzScsiSrvModelTarget t(WzScsiSrvTarget(name, "test"));
    return m_platform->DeleteTarget(t);
  }
  // A platform-only LUN on a fresh 1 MiB file.
  WzScsiSrvLun Lun(const std::string& target, int32_t number, const std::string& file) {
    WzScsiSrvLun lun = MakeLun(target, WzScsiServer::BSTOR_KERNEL, number, m_platform.Get(), nullptr);
    lun.path = MakeSparseFile(m_dir.Join(file), 1 << 20);
    return lun;
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
  CRnError RemoveOrphan(WzScsiSrvOrphan::Kind kind, const std::string& target, int32_t lun = -1,
                        const std::string& host = "") {
    WzScsiSrvOrphan orphan;
    orphan.kind = kind;
    orphan.targetId = target;
    orphan.lunId = lun;
    orphan.hostId = host;
    return m_platform->RemoveOrphan(orphan);
  }
  WzScsiSrvEngineView Owned() {
    WzScsiSrvEngineView view;
    CRnError err = m_platform->ListOwned(view);
    EXPECT_TRUE(err.IsSuccess()) << err.AsString();
    return view;
  }
  // The ACL lines of tgtd's only (or first) target.
  std::vector<std::string> Acls() {
    std::stringstream ss(m_tgtd.ShowTargets());
    std::vector<std::string> acls;
    std::string line;
    bool inAcls = false;
    while (std::getline(ss, line)) {
      if (line == "    ACL information:") {
        inAcls = true;
      } else if (inAcls && line.compare(0, 8, "        ") == 0) {
        acls.push_back(line.substr(8));
      } else {
        inAcls = false;
      }
    }
    return acls;
  }

  static WzScsiSrvChap Chap(const std::string& user, const std::string& secret, const std::string& mutualUser = "",
                            const std::string& mutualSecret = "") {
    return WzScsiSrvChap{true, user, secret, mutualUser, mutualSecret};
  }
  // before: what the model held, as the service passes it.
  CRnError SetAuth(const std::string& name, const WzScsiSrvChap& chap, const WzScsiSrvChap& before = {}) {
    WzScsiSrvModelTarget t(WzScsiSrvTarget(name, "test"));
    t.chap = before;
    return m_platform->SetTargetAuth(t, chap);
  }
  // The probe reading block 0 of LUN 1 of target as host A, with the
  // credentials given ("" user: none).
  CommandResult Login(const std::string& target, const std::string& user = "", const std::string& secret = "",
                      const std::string& mutualUser = "", const std::string& mutualSecret = "") {
    return ProbeUrl(ChapUrl(m_tgtd.Portal(), target, 1, user, secret, mutualUser, mutualSecret), kHostA,
                    {"--read-lba", "0"});
  }
  // tgtd's listing of a target binding these accounts, in this order.
  static std::string AccountBlock(const std::vector<std::string>& names) {
    std::string block = "    Account information:\n";
    for (const std::string& n : names) block += "        " + n + "\n";
    return block + "    ACL information:\n";
  }
  std::string AccountList() { return m_tgtd.Tgtadm({"--mode", "account", "--op", "show"}).output; }
  // Target name with LUN 1 mapped to host A.
  WzScsiSrvLun ServedTarget(const std::string& name, const std::string& file) {
    EXPECT_TRUE(CreateTarget(name).IsSuccess());
    WzScsiSrvLun lun = Lun(name, -1, file);
    EXPECT_TRUE(m_platform->CreateLun(&lun).IsSuccess());
    EXPECT_TRUE(Map(lun, kHostA).IsSuccess());
    return lun;
  }

  CRnTempDirForTest m_dir;
  TgtdProcess m_tgtd;
  std::shared_ptr<CMemoryLogWriter> m_log;
  LoadedPlatform m_platform;
};

// The driver's hold account, bound first to every target with CHAP on.
const std::string kHold = "wzscsi.hold";
const std::string kSecret = "Sesame-0pen-12";
const std::string kSecret2 = "An0ther-Secret";
const std::string kMutual = "Target-Secret9";

TEST_F(TgtPlatformTest, TargetsTakeTheLowestFreeTidAndAreAdoptedByName) {
  ASSERT_TRUE(CreateTarget(kT1).IsSuccess());
  ASSERT_TRUE(CreateTarget(kT2).IsSuccess());
  std::string show = m_tgtd.ShowTargets();
  EXPECT_TRUE(Has(show, "Target 1: " + kT1)) << show;
  EXPECT_TRUE(Has(show, "Target 2: " + kT2)) << show;

  // A replay of the same target changes nothing in tgtd.
  ASSERT_TRUE(CreateTarget(kT1).IsSuccess());
  EXPECT_EQ(2, m_tgtd.TargetCount());
  EXPECT_TRUE(m_log->Contains("Adopting tgtd target " + kT1));

  ASSERT_TRUE(DeleteTarget(kT1).IsSuccess());
  EXPECT_FALSE(Has(m_tgtd.ShowTargets(), kT1));
  ASSERT_TRUE(CreateTarget("iqn.2024-01.com.example:t3").IsSuccess());
  EXPECT_TRUE(Has(m_tgtd.ShowTargets(), "Target 1: iqn.2024-01.com.example:t3"));

  // Deleting what tgtd does not hold is no error: the outcome is the same.
  ASSERT_TRUE(DeleteTarget(kT1).IsSuccess());
}

TEST_F(TgtPlatformTest, TargetsMadeByOthersAreAdoptedAndTheirTidsAvoided) {
  ASSERT_EQ(0, m_tgtd.Tgtadm({"--op", "new", "--mode", "target", "--tid", "1", "-T", kT1}).exitCode);
  // A driver that started before the target appeared learns of it on refusal.
  ASSERT_TRUE(CreateTarget(kT2).IsSuccess());
  EXPECT_TRUE(Has(m_tgtd.ShowTargets(), "Target 2: " + kT2)) << m_tgtd.ShowTargets();
  ASSERT_TRUE(CreateTarget(kT1).IsSuccess());
  EXPECT_EQ(2, m_tgtd.TargetCount());
}

TEST_F(TgtPlatformTest, NewLunsTakeTheLowestFreeNumberAndReplayedOnesTheirOwn) {
  ASSERT_TRUE(CreateTarget(kT1).IsSuccess());
  WzScsiSrvLun a = Lun(kT1, -1, "a.img");
  WzScsiSrvLun b = Lun(kT1, -1, "b.img");
  WzScsiSrvLun c = Lun(kT1, 7, "c.img");
  WzScsiSrvLun d = Lun(kT1, -1, "d.img");
  ASSERT_TRUE(m_platform->CreateLun(&a).IsSuccess());
  ASSERT_TRUE(m_platform->CreateLun(&b).IsSuccess());
  ASSERT_TRUE(m_platform->CreateLun(&c).IsSuccess());
  ASSERT_TRUE(m_platform->DeleteLun(&a).IsSuccess());
  ASSERT_TRUE(m_platform->CreateLun(&d).IsSuccess());
  EXPECT_EQ(1, a.lunId);
  EXPECT_EQ(2, b.lunId);
  EXPECT_EQ(7, c.lunId);
  EXPECT_EQ(1, d.lunId);
  std::string show = m_tgtd.ShowTargets();
  EXPECT_TRUE(Has(show, "LUN: 7\n")) << show;
  EXPECT_TRUE(Has(show, "Backing store path: " + c.path + "\n")) << show;
  EXPECT_FALSE(Has(show, a.path + "\n")) << show;

  for (int32_t bad : {0, 256}) {
    WzScsiSrvLun lun = Lun(kT1, bad, "bad.img");
    CRnError err = m_platform->CreateLun(&lun);
    ASSERT_TRUE(err.IsError());
    EXPECT_TRUE(Has(err.AsString(), "outside 1 to 255")) << err.AsString();
  }
  WzScsiSrvLun orphan = Lun("iqn.2024-01.com.example:none", -1, "o.img");
  CRnError err = m_platform->CreateLun(&orphan);
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(Has(err.AsString(), "does not exist in tgtd")) << err.AsString();
  EXPECT_EQ(-1, orphan.lunId);
}

TEST_F(TgtPlatformTest, SameNumberAndFileIsAdoptedAnotherFileIsAConflict) {
  ASSERT_TRUE(CreateTarget(kT1).IsSuccess());
  WzScsiSrvLun mine = Lun(kT1, 5, "mine.img");
  std::string theirs = MakeSparseFile(m_dir.Join("theirs.img"), 1 << 20);
  ASSERT_EQ(0,
            m_tgtd.Tgtadm({"--op", "new", "--mode", "logicalunit", "--tid", "1", "--lun", "5", "-b", theirs}).exitCode);

  // The driver's picture predates that unit: tgtd's refusal makes it look again.
  CRnError err = m_platform->CreateLun(&mine);
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(Has(err.AsString(), "LUN number conflict")) << err.AsString();
  EXPECT_TRUE(Has(err.AsString(), theirs)) << err.AsString();

  // Deleting this LUN must not take the other file's unit away.
  err = m_platform->DeleteLun(&mine);
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(Has(err.AsString(), "left alone")) << err.AsString();
  EXPECT_TRUE(Has(m_tgtd.ShowTargets(), theirs));

  WzScsiSrvLun same = MakeLun(kT1, WzScsiServer::BSTOR_KERNEL, 5, m_platform.Get(), nullptr);
  same.path = theirs;
  ASSERT_TRUE(m_platform->CreateLun(&same).IsSuccess());
  EXPECT_TRUE(m_log->Contains("Adopting tgtd LUN 5"));
}

TEST_F(TgtPlatformTest, TgtdsOwnTextReachesTheCaller) {
  ASSERT_TRUE(CreateTarget(kT1).IsSuccess());
  WzScsiSrvLun lun = MakeLun(kT1, WzScsiServer::BSTOR_KERNEL, -1, m_platform.Get(), nullptr);
  lun.path = m_dir.Join("no-such-file.img");
  CRnError err = m_platform->CreateLun(&lun);
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(Has(err.AsString(), "invalid request")) << err.AsString();
  EXPECT_TRUE(Has(err.AsString(), lun.path)) << err.AsString();

  // tgtd would open a relative path in its own directory: refused before it sees it.
  MakeSparseFile(m_dir.Join("rel.img"), 1 << 20);
  lun.path = "rel.img";
  err = m_platform->CreateLun(&lun);
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(Has(err.AsString(), "the backing path \"rel.img\" is not absolute")) << err.AsString();
  EXPECT_FALSE(Has(m_tgtd.ShowTargets(), "rel.img"));
}

TEST_F(TgtPlatformTest, AHostIsBoundWhileAnyOfItsLunsOnTheTargetIsMapped) {
  ASSERT_TRUE(CreateTarget(kT1).IsSuccess());
  WzScsiSrvLun one = Lun(kT1, -1, "1.img");
  WzScsiSrvLun two = Lun(kT1, -1, "2.img");
  ASSERT_TRUE(m_platform->CreateLun(&one).IsSuccess());
  ASSERT_TRUE(m_platform->CreateLun(&two).IsSuccess());
  EXPECT_TRUE(Acls().empty()) << "a new target lets nobody in";

  ASSERT_TRUE(Map(one, kHostA).IsSuccess());
  ASSERT_TRUE(Map(two, kHostA).IsSuccess());
  ASSERT_TRUE(Map(two, kHostB).IsSuccess());
  EXPECT_EQ((std::vector<std::string>{kHostA, kHostB}), Acls());

  ASSERT_TRUE(Unmap(one, kHostA).IsSuccess());
  EXPECT_EQ((std::vector<std::string>{kHostA, kHostB}), Acls()) << "A still has LUN 2";
  ASSERT_TRUE(Unmap(two, kHostB).IsSuccess());
  EXPECT_EQ((std::vector<std::string>{kHostA}), Acls());
  ASSERT_TRUE(Unmap(two, kHostA).IsSuccess());
  EXPECT_TRUE(Acls().empty());
  EXPECT_FALSE(Has(m_tgtd.ShowTargets(), "ALL"));

  // An unmap whose binding is gone already (a retry) succeeds.
  ASSERT_TRUE(Unmap(two, kHostA).IsSuccess());
}

TEST_F(TgtPlatformTest, ARestartedDriverAdoptsTargetsLunsAndBindings) {
  ASSERT_TRUE(CreateTarget(kT1).IsSuccess());
  WzScsiSrvLun one = Lun(kT1, -1, "1.img");
  WzScsiSrvLun two = Lun(kT1, -1, "2.img");
  ASSERT_TRUE(m_platform->CreateLun(&one).IsSuccess());
  ASSERT_TRUE(m_platform->CreateLun(&two).IsSuccess());
  ASSERT_TRUE(Map(one, kHostA).IsSuccess());
  ASSERT_TRUE(Map(two, kHostA).IsSuccess());
  const std::string before = m_tgtd.ShowTargets();

  // The service stops and starts again; tgtd keeps running. The replay
  // passes the saved numbers.
  m_platform.Unload();
  ASSERT_TRUE(m_platform.Load().IsSuccess());
  m_log->Clear();
  ASSERT_TRUE(CreateTarget(kT1).IsSuccess());
  WzScsiSrvLun one2 = MakeLun(kT1, WzScsiServer::BSTOR_KERNEL, one.lunId, m_platform.Get(), nullptr);
  one2.path = one.path;
  WzScsiSrvLun two2 = MakeLun(kT1, WzScsiServer::BSTOR_KERNEL, two.lunId, m_platform.Get(), nullptr);
  two2.path = two.path;
  ASSERT_TRUE(m_platform->CreateLun(&one2).IsSuccess());
  ASSERT_TRUE(m_platform->CreateLun(&two2).IsSuccess());
  ASSERT_TRUE(Map(one2, kHostA).IsSuccess());
  ASSERT_TRUE(Map(two2, kHostA).IsSuccess());
  EXPECT_EQ(before, m_tgtd.ShowTargets());
  EXPECT_FALSE(m_log->Contains("Created tgtd")) << "nothing was created anew";
  EXPECT_FALSE(m_log->Contains("Bound initiator"));

  // The mapping counts were rebuilt too: the first unmap keeps the binding.
  ASSERT_TRUE(Unmap(one2, kHostA).IsSuccess());
  EXPECT_EQ((std::vector<std::string>{kHostA}), Acls());
  ASSERT_TRUE(Unmap(two2, kHostA).IsSuccess());
  EXPECT_TRUE(Acls().empty());
}

TEST_F(TgtPlatformTest, ErrorsSayWhenTgtdIsGoneAndARestartedTgtdIsReadAgain) {
  ASSERT_TRUE(CreateTarget(kT1).IsSuccess());
  const uint64_t instance = m_platform->EngineInstance();
  EXPECT_NE(0u, instance);
  EXPECT_EQ(instance, m_platform->EngineInstance());
  m_tgtd.Kill();
  EXPECT_EQ(0u, m_platform->EngineInstance());
  CRnError err = CreateTarget(kT2);
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(Has(err.AsString(), "tgtd is not running")) << err.AsString();
  EXPECT_TRUE(Has(err.AsString(), m_tgtd.ControlSocket())) << err.AsString();
  WzScsiSrvLun lun = Lun(kT1, -1, "a.img");
  EXPECT_TRUE(m_platform->CreateLun(&lun).IsError());

  LoadedPlatform second;
  err = second.Load();
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(Has(err.AsString(), "tgtd is not running")) << err.AsString();

  // A new tgtd holds nothing; the driver notices and does not trust its picture.
  std::string error;
  ASSERT_TRUE(m_tgtd.Restart(&error)) << error;
  const uint64_t restarted = m_platform->EngineInstance();
  EXPECT_NE(0u, restarted);
  EXPECT_NE(instance, restarted);
  err = m_platform->CreateLun(&lun);
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(Has(err.AsString(), "does not exist in tgtd")) << err.AsString();
  ASSERT_TRUE(CreateTarget(kT1).IsSuccess());
  ASSERT_TRUE(m_platform->CreateLun(&lun).IsSuccess());
  EXPECT_EQ(1, m_tgtd.TargetCount());
}

TEST_F(TgtPlatformTest, InitiatorsReadTheServicesUnitSerialAlsoFromAdoptedUnits) {
  ASSERT_TRUE(CreateTarget(kT1).IsSuccess());
  WzScsiSrvLun lun = Lun(kT1, -1, "a.img");
  lun.serialPrefix = "X1";
  ASSERT_TRUE(m_platform->CreateLun(&lun).IsSuccess());
  ASSERT_TRUE(Map(lun, kHostA).IsSuccess());
  CommandResult r = Probe(m_tgtd, kT1, kHostA, {"--lun", "1", "--vpd-serial"});
  ASSERT_EQ(0, r.exitCode) << r.output;
  EXPECT_TRUE(Has(r.output, "unit_serial=" + WzScsiSrvUnitSerial("X1", kT1, 1) + "\n")) << r.output;

  // A unit made before the driver set serials reports tgtd's own until a
  // replay adopts it.
  const std::string legacy = MakeSparseFile(m_dir.Join("legacy.img"), 1 << 20);
  ASSERT_EQ(0,
            m_tgtd.Tgtadm({"--op", "new", "--mode", "logicalunit", "--tid", "1", "--lun", "2", "-b", legacy}).exitCode);
  WzScsiSrvLun adopted = MakeLun(kT1, WzScsiServer::BSTOR_KERNEL, 2, m_platform.Get(), nullptr);
  adopted.path = legacy;
  adopted.serialPrefix = "X1";
  ASSERT_TRUE(m_platform->CreateLun(&adopted).IsSuccess());
  EXPECT_EQ(WzScsiSrvUnitSerial("X1", kT1, 2), Owned().targets[kT1].luns[2].serial);
  r = Probe(m_tgtd, kT1, kHostA, {"--lun", "2", "--vpd-serial"});
  EXPECT_TRUE(Has(r.output, "unit_serial=" + WzScsiSrvUnitSerial("X1", kT1, 2) + "\n")) << r.output;
}

// Lines "designator=..." of the probe's VPD page 0x83 listing.
std::vector<std::string> Designators(const std::string& output) {
  std::vector<std::string> out;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 11, "designator=") == 0) out.push_back(line.substr(11));
  return out;
}

// The designators initiators group paths by come from the unit serial, so
// the LUN is one disk whatever tid tgtd gave its target; only tgtd's NAA
// Locally Assigned one follows the tid, and Linux never picks it over the
// NAA type 6 one. An identity changed behind the driver's back shows in the
// engine's view and the adoption the reconcile asks for sets it again.
TEST_F(TgtPlatformTest, EveryGroupingDesignatorComesFromTheSerialWhateverTheTid) {
  const std::string serial = WzScsiSrvUnitSerial("X1", kT1, 1);
  auto served = [&](int32_t expectedTid) {
    EXPECT_TRUE(CreateTarget(kT1).IsSuccess());
    WzScsiSrvLun lun = Lun(kT1, 1, "a.img");
    lun.serialPrefix = "X1";
    EXPECT_TRUE(m_platform->CreateLun(&lun).IsSuccess());
    EXPECT_TRUE(Map(lun, kHostA).IsSuccess());
    EXPECT_TRUE(Has(m_tgtd.ShowTargets(), "Target " + std::to_string(expectedTid) + ": " + kT1 + "\n"));
    CommandResult r = Probe(m_tgtd, kT1, kHostA, {"--lun", "1", "--vpd-id"});
    EXPECT_EQ(0, r.exitCode) << r.output;
    return Designators(r.output);
  };
  const std::vector<std::string> first = served(1);
  ASSERT_EQ(3u, first.size()) << ::testing::PrintToString(first);
  EXPECT_EQ("t10 " + serial, first[0]);
  EXPECT_EQ("naa " + WzCtl::TgtWwid(serial).substr(1), first[2]);

  // Re-created behind another target of tgtd: another tid.
  ASSERT_TRUE(DeleteTarget(kT1).IsSuccess());
  ASSERT_EQ(0, m_tgtd.Tgtadm({"--op", "new", "--mode", "target", "--tid", "1", "-T", kT2}).exitCode);
  const std::vector<std::string> second = served(2);
  ASSERT_EQ(3u, second.size()) << ::testing::PrintToString(second);
  EXPECT_EQ(first[0], second[0]);
  EXPECT_EQ(first[2], second[2]);
  EXPECT_NE(first[1], second[1]) << "tgtd's NAA type 3 designator is made of the tid";
  EXPECT_EQ('3', first[1][4]) << first[1];

  EXPECT_EQ(serial, Owned().targets[kT1].luns[1].identity);
  ASSERT_EQ(0, m_tgtd
                   .Tgtadm({"--op", "update", "--mode", "logicalunit", "--tid", "2", "--lun", "1", "--params",
                            "scsi_id=IET     00020001"})
                   .exitCode);
  EXPECT_EQ("IET     00020001", Owned().targets[kT1].luns[1].identity);
  WzScsiSrvLun again = Lun(kT1, 1, "a.img");
  again.serialPrefix = "X1";
  ASSERT_TRUE(m_platform->CreateLun(&again).IsSuccess());
  EXPECT_EQ(serial, Owned().targets[kT1].luns[1].identity);
  const std::vector<std::string> repaired = Designators(Probe(m_tgtd, kT1, kHostA, {"--lun", "1", "--vpd-id"}).output);
  EXPECT_EQ((std::vector<std::string>{first[0], second[1], first[2]}), repaired);
}

// Reconcile after a crash: the driver lists what tgtd holds of the service's
// targets and removes what the configuration lacks, and never a target of
// another tool, even one with orphan-looking contents.
TEST_F(TgtPlatformTest, ReconcileListsAndRemovesOnlyTheServicesTargets) {
  ASSERT_TRUE(CreateTarget(kT1).IsSuccess());
  WzScsiSrvLun one = Lun(kT1, -1, "1.img");
  WzScsiSrvLun two = Lun(kT1, -1, "2.img");
  one.serialPrefix = "P";
  ASSERT_TRUE(m_platform->CreateLun(&one).IsSuccess());
  ASSERT_TRUE(m_platform->CreateLun(&two).IsSuccess());
  ASSERT_TRUE(Map(one, kHostA).IsSuccess());
  ASSERT_TRUE(Map(two, kHostA).IsSuccess());
  // An address rule nobody configured opens the service's target to all.
  ASSERT_EQ(0, m_tgtd.Tgtadm({"--op", "bind", "--mode", "target", "--tid", "1", "-I", "ALL"}).exitCode);
  const std::string theirs = MakeSparseFile(m_dir.Join("theirs.img"), 1 << 20);
  ASSERT_EQ(0, m_tgtd.Tgtadm({"--op", "new", "--mode", "target", "--tid", "2", "-T", kT2}).exitCode);
  ASSERT_EQ(0,
            m_tgtd.Tgtadm({"--op", "new", "--mode", "logicalunit", "--tid", "2", "--lun", "1", "-b", theirs}).exitCode);
  ASSERT_EQ(0, m_tgtd.Tgtadm({"--op", "bind", "--mode", "target", "--tid", "2", "--initiator-name", kHostB}).exitCode);

  WzScsiSrvEngineView view = Owned();
  EXPECT_FALSE(view.perLunAccess);
  ASSERT_EQ(1u, view.targets.size()) << "the hand-made target is not listed";
  const WzScsiSrvEngineTarget& t1 = view.targets[kT1];
  EXPECT_EQ(kT1, t1.targetId);
  ASSERT_EQ(2u, t1.luns.size()) << "LUN 0 is tgtd's controller, not a LUN of the service";
  EXPECT_EQ(one.path, t1.luns.at(1).path);
  EXPECT_EQ(WzScsiSrvUnitSerial("P", kT1, 1), t1.luns.at(1).serial);
  EXPECT_EQ(two.path, t1.luns.at(2).path);
  EXPECT_EQ((std::map<std::string, std::set<int32_t>>{{"ALL", {}}, {kHostA, {}}}), t1.hosts);

  // Each removal twice: what is gone already is no error.
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(RemoveOrphan(WzScsiSrvOrphan::LUN, kT1, 2).IsSuccess());
    ASSERT_TRUE(RemoveOrphan(WzScsiSrvOrphan::HOST, kT1, -1, "ALL").IsSuccess());
  }
  view = Owned();
  EXPECT_EQ(1u, view.targets[kT1].luns.size());
  EXPECT_EQ((std::map<std::string, std::set<int32_t>>{{kHostA, {}}}), view.targets[kT1].hosts);
  // The driver's mapping count lost LUN 2 with it: unmapping LUN 1 unbinds.
  ASSERT_TRUE(Unmap(one, kHostA).IsSuccess());
  EXPECT_TRUE(Owned().targets[kT1].hosts.empty());
  // Its number is free again.
  WzScsiSrvLun next = Lun(kT1, -1, "3.img");
  ASSERT_TRUE(m_platform->CreateLun(&next).IsSuccess());
  EXPECT_EQ(2, next.lunId);
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(RemoveOrphan(WzScsiSrvOrphan::TARGET, kT1).IsSuccess());
  }
  EXPECT_TRUE(Owned().targets.empty());

  // The hand-made target survives every removal aimed at it...
  EXPECT_TRUE(RemoveOrphan(WzScsiSrvOrphan::TARGET, kT2).IsError());
  EXPECT_TRUE(RemoveOrphan(WzScsiSrvOrphan::LUN, kT2, 1).IsError());
  EXPECT_TRUE(RemoveOrphan(WzScsiSrvOrphan::HOST, kT2, -1, kHostB).IsError());
  const std::string show = m_tgtd.ShowTargets();
  EXPECT_TRUE(Has(show, "Target 2: " + kT2 + "\n")) << show;
  EXPECT_TRUE(Has(show, theirs + "\n")) << show;
  EXPECT_TRUE(Has(show, "        " + kHostB + "\n")) << show;
  // ... until the service is configured with it: then it is adopted, marked
  // and listed.
  ASSERT_TRUE(CreateTarget(kT2).IsSuccess());
  view = Owned();
  ASSERT_EQ(1u, view.targets.size());
  EXPECT_EQ(theirs, view.targets[kT2].luns[1].path);
  EXPECT_EQ(1u, view.targets[kT2].hosts.count(kHostB));
}

// A snapshot LUN is closed (out of tgtd, its number kept for it) and then
// deleted for good: the number is free again, round after round.
TEST_F(TgtPlatformTest, DeletingAClosedLunForGoodFreesItsNumber) {
  ASSERT_TRUE(CreateTarget(kT1).IsSuccess());
  for (int round = 0; round < 3; ++round) {
    WzScsiSrvLun snap = Lun(kT1, -1, "snap.img");
    ASSERT_TRUE(m_platform->CreateLun(&snap).IsSuccess());
    EXPECT_EQ(1, snap.lunId) << "round " << round;
    {
      ScopedRequestFlag closeOnly("CloseOnly");
      ASSERT_TRUE(m_platform->DeleteLun(&snap).IsSuccess());
    }
    WzScsiSrvLun other = Lun(kT1, -1, "other.img");
    ASSERT_TRUE(m_platform->CreateLun(&other).IsSuccess());
    EXPECT_EQ(2, other.lunId) << "the closed LUN keeps its number";
    ASSERT_TRUE(m_platform->DeleteLun(&other).IsSuccess());
    ASSERT_TRUE(m_platform->DeleteLun(&snap).IsSuccess());
  }
}

TEST_F(TgtPlatformTest, InitAddsAMissingPortalAndRefusesOneItCannotHave) {
  m_platform.Unload();
  std::string config = m_dir.Join("config.ini");
  TgtdProcess spare;  // only for a second free port
  std::string error;
  ASSERT_TRUE(spare.Start(&error)) << error;
  const std::string otherPortal = spare.Portal();
  ASSERT_TRUE(spare.Stop());
  // Settings stored under the section the driver had before it was renamed
  // still count.
  CRnTempDirForTest::WriteText(
      config, "[WzScsiSrvLio]\nTgtdControlSocket=" + m_tgtd.ControlSocket() + "\nTgtdPortal=" + otherPortal + "\n");
  ASSERT_TRUE(m_platform.Load().IsSuccess());
  std::vector<std::string> portals = m_tgtd.Portals();
  std::sort(portals.begin(), portals.end());
  std::vector<std::string> expected = {m_tgtd.Portal(), otherPortal};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, portals);

  m_platform.Unload();
  // The driver's own section wins over the old one.
  CRnTempDirForTest::WriteText(config,
                               "[WzScsiSrvTgt]\nTgtdControlSocket=" + m_tgtd.ControlSocket() +
                                   "\nTgtdPortal=192.0.2.1:3260\n[WzScsiSrvLio]\nTgtdPortal=" + m_tgtd.Portal() + "\n");
  CRnError err = m_platform.Load();
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(Has(err.AsString(), "does not listen on the configured portal 192.0.2.1:3260")) << err.AsString();
}

// The credentials of a mapped initiator decide, once CHAP is on: none and a
// wrong secret are refused, the right ones read; with mutual CHAP the
// initiator refuses a target that answers with the wrong secret; a new secret
// takes the old one's place at once; off lets the mapped initiator in
// without credentials and leaves no account in tgtd. No secret reaches a log
// line, however verbose.
TEST_F(TgtPlatformTest, ChapDecidesWhoLogsInAndOffLetsTheMappedInitiatorInAgain) {
  m_log->SetLevel(6);
  ServedTarget(kT1, "1.img");
  ASSERT_EQ(0, Login(kT1).exitCode) << "no CHAP yet";

  const WzScsiSrvChap oneWay = Chap("alice", kSecret);
  CRnError err = SetAuth(kT1, oneWay);
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  EXPECT_TRUE(Has(m_tgtd.ShowTargets(), AccountBlock({kHold, "alice"}))) << m_tgtd.ShowTargets();
  CommandResult none = Login(kT1);
  EXPECT_EQ(2, none.exitCode) << none.output;
  EXPECT_TRUE(Has(none.output, "Authentication failure")) << none.output;
  EXPECT_EQ(2, Login(kT1, "alice", kSecret2).exitCode) << "a wrong secret";
  EXPECT_EQ(2, Login(kT1, kHold, kSecret).exitCode) << "the hold account lets nobody in";
  CommandResult right = Login(kT1, "alice", kSecret);
  EXPECT_EQ(0, right.exitCode) << right.output;
  EXPECT_TRUE(Has(right.output, "read=ok\n")) << right.output;

  const WzScsiSrvChap mutual = Chap("alice", kSecret, "target-1", kMutual);
  ASSERT_TRUE(SetAuth(kT1, mutual, oneWay).IsSuccess());
  EXPECT_TRUE(Has(m_tgtd.ShowTargets(), AccountBlock({kHold, "alice", "target-1 (outgoing)"})));
  EXPECT_EQ(0, Login(kT1, "alice", kSecret, "target-1", kMutual).exitCode);
  CommandResult impostor = Login(kT1, "alice", kSecret, "target-1", kSecret2);
  EXPECT_EQ(2, impostor.exitCode) << "the initiator checks the target: " << impostor.output;
  EXPECT_TRUE(Has(impostor.output, "CHAP_R")) << impostor.output;

  // tgtd cannot change a secret: the account is made again behind the hold
  // account, so at no moment does the target let anyone in without CHAP.
  const WzScsiSrvChap renewed = Chap("alice", kSecret2, "target-1", kMutual);
  ASSERT_TRUE(SetAuth(kT1, renewed, mutual).IsSuccess());
  EXPECT_EQ(2, Login(kT1, "alice", kSecret, "target-1", kMutual).exitCode) << "the old secret";
  EXPECT_EQ(0, Login(kT1, "alice", kSecret2, "target-1", kMutual).exitCode);

  ASSERT_TRUE(SetAuth(kT1, WzScsiSrvChap(), renewed).IsSuccess());
  EXPECT_EQ("", AccountList()) << "no target uses them any more";
  EXPECT_EQ(0, Login(kT1).exitCode) << "mapped, CHAP off";

  for (const std::string& secret : {kSecret, kSecret2, kMutual}) {
    EXPECT_FALSE(m_log->Contains(secret)) << "a secret in the log";
  }
  EXPECT_TRUE(m_log->Contains("password=(hidden)"));
  EXPECT_TRUE(m_log->Contains("CHAP of tgtd target " + kT1 + ": on, user alice, mutual user target-1"));
}

// A restart of the service (the driver adopts what tgtd holds, the replay
// passes each target's CHAP) and a restart of tgtd (which forgets every
// account; the reconcile creates the target again) both keep CHAP. Two
// targets share one user name; its account lives until the last of them lets
// it go, and its secret is one.
TEST_F(TgtPlatformTest, ChapSurvivesRestartsOfTheServiceAndOfTgtdAndSharedAccountsLiveWhileUsed) {
  const WzScsiSrvLun lun1 = ServedTarget(kT1, "1.img");
  const WzScsiSrvLun lun2 = ServedTarget(kT2, "2.img");
  const WzScsiSrvChap chap = Chap("shared", kSecret);
  ASSERT_TRUE(SetAuth(kT1, chap).IsSuccess());
  ASSERT_TRUE(SetAuth(kT2, chap).IsSuccess());
  CRnError err = SetAuth(kT2, Chap("shared", kSecret2), chap);
  ASSERT_TRUE(err.IsError()) << "one user name, one secret";
  EXPECT_TRUE(Has(err.AsString(), "used by target " + kT1 + " with another secret")) << err.AsString();
  EXPECT_FALSE(Has(err.AsString(), kSecret2)) << err.AsString();
  EXPECT_EQ(0, Login(kT2, "shared", kSecret).exitCode) << "the refused change changed nothing";

  // An account that another tool's target binds is never made again.
  ASSERT_EQ(0, m_tgtd.Tgtadm({"--op", "new", "--mode", "target", "--tid", "9", "-T", "iqn.2024-01.com.example:theirs"})
                   .exitCode);
  ASSERT_EQ(
      0, m_tgtd.Tgtadm({"--op", "new", "--mode", "account", "--user", "bob", "--password", "their-secret"}).exitCode);
  ASSERT_EQ(0, m_tgtd.Tgtadm({"--op", "bind", "--mode", "account", "--tid", "9", "--user", "bob"}).exitCode);
  err = SetAuth(kT1, Chap("bob", kSecret), chap);
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(Has(err.AsString(), "not the service's")) << err.AsString();
  EXPECT_EQ(0, Login(kT1, "shared", kSecret).exitCode);
  ASSERT_EQ(0, m_tgtd.Tgtadm({"--op", "delete", "--mode", "target", "--tid", "9"}).exitCode);

  const std::string before = m_tgtd.ShowTargets();
  // withChap false: a replay that creates the target first and sets its
  // CHAP afterwards; the creation must not open it meanwhile.
  auto replay = [&](bool withChap) {
    for (const std::string& name : {kT1, kT2}) {
      ASSERT_TRUE(CreateTarget(name, withChap ? chap : WzScsiSrvChap()).IsSuccess()) << name;
      if (!withChap) {
        EXPECT_EQ(2, Login(name).exitCode) << name;
        ASSERT_TRUE(SetAuth(name, chap).IsSuccess()) << name;
      }
      const WzScsiSrvLun& saved = name == kT1 ? lun1 : lun2;
      WzScsiSrvLun lun = MakeLun(name, WzScsiServer::BSTOR_KERNEL, saved.lunId, m_platform.Get(), nullptr);
      lun.path = saved.path;
      ASSERT_TRUE(m_platform->CreateLun(&lun).IsSuccess()) << name;
      ASSERT_TRUE(Map(lun, kHostA).IsSuccess()) << name;
    }
  };
  m_platform.Unload();
  ASSERT_TRUE(m_platform.Load().IsSuccess());
  m_log->Clear();
  replay(false);
  EXPECT_EQ(before, m_tgtd.ShowTargets()) << "the same targets, LUNs, bindings and accounts";
  EXPECT_EQ(1u, m_log->Count("Made tgtd account shared again")) << "tgtd shows no secret: made again once";
  for (const std::string& name : {kT1, kT2}) {
    EXPECT_EQ(2, Login(name).exitCode) << name;
    EXPECT_EQ(2, Login(name, "shared", kSecret2).exitCode) << name;
    EXPECT_EQ(0, Login(name, "shared", kSecret).exitCode) << name;
  }

  std::string error;
  ASSERT_TRUE(m_tgtd.Restart(&error)) << error;
  replay(true);
  EXPECT_TRUE(Has(m_tgtd.ShowTargets(), AccountBlock({kHold, "shared"})));
  EXPECT_EQ(2, Login(kT1).exitCode);
  EXPECT_EQ(0, Login(kT1, "shared", kSecret).exitCode);

  ASSERT_TRUE(SetAuth(kT1, WzScsiSrvChap(), chap).IsSuccess());
  EXPECT_EQ(0, Login(kT1).exitCode);
  EXPECT_EQ(2, Login(kT2).exitCode) << "the other target keeps the shared account";
  EXPECT_EQ(0, Login(kT2, "shared", kSecret).exitCode);
  ASSERT_TRUE(Unmap(lun2, kHostA).IsSuccess());
  WzScsiSrvLun gone = lun2;
  ASSERT_TRUE(m_platform->DeleteLun(&gone).IsSuccess());
  WzScsiSrvModelTarget t2(WzScsiSrvTarget(kT2, "test"));
  t2.chap = chap;
  ASSERT_TRUE(m_platform->DeleteTarget(t2).IsSuccess());
  EXPECT_EQ("", AccountList()) << "the last target that used them is gone";
}

}  // namespace
}  // namespace wze2e
