// wzscsid on the Linux kernel target, in a QEMU guest, configured through
// wzscsictl from the host and seen by a real initiator: data, access per
// initiator and per LUN, unmapping, the unit serial, restarts, snapshot close
// and open, CHAP, persistent reservations, a LUN on a Ceph RBD image.
#include <gtest/gtest.h>
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "drivers/unit_serial.h"
#ifdef WZ_LIO_RBD_E2E
#include "tests/e2e/ceph_fixture.h"
#endif
#include "tests/e2e/driver_harness.h"
#include "tests/e2e/lio_e2e_support.h"

namespace wze2e {
namespace {

// REGISTER AND IGNORE EXISTING KEY with APTPL set, as initiator on LUN 0;
// "" when the target took it, else why not.
std::string RegisterPersistingKey(const std::string& portal, const char* target, const char* initiator, uint64_t key) {
  iscsi_context* ctx = iscsi_create_context(initiator);
  if (ctx == nullptr) return "no libiscsi context";
  iscsi_set_targetname(ctx, target);
  iscsi_set_session_type(ctx, ISCSI_SESSION_NORMAL);
  iscsi_set_header_digest(ctx, ISCSI_HEADER_DIGEST_NONE);
  std::string why = "login: ";
  if (iscsi_full_connect_sync(ctx, portal.c_str(), 0) != 0) {
    why += iscsi_get_error(ctx);
  } else {
    why.clear();
    scsi_persistent_reserve_out_basic out{};
    out.service_action_reservation_key = key;
    out.aptpl = 1;
    scsi_task* task = iscsi_persistent_reserve_out_sync(
        ctx, 0, SCSI_PERSISTENT_RESERVE_REGISTER_AND_IGNORE_EXISTING_KEY, SCSI_PERSISTENT_RESERVE_SCOPE_LU, 0, &out);
    if (task == nullptr || task->status != SCSI_STATUS_GOOD) why = std::string("refused: ") + iscsi_get_error(ctx);
    if (task != nullptr) scsi_free_scsi_task(task);
    iscsi_logout_sync(ctx);
  }
  iscsi_destroy_context(ctx);
  return why;
}

TEST_F(LioE2eTest, TheMappedHostReadsAndWritesItsLunAndUnmappingRefusesItsNextLogin) {
  EXPECT_TRUE(Has(DaemonLog(), "SCSI target engine: lio (libWzScsiSrvLio.so), chosen by sScsiEngine=auto"))
      << "the kernel target is there, so the automatic choice takes it";
  const std::string file = NewFile("lun.img", k64MiB);
  CtlOk({"target", "create", kTarget, "--desc", "kernel target"});
  EXPECT_EQ("LUN 0 created on target " + std::string(kTarget) + " (serial prefix E2E)\n",
            CtlOk({"lun", "create", kTarget, "--type", "blkdev", "--path", file, "--serial", "E2E"}));
  CtlOk({"host", "map", kTarget, "0", kHostA});

  CommandResult a = ProbeAs(
      kHostA, 0, {"--report-luns", "--vpd-serial", "--write-lba", "1000", "--pattern", kPattern, "--read-lba", "1000"});
  ASSERT_EQ(0, a.exitCode) << a.output;
  EXPECT_TRUE(Has(a.output, "report_luns=0\n")) << a.output;
  EXPECT_TRUE(Has(a.output, "device_type=0\nperipheral_qualifier=0\n")) << a.output;
  EXPECT_TRUE(Has(a.output, "unit_serial=" + WzScsiSrvUnitSerial("E2E", kTarget, 0) + "\n")) << a.output;
  EXPECT_TRUE(Has(a.output, "capacity_bytes=" + std::to_string(k64MiB) + "\n")) << a.output;
  EXPECT_TRUE(Has(a.output, "read_matches_pattern=1\n")) << a.output;
  EXPECT_EQ(PatternBlock(kPattern), ReadAt(file, 1000ll * 512, 512)) << "the write reached the backing file";

  CommandResult b = ProbeAs(kHostB, 0);
  EXPECT_EQ(2, b.exitCode) << b.output;
  EXPECT_TRUE(Has(b.output, "login=refused")) << b.output;

  ChildProcess session;
  ASSERT_NO_FATAL_FAILURE(HoldSession(session, 0, 1000));
  EXPECT_EQ("ok", RequestRead(session));
  CtlOk({"host", "unmap", kTarget, "0", kHostA});
  EXPECT_EQ("failed", RequestRead(session)) << "the host's last mapping went with its session";
  CommandResult again = ProbeAs(kHostA, 0);
  EXPECT_EQ(2, again.exitCode) << "no mapping left, no ACL, no login: " << again.output;
  EXPECT_EQ("", KernelLs("iscsi/" + std::string(kTarget) + "/tpgt_1/acls"));

  CtlOk({"lun", "delete", kTarget, "0"});
  CtlOk({"target", "delete", kTarget});
  EXPECT_EQ("", KernelObjects()) << "nothing of the service is left in the kernel target";
  EXPECT_TRUE(SavedFiles().empty());
  EXPECT_EQ(PatternBlock(kPattern), ReadAt(file, 1000ll * 512, 512)) << "deleting a LUN keeps its data";
}

// The access the tgt engine cannot give: two hosts on one target, each with
// its own LUN; one of host A's LUNs sits on a block device (the guest's
// virtio disk, an iblock backstore).
TEST_F(LioE2eTest, TwoHostsMappedToDifferentLunsOfOneTargetEachSeeOnlyTheirOwn) {
  const std::string fileA = NewFile("a.img", k64MiB);
  const std::string fileB = NewFile("b.img", k64MiB);
  CtlOk({"target", "create", kTarget});
  CtlOk({"lun", "create", kTarget, "--type", "blkdev", "--path", fileA, "--serial", "A"});
  CtlOk({"lun", "create", kTarget, "--type", "blkdev", "--path", fileB, "--serial", "B"});
  EXPECT_EQ("LUN 2 created on target " + std::string(kTarget) + " (serial prefix DEV)\n",
            CtlOk({"lun", "create", kTarget, "--type", "blkdev", "--path", "/dev/vda", "--serial", "DEV"}));
  CtlOk({"host", "map", kTarget, "0", kHostA});
  CtlOk({"host", "map", kTarget, "2", kHostA});
  CtlOk({"host", "map", kTarget, "1", kHostB});
  EXPECT_EQ("fileio_7700 iblock_7700", KernelLs("core | grep _7700"));

  CommandResult a = ProbeAs(kHostA, 0, {"--report-luns", "--write-lba", "7", "--pattern", "host-a-"});
  ASSERT_EQ(0, a.exitCode) << a.output;
  EXPECT_TRUE(Has(a.output, "report_luns=0 2\n")) << a.output;
  CommandResult b = ProbeAs(kHostB, 1, {"--report-luns", "--write-lba", "7", "--pattern", "host-b-"});
  ASSERT_EQ(0, b.exitCode) << b.output;
  EXPECT_TRUE(Has(b.output, "report_luns=1\n")) << b.output;
  EXPECT_EQ(PatternBlock("host-a-"), ReadAt(fileA, 7 * 512, 512));
  EXPECT_EQ(PatternBlock("host-b-"), ReadAt(fileB, 7 * 512, 512));

  CommandResult aOnB = ProbeAs(kHostA, 1, {"--read-lba", "7"});
  EXPECT_EQ(3, aOnB.exitCode) << aOnB.output;
  EXPECT_TRUE(Has(aOnB.output, "lun=absent")) << aOnB.output;
  for (int lun : {0, 2}) {
    CommandResult bOnA = ProbeAs(kHostB, lun, {"--read-lba", "7"});
    EXPECT_EQ(3, bOnA.exitCode) << bOnA.output;
    EXPECT_FALSE(Has(bOnA.output, "read=ok")) << bOnA.output;
  }

  CommandResult device = ProbeAs(kHostA, 2, {"--vpd-serial", "--write-lba", "9", "--pattern", "vda-"});
  ASSERT_EQ(0, device.exitCode) << device.output;
  EXPECT_TRUE(Has(device.output, "unit_serial=" + WzScsiSrvUnitSerial("DEV", kTarget, 2) + "\n")) << device.output;
  EXPECT_EQ(PatternBlock("vda-"), ReadAt(Vm().DiskImage(), 9 * 512, 512)) << "through the guest's block device";
}

TEST_F(LioE2eTest, ASessionKeepsReadingWhileWzscsidRestartsInTheGuestAndNothingChanges) {
  CtlOk({"target", "create", kTarget});
  CtlOk({"lun", "create", kTarget, "--type", "blkdev", "--path", NewFile("lun.img", k64MiB), "--serial", "R"});
  CtlOk({"host", "map", kTarget, "0", kHostA});
  ASSERT_EQ(0, ProbeAs(kHostA, 0, {"--write-lba", "1000", "--pattern", kPattern}).exitCode);
  const std::string listing = CtlOk({"lun", "list"});
  const std::vector<std::string> saved = SavedFiles();
  const std::string objects = KernelObjects();

  ChildProcess session;
  ASSERT_NO_FATAL_FAILURE(HoldSession(session, 0, 1000));
  EXPECT_EQ("ok", RequestRead(session));
  ASSERT_NO_FATAL_FAILURE(StopDaemon());
  EXPECT_EQ("ok", RequestRead(session)) << "the kernel serves on while wzscsid is down";
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  EXPECT_EQ("ok", RequestRead(session)) << "the replay adopted the LUN under the open session";
  session.CloseInput();
  CommandResult held = session.Wait();
  EXPECT_EQ(0, held.exitCode) << held.output;
  EXPECT_TRUE(Has(held.output, "hold_failures=0\n")) << held.output;

  EXPECT_EQ(listing, CtlOk({"lun", "list"})) << "same LUN, host and creation time";
  EXPECT_EQ(saved, SavedFiles());
  EXPECT_EQ(objects, KernelObjects()) << "the replay changed nothing in the kernel target";
  EXPECT_TRUE(Has(DaemonLog(), "Adopted kernel LUN 0 of target " + std::string(kTarget))) << DaemonLog();
}

// A close needs the LUN unmapped; host A keeps its ACL through a second LUN,
// so it logs in and finds the closed LUN gone.
TEST_F(LioE2eTest, ClosingASnapshotLunTakesItFromTheInitiatorAndOpeningBringsItBackWithItsData) {
  const std::string snapshot = SnapshotDir() + "/snap-1";
  std::ofstream(snapshot, std::ios::trunc).close();
  ASSERT_EQ(0, ::truncate(snapshot.c_str(), 16 << 20));
  CtlOk({"target", "create", kTarget});
  CtlOk({"lun", "create", kTarget, "--type", "devsnap", "--ssid", "snap-1", "--serial", "SNAP"});
  CtlOk({"lun", "create", kTarget, "--type", "blkdev", "--path", NewFile("keeper.img", 1 << 20), "--serial", "KEEP"});
  CtlOk({"host", "map", kTarget, "0", kHostA});
  CtlOk({"host", "map", kTarget, "1", kHostA});
  ASSERT_EQ(0, ProbeAs(kHostA, 0, {"--write-lba", "10", "--pattern", kPattern}).exitCode);

  CtlOk({"host", "unmap", kTarget, "0", kHostA});
  EXPECT_EQ("LUN 0 of target " + std::string(kTarget) + " closed\n",
            CtlOk({"lun", "delete", kTarget, "0", "--close-only"}));
  EXPECT_EQ("lun_1", KernelLs("iscsi/" + std::string(kTarget) + "/tpgt_1/lun"));
  CommandResult closed = ProbeAs(kHostA, 0, {"--report-luns", "--read-lba", "10"});
  EXPECT_EQ(3, closed.exitCode) << closed.output;
  EXPECT_TRUE(Has(closed.output, "report_luns=1\n")) << closed.output;
  EXPECT_EQ(
      "LUN 2 created on target " + std::string(kTarget) + " (serial prefix NEW)\n",
      CtlOk({"lun", "create", kTarget, "--type", "blkdev", "--path", NewFile("new.img", 1 << 20), "--serial", "NEW"}))
      << "the closed LUN keeps its number";

  EXPECT_EQ("LUN 0 of target " + std::string(kTarget) + " opened\n", CtlOk({"lun", "open", kTarget, "0"}));
  CtlOk({"host", "map", kTarget, "0", kHostA});
  CommandResult opened = ProbeAs(kHostA, 0, {"--vpd-serial", "--read-lba", "10", "--pattern", kPattern});
  ASSERT_EQ(0, opened.exitCode) << opened.output;
  EXPECT_TRUE(Has(opened.output, "read_matches_pattern=1\n")) << opened.output;
  EXPECT_TRUE(Has(opened.output, "unit_serial=" + WzScsiSrvUnitSerial("SNAP", kTarget, 0) + "\n")) << opened.output;
}

// CHAP through wzscsictl, as the kernel sees it: without credentials and
// with a wrong secret the mapped host is refused, with the right ones it
// reads; with mutual CHAP the initiator refuses a target that answers with
// the wrong secret; a restart of wzscsid keeps it; off lets the host in
// without credentials again. No secret shows in a listing or the log.
TEST_F(LioE2eTest, ChapRefusesWrongCredentialsAdmitsTheRightOnesAcrossARestartAndOffOpensAgain) {
  const std::string secret = "Sesame-0pen-12";
  const std::string mutual = "Target-Secret9";
  const std::string secretFile = m_dir + "/chap.secret";
  const std::string mutualFile = m_dir + "/chap.mutual";
  for (const auto& f : {std::make_pair(secretFile, secret), std::make_pair(mutualFile, mutual)}) {
    CRnTempDirForTest::WriteText(f.first, f.second);
    ASSERT_EQ(0, ::chmod(f.first.c_str(), 0600));
  }
  CtlOk({"target", "create", kTarget});
  CtlOk({"lun", "create", kTarget, "--type", "blkdev", "--path", NewFile("lun.img", 1 << 20), "--serial", "C"});
  CtlOk({"host", "map", kTarget, "0", kHostA});
  CtlOk({"target", "auth", kTarget, "--user", "alice", "--secret-file", secretFile, "--mutual-user", "target-1",
         "--mutual-secret-file", mutualFile});
  const std::string portal = Vm().IscsiPortal();
  auto login = [&](const std::string& user, const std::string& pass, const std::string& mutualPass = "") {
    return ProbeUrl(ChapUrl(portal, kTarget, 0, user, pass, mutualPass.empty() ? "" : "target-1", mutualPass), kHostA,
                    {"--read-lba", "0"});
  };
  for (int round = 0; round < 2; ++round) {
    const std::string when = round == 0 ? "before the restart" : "after the restart";
    EXPECT_EQ(2, login("", "").exitCode) << when;
    EXPECT_EQ(2, login("alice", mutual).exitCode) << when;
    EXPECT_EQ(0, login("alice", secret, mutual).exitCode) << when;
    EXPECT_TRUE(Has(login("alice", secret, secret).output, "Invalid CHAP_R response from the target")) << when;
    EXPECT_EQ("1", Guest(std::string("cat /sys/kernel/config/target/iscsi/") + kTarget +
                         "/tpgt_1/attrib/authentication | tr -d '\\n'"));
    if (round == 0) {
      ASSERT_NO_FATAL_FAILURE(StopDaemon());
      ASSERT_NO_FATAL_FAILURE(StartDaemon());
    }
  }
  const std::string listing = CtlOk({"target", "show", kTarget});
  EXPECT_TRUE(Has(listing, "alice")) << listing;

  CtlOk({"target", "auth", kTarget, "--off"});
  EXPECT_TRUE(Has(login("", "").output, "read=ok\n")) << "CHAP off";
  for (const std::string& s : {secret, mutual}) {
    EXPECT_FALSE(Has(listing, s)) << listing;
    EXPECT_FALSE(Has(DaemonLog(), s)) << "a secret in the log";
  }
}

// libiscsi's persistent-reservation suites, two initiators on one LUN; and
// a registration that persists through power loss (APTPL), which the kernel
// keeps only in the directory the driver makes at start.
TEST_F(LioE2eTest, PersistentReservationsPassLibiscsisSuitesAndPersistThroughPowerLoss) {
  const std::string status = CtlOk({"status"});
  EXPECT_TRUE(std::regex_search(status, std::regex("engine\\.reservations +ready: /tmp/target/pr\n"))) << status;
  const std::string file = NewFile("pr.img", k64MiB);
  CtlOk({"target", "create", kTarget});
  CtlOk({"lun", "create", kTarget, "--type", "blkdev", "--path", file, "--serial", "PR"});
  CtlOk({"host", "map", kTarget, "0", kHostA});
  CtlOk({"host", "map", kTarget, "0", kHostB});
  const std::string portal = Vm().IscsiPortal();

  if (::access("/usr/bin/iscsi-test-cu", X_OK) != 0) {
    std::printf("libiscsi-bin's iscsi-test-cu is not installed: its suites are left out\n");
  } else {
    for (const char* suites : {"SCSI.Prin*", "SCSI.Prout*"}) {
      CommandResult r =
          RunCommand({"/usr/bin/iscsi-test-cu", "--dataloss", "--initiator-name", kHostA, "--initiator-name-2", kHostB,
                      std::string("--test=") + suites, "iscsi://" + portal + "/" + kTarget + "/0"});
      std::smatch m;  // CUnit's summary: tests, Total Ran Passed Failed Inactive
      ASSERT_TRUE(std::regex_search(r.output, m, std::regex("tests +([0-9]+) +([0-9]+) +([0-9]+) +([0-9]+)")))
          << r.output;
      std::printf("iscsi-test-cu %s: %s\n", suites, m[0].str().c_str());
      EXPECT_EQ("0", m[4].str()) << suites << ":\n" << r.output;
      EXPECT_NE("0", m[3].str()) << suites << ":\n" << r.output;
    }
  }

  EXPECT_EQ("", RegisterPersistingKey(portal, kTarget, kHostA, 0x575a));
  EXPECT_EQ("aptpl_" + WzScsiSrvUnitSerial("PR", kTarget, 0) + "\n", Guest("ls /tmp/target/pr"));
  // The kernel would bring the registration back with a LUN of that serial.
  Guest("rm -f /tmp/target/pr/aptpl_*");
}

#ifdef WZ_LIO_RBD_E2E
// The guest's kernel maps the image from a cluster on the host, whose
// daemons advertise 127.0.0.1: the guest forwards those ports of its own
// loopback to the host's (10.0.2.2).
TEST_F(LioE2eTest, AnRbdLunIsTheGuestKernelsMappingOfTheImageAndGoesWithTheLun) {
  const std::string missing = MissingCephPrograms();
  if (!missing.empty()) GTEST_SKIP() << "Ceph is not installed (missing: " << missing << ")";
  CephTestCluster cluster;
  std::string why;
  ASSERT_TRUE(cluster.Start(&why)) << why;
  Guest("for p in $(seq " + std::to_string(cluster.MonPort()) + " " + std::to_string(cluster.LastPort()) +
        "); do nc -ll -p $p -e nc " + LioVm::kHostAddress +
        " $p </dev/null >/dev/null 2>&1 & echo $! >>/tmp/ceph-forwards; done");
  // The gateway's files where the guest sees them: the share.
  const std::string conf = m_dir + "/ceph.conf";
  CRnTempDirForTest::WriteText(m_dir + "/gw.keyring", CRnTempDirForTest::ReadText(cluster.GatewayKeyring()));
  CRnTempDirForTest::WriteText(conf, "[global]\nmon host = [v2:127.0.0.1:" + std::to_string(cluster.MonPort()) +
                                         ",v1:127.0.0.1:" + std::to_string(cluster.MonPort() + 1) +
                                         "]\nauth client required = cephx\nkeyring = " + m_dir + "/gw.keyring\n");
  StopDaemon();
  std::string settings = CRnTempDirForTest::ReadText(StateDir() + "/wzscsi.conf");
  const size_t section = settings.find("[Quellport]\n");
  settings.insert(section == std::string::npos ? settings.size() : section + 12,
                  std::string(section == std::string::npos ? "[Quellport]\n" : "") + "RbdConfFile=" + conf +
                      "\nRbdUser=" + cluster.GatewayUser() + "\nRbdPools=rbd\n");
  CRnTempDirForTest::WriteText(StateDir() + "/wzscsi.conf", settings);
  ASSERT_NO_FATAL_FAILURE(StartDaemon());

  CtlOk({"target", "create", kTarget});
  CtlOk({"lun", "create", kTarget, "--type", "rbd", "--image", "rbd/lio1", "--size", "64M", "--serial", "RBD"});
  CtlOk({"host", "map", kTarget, "0", kHostA});
  EXPECT_EQ("rbd\nlio1\n", Guest("cat /sys/bus/rbd/devices/*/pool /sys/bus/rbd/devices/*/name"));
  CommandResult a =
      ProbeAs(kHostA, 0, {"--vpd-serial", "--write-lba", "1000", "--pattern", kPattern, "--read-lba", "1000"});
  ASSERT_EQ(0, a.exitCode) << a.output;
  EXPECT_TRUE(Has(a.output, "unit_serial=" + WzScsiSrvUnitSerial("RBD", kTarget, 0) + "\n")) << a.output;
  EXPECT_TRUE(Has(a.output, "capacity_bytes=" + std::to_string(k64MiB) + "\n")) << a.output;
  EXPECT_TRUE(Has(a.output, "read_matches_pattern=1\n")) << a.output;
  const std::string exported = m_dir + "/lio1.img";
  CommandResult out = cluster.Admin({"rbd", "export", "rbd/lio1", exported});
  ASSERT_EQ(0, out.exitCode) << out.output;
  EXPECT_EQ(PatternBlock(kPattern), ReadAt(exported, 1000ll * 512, 512)) << "the write reached the image";

  CtlOk({"host", "unmap", kTarget, "0", kHostA});
  CtlOk({"lun", "delete", kTarget, "0"});
  EXPECT_EQ("", Guest("ls /sys/bus/rbd/devices")) << "the kernel's mapping went with the LUN";
  CtlOk({"target", "delete", kTarget});
  EXPECT_EQ("", KernelObjects());
  StopDaemon();
  Guest("kill $(cat /tmp/ceph-forwards); rm /tmp/ceph-forwards");
}
#endif

}  // namespace
}  // namespace wze2e
