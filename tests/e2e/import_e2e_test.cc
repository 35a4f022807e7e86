// Moving a site into the service from files the real tools wrote: a
// targets.conf that tgt-admin --dump wrote from a private tgtd configured
// with tgtadm, and a saveconfig.json that targetcli wrote in the
// kernel-target guest. Each is imported into wzscsid on a private tgtd; the
// libiscsi probe then checks that the same initiators see the same LUNs with
// the same data (and that the others see nothing), an export imported into
// an empty service gives the same configuration, and, for the kernel target,
// that targetcli takes the export back.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "tests/e2e/daemon_e2e_support.h"
#include "tests/e2e/lio_vm.h"

namespace wze2e {
namespace {

const char* const kHostC = "iqn.2024-01.com.example:host-c";
const char* const kUser = "alice";
const char* const kSecret = "secret123456";
const char* const kMutualUser = "target1";
const char* const kMutualSecret = "tsecret123456";

// The probe on portal, CHAP credentials in the URL when chap.
CommandResult Probe(const std::string& portal, const std::string& target, int lun, const std::string& host, bool chap,
                    std::vector<std::string> args) {
  std::string url = "iscsi://";
  if (chap) url += std::string(kUser) + "%" + kSecret + "@";
  url += portal + "/" + target + "/" + std::to_string(lun);
  if (chap) url += std::string("?target_user=") + kMutualUser + "&target_password=" + kMutualSecret;
  std::vector<std::string> argv = {WZ_TEST_PROBE, "--url", url, "--initiator", host};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunCommand(argv);
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

class ImportE2eTest : public DaemonE2eTest {
 protected:
  // The probe on portal (the service's tgtd when empty) reads pattern at
  // LBA 0 of the LUN.
  void ExpectData(const std::string& target, int lun, const std::string& host, bool chap, const std::string& pattern,
                  std::string portal = std::string()) {
    if (portal.empty()) portal = m_tgtd.Portal();
    CommandResult r = Probe(portal, target, lun, host, chap, {"--read-lba", "0", "--pattern", pattern});
    EXPECT_EQ(0, r.exitCode) << host << " on LUN " << lun << " of " << target << ":\n" << r.output;
    EXPECT_TRUE(Has(r.output, "read_matches_pattern=1")) << host << " on LUN " << lun << " of " << target << ":\n"
                                                         << r.output;
  }
  void ExpectRefused(const std::string& target, int lun, const std::string& host, bool chap,
                     std::string portal = std::string()) {
    if (portal.empty()) portal = m_tgtd.Portal();
    CommandResult r = Probe(portal, target, lun, host, chap, {});
    EXPECT_EQ(2, r.exitCode) << host << " on " << target << ":\n" << r.output;
  }

  // What the service holds, every field of the detailed listing but the
  // creation times, one record a line, sorted.
  std::string Configuration() {
    std::stringstream in(CtlOk({"ioctl", "ls"}));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      const size_t created = line.find(" created=");
      if (created != std::string::npos) line.erase(created, line.find(' ', created + 1) - created);
      lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    return out;
  }

  // Exports in format (with the secrets), starts the daemon again on an
  // empty state directory (its reconcile takes the old targets out of
  // tgtd), imports the export and expects the same configuration.
  void ExpectRoundTrip(const std::string& format) {
    const std::string before = Configuration();
    const std::string file = Path("exported." + format);
    CtlOk({"export", format, "--with-secrets", "--action-log", ActionLogRoot(), "--output", file});
    struct stat st;
    ASSERT_EQ(0, ::stat(file.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777) << "an export with secrets is for its owner only";
    StopDaemon();
    const std::string config = CRnTempDirForTest::ReadText(StateDir() + "/wzscsi.conf");
    ASSERT_EQ(0, ::rename(StateDir().c_str(), Path("state-" + format).c_str()));
    ASSERT_EQ(0, ::mkdir(StateDir().c_str(), 0750));
    CRnTempDirForTest::WriteText(StateDir() + "/wzscsi.conf", config);
    StartDaemon();
    EXPECT_EQ("", Configuration());
    const std::string imported = CtlOk({"import", format, file});
    EXPECT_TRUE(Has(imported, "Created ")) << imported;
    EXPECT_EQ(before, Configuration()) << imported;
  }
};

// ---------------------------------------------------------------- tgt

TEST_F(ImportE2eTest, ATargetsConfDumpedByTgtAdminComesBackWithTheSameLunsDataAndAccess) {
  const std::string t1 = "iqn.2024-01.com.example:tgt-one", t2 = "iqn.2024-01.com.example:tgt-chap",
                    t3 = "iqn.2024-01.com.example:tgt-three";
  // The site to move: a tgtd of its own, configured with tgtadm.
  TgtdProcess site;
  std::string error;
  ASSERT_TRUE(site.Start(&error)) << error;
  const std::vector<std::string> files = {MakeFile("one.img", k64MiB), MakeFile("two.img", k64MiB),
                                          MakeFile("three.img", k64MiB), MakeFile("four.img", k64MiB)};
  auto admin = [&site](std::vector<std::string> args) {
    CommandResult r = site.Tgtadm(args);
    ASSERT_EQ(0, r.exitCode) << r.output;
  };
  int tid = 0;
  for (const std::string& t : {t1, t2, t3})
    admin({"--op", "new", "--mode", "target", "--tid", std::to_string(++tid), "-T", t});
  admin({"--op", "new", "--mode", "logicalunit", "--tid", "1", "--lun", "1", "-b", files[0]});
  admin({"--op", "new", "--mode", "logicalunit", "--tid", "1", "--lun", "2", "-b", files[1]});
  admin({"--op", "new", "--mode", "logicalunit", "--tid", "2", "--lun", "1", "-b", files[2]});
  admin({"--op", "new", "--mode", "logicalunit", "--tid", "3", "--lun", "1", "-b", files[3]});
  // Names as tgt-admin binds initiator-name lines: name rules, and the
  // address rule ALL since there is no initiator-address line.
  for (const char* bind : {"1:A", "1:B", "2:A", "3:B"}) {
    const std::string host = bind[2] == 'A' ? kHostA : kHostB;
    admin({"--op", "bind", "--mode", "target", "--tid", std::string(1, bind[0]), "-Q", host});
  }
  for (const char* t : {"1", "2", "3"}) admin({"--op", "bind", "--mode", "target", "--tid", t, "-I", "ALL"});
  admin({"--op", "new", "--mode", "account", "--user", kUser, "--password", kSecret});
  admin({"--op", "new", "--mode", "account", "--user", kMutualUser, "--password", kMutualSecret});
  admin({"--op", "bind", "--mode", "account", "--tid", "2", "--user", kUser});
  admin({"--op", "bind", "--mode", "account", "--tid", "2", "--user", kMutualUser, "--outgoing"});

  // Data written through the old target.
  const struct {
    std::string target;
    int lun;
    const char* host;
    bool chap;
    const char* pattern;
  } data[] = {{t1, 1, kHostA, false, "tgt-one"},
              {t1, 2, kHostB, false, "tgt-two"},
              {t2, 1, kHostA, true, "tgt-three"},
              {t3, 1, kHostB, false, "tgt-four"}};
  for (const auto& d : data) {
    CommandResult w =
        Probe(site.Portal(), d.target, d.lun, d.host, d.chap, {"--write-lba", "0", "--pattern", d.pattern});
    ASSERT_EQ(0, w.exitCode) << w.output;
  }
  // tgtd admits an initiator that any rule admits: with ALL, every one. The
  // import maps the named ones only and must say so.
  CommandResult open = Probe(site.Portal(), t1, 1, kHostC, false, {});
  EXPECT_EQ(0, open.exitCode) << open.output;
  CommandResult dumped = RunCommand({"tgt-admin", "-C", "1", "--dump"}, {"TGT_IPC_SOCKET=" + site.SocketPrefix()});
  ASSERT_EQ(0, dumped.exitCode) << dumped.output;
  ASSERT_TRUE(Has(dumped.output, "incominguser alice PLEASE_CORRECT_THE_PASSWORD")) << dumped.output;
  const std::string dump = Path("dump.conf");
  CRnTempDirForTest::WriteText(dump, dumped.output);
  // The old site goes (it still holds its targets: stopped by its pid).
  site.Stop();

  // The dump as it is: the target whose secrets tgt-admin hid is left out,
  // the dry run says so with its line and changes nothing.
  WzCtlRunResult dry = Ctl({"import", "tgt", dump, "--dry-run"});
  EXPECT_EQ(0, dry.exitCode) << dry.out << dry.err;
  EXPECT_TRUE(Has(dry.out, "PLEASE_CORRECT_THE_PASSWORD")) << dry.out;
  EXPECT_TRUE(Has(dry.out, "Would create 2 targets, 3 LUNs and 5 host mappings.")) << dry.out;
  EXPECT_TRUE(Has(dry.out, "each initiator-name of a target is mapped to every LUN")) << dry.out;
  EXPECT_TRUE(Has(dry.out, "the address rule ALL lets every initiator in")) << dry.out;
  EXPECT_EQ("", Configuration());

  // With the secrets written in, as an operator does.
  const std::string edited = Path("targets.conf");
  CRnTempDirForTest::WriteText(
      edited, Replace(Replace(dumped.output, "alice PLEASE_CORRECT_THE_PASSWORD", "alice " + std::string(kSecret)),
                      "target1 PLEASE_CORRECT_THE_PASSWORD", "target1 " + std::string(kMutualSecret)));
  // A backing file missing at first: the import stops there, lists what it
  // made, and the same command finishes once the file is back.
  ASSERT_EQ(0, ::rename(files[3].c_str(), Path("four.away").c_str()));
  WzCtlRunResult first = Ctl({"import", "tgt", edited});
  EXPECT_EQ(1, first.exitCode) << first.out << first.err;
  EXPECT_TRUE(Has(first.out, "FAILED")) << first.out;
  EXPECT_TRUE(Has(first.out, "Stopped at LUN on " + files[3])) << first.out;
  EXPECT_TRUE(Has(first.out, "run the same command again")) << first.out;
  ASSERT_EQ(0, ::rename(Path("four.away").c_str(), files[3].c_str()));
  WzCtlRunResult second = Ctl({"import", "tgt", edited});
  EXPECT_EQ(0, second.exitCode) << second.out << second.err;
  EXPECT_TRUE(Has(second.out, "exists")) << second.out;
  WzCtlRunResult third = Ctl({"import", "tgt", edited});
  EXPECT_EQ(0, third.exitCode) << third.out << third.err;
  EXPECT_TRUE(Has(third.out, "Created nothing. Already there: 3 targets, 1 CHAP setting, 4 LUNs and 6 host mappings."))
      << third.out;

  // The same initiators see the same LUNs (tgt's numbers) with the same data.
  for (const auto& d : data) ExpectData(d.target, d.lun, d.host, d.chap, d.pattern);
  ExpectData(t1, 1, kHostB, false, "tgt-one");  // tgt granted B the whole target
  ExpectRefused(t2, 1, kHostA, false);          // CHAP holds
  ExpectRefused(t2, 1, kHostB, true);           // not mapped
  ExpectRefused(t3, 1, kHostA, false);
  ExpectRefused(t1, 1, kHostC, false);
  CommandResult serial = Probe(m_tgtd.Portal(), t1, 1, kHostA, false, {"--vpd-serial"});
  EXPECT_TRUE(Has(serial.output, "unit_serial=TGT")) << serial.output;

  ExpectRoundTrip("tgt");
  ExpectData(t2, 1, kHostA, true, "tgt-three");

  // The way back: with the service and its tgtd gone, tgt-admin loads the
  // export into a tgtd of its own, which serves the same data to the same
  // initiators under the same numbers.
  StopDaemon();
  m_tgtd.Stop();
  TgtdProcess back;
  ASSERT_TRUE(back.Start(&error)) << error;
  CommandResult loaded =
      RunCommand({"tgt-admin", "-C", "1", "-e", "-c", Path("exported.tgt")}, {"TGT_IPC_SOCKET=" + back.SocketPrefix()});
  EXPECT_EQ(0, loaded.exitCode) << loaded.output;
  EXPECT_FALSE(Has(loaded.output, "Skipping")) << loaded.output;
  for (const auto& d : data) ExpectData(d.target, d.lun, d.host, d.chap, d.pattern, back.Portal());
  ExpectRefused(t2, 1, kHostA, false, back.Portal());
  ExpectRefused(t3, 1, kHostA, false, back.Portal());
  ExpectRefused(t1, 1, kHostC, false, back.Portal());  // no rule ALL came back with it
  back.Stop();
}

// ---------------------------------------------------------------- kernel target

// The guest for the kernel target's own tool: booted once for this suite.
class LioImportE2eTest : public ImportE2eTest {
 protected:
  static void SetUpTestSuite() {
    s_share.reset(new CRnTempDirForTest());
    s_work.reset(new CRnTempDirForTest());
    s_vm.reset(new LioVm());
    s_boot = s_vm->Boot(s_share->Path(), s_work->Path(), &s_why);
  }
  static void TearDownTestSuite() {
    s_vm.reset();
    s_work.reset();
    s_share.reset();
  }

  void SetUp() override {
    if (s_boot == LioVm::BootResult::kNoKernel)
      GTEST_SKIP() << "the kernel-target tests need a kernel to boot: " << s_why;
    ASSERT_EQ(LioVm::BootResult::kReady, s_boot) << s_why;
    ImportE2eTest::SetUp();
  }

  // targetcli in the guest, run on the host's files (the chroot), with a
  // private message bus (targetcli asks it for tcmu-runner's stores) and
  // its preferences in the shared directory; commands on standard input.
  std::string Targetcli(const std::string& commands) {
    const std::string home = s_share->Join("targetcli");
    const std::string script = "mkdir -p /host" + home +
                               "\nchroot /host /bin/sh -c '"
                               "[ -S /run/wz-dbus.sock ] || dbus-daemon --session --fork "
                               "--address=unix:path=/run/wz-dbus.sock >/dev/null; "
                               "export HOME=" +
                               home + " TARGETCLI_HOME=" + home +
                               " DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/wz-dbus.sock; "
                               "targetcli' <<'EOT'\nset global auto_save_on_exit=false auto_add_mapped_luns=false\n" +
                               commands + "\nEOT\n";
    CommandResult r = s_vm->Shell(script, 180000);
    EXPECT_EQ(0, r.exitCode) << commands << "\n" << r.output;
    return r.output;
  }

  static std::unique_ptr<CRnTempDirForTest> s_share, s_work;
  static std::unique_ptr<LioVm> s_vm;
  static LioVm::BootResult s_boot;
  static std::string s_why;
};

std::unique_ptr<CRnTempDirForTest> LioImportE2eTest::s_share, LioImportE2eTest::s_work;
std::unique_ptr<LioVm> LioImportE2eTest::s_vm;
LioVm::BootResult LioImportE2eTest::s_boot = LioVm::BootResult::kFailed;
std::string LioImportE2eTest::s_why;

TEST_F(LioImportE2eTest, ASaveconfigWrittenByTargetcliComesBackWithTheSameLunsDataAndAccess) {
  const std::string t1 = "iqn.2024-01.com.example:lio-chap", t2 = "iqn.2024-01.com.example:lio-open";
  const std::string f0 = s_share->Join("f0.img"), f1 = s_share->Join("f1.img");
  for (const std::string& f : {f0, f1}) {
    std::ofstream(f, std::ios::trunc).close();
    ASSERT_EQ(0, ::truncate(f.c_str(), k64MiB));
  }
  // fileio and block (the guest's disk, the host's file DiskImage())
  // storage objects, ACLs with mapped LUNs, CHAP on the first target.
  const std::string auth = std::string("set auth userid=") + kUser + " password=" + kSecret +
                           " mutual_userid=" + kMutualUser + " mutual_password=" + kMutualSecret;
  const std::string acls = "/iscsi/" + t1 + "/tpg1/acls";
  Targetcli("/backstores/fileio create name=file0 file_or_dev=" + f0 + " write_back=false\n" +
            "/backstores/fileio create name=file1 file_or_dev=" + f1 + " write_back=false\n" +
            "/backstores/block create name=disk0 dev=/dev/vda\n" + "/iscsi create " + t1 + "\n/iscsi create " + t2 +
            "\n/iscsi/" + t1 + "/tpg1/luns create /backstores/fileio/file0\n/iscsi/" + t1 +
            "/tpg1/luns create /backstores/block/disk0\n/iscsi/" + t2 + "/tpg1/luns create /backstores/fileio/file1\n" +
            acls + " create " + kHostA + "\n" + acls + " create " + kHostB + "\n" + acls + "/" + kHostA +
            " create 0 0\n" + acls + "/" + kHostA + " create 1 1\n" + acls + "/" + kHostB + " create 1 1\n" + acls +
            "/" + kHostA + " " + auth + "\n" + acls + "/" + kHostB + " " + auth + "\n/iscsi/" + t1 +
            "/tpg1 set attribute authentication=1\n/iscsi/" + t2 + "/tpg1/acls create " + kHostB + "\n/iscsi/" + t2 +
            "/tpg1/acls/" + kHostB + " create 0 0\n");
  const struct {
    std::string target;
    int lioLun;
    int lun;  // on the service's tgtd
    const char* host;
    bool chap;
    const char* pattern;
  } data[] = {{t1, 0, 1, kHostA, true, "lio-file"},
              {t1, 1, 2, kHostB, true, "lio-disk"},
              {t2, 0, 1, kHostB, false, "lio-open"}};
  for (const auto& d : data) {
    CommandResult w =
        Probe(s_vm->IscsiPortal(), d.target, d.lioLun, d.host, d.chap, {"--write-lba", "0", "--pattern", d.pattern});
    ASSERT_EQ(0, w.exitCode) << w.output;
  }
  const std::string saved = s_share->Join("saveconfig.json");
  Targetcli("saveconfig savefile=" + saved);
  ASSERT_TRUE(Has(CRnTempDirForTest::ReadText(saved), "\"chap_mutual_password\"")) << "targetcli saved no CHAP";

  const std::string mapDisk = "/dev/vda=" + s_vm->DiskImage();
  WzCtlRunResult dry = Ctl({"import", "lio", saved, "--dry-run", "--map-path", mapDisk});
  EXPECT_EQ(0, dry.exitCode) << dry.out << dry.err;
  EXPECT_TRUE(Has(dry.out, "Would create 2 targets, 1 CHAP setting, 3 LUNs and 4 host mappings.")) << dry.out;
  EXPECT_TRUE(Has(dry.out, "on " + s_vm->DiskImage() + " (lio LUN 1)")) << dry.out;
  EXPECT_EQ("", Configuration());
  WzCtlRunResult imported = Ctl({"import", "lio", saved, "--map-path", mapDisk});
  EXPECT_EQ(0, imported.exitCode) << imported.out << imported.err;

  // The kernel target's LUN 0 and 1 are tgtd's 1 and 2 (its LUN 0 is the
  // controller); each host as mapped, CHAP as it was.
  for (const auto& d : data) ExpectData(d.target, d.lun, d.host, d.chap, d.pattern);
  ExpectData(t1, 2, kHostA, true, "lio-disk");
  ExpectRefused(t1, 1, kHostA, false);
  ExpectRefused(t2, 1, kHostA, false);
  ExpectRefused(t1, 1, kHostC, true);

  // The way back: targetcli takes the export, and the kernel target serves
  // the same data under the service's numbers again.
  const std::string back = s_share->Join("back.json");
  CtlOk({"export", "lio", "--with-secrets", "--action-log", ActionLogRoot(), "--output", back});
  CRnTempDirForTest::WriteText(back, Replace(CRnTempDirForTest::ReadText(back), s_vm->DiskImage(), "/dev/vda"));
  Targetcli("clearconfig confirm=True\nrestoreconfig savefile=" + back);
  CommandResult r = Probe(s_vm->IscsiPortal(), t1, 2, kHostB, true, {"--read-lba", "0", "--pattern", "lio-disk"});
  EXPECT_TRUE(Has(r.output, "read_matches_pattern=1")) << r.output;
  r = Probe(s_vm->IscsiPortal(), t2, 1, kHostA, false, {});
  EXPECT_EQ(2, r.exitCode) << r.output;
  Targetcli("clearconfig confirm=True");

  ExpectRoundTrip("lio");
  ExpectData(t1, 1, kHostA, true, "lio-file");
}

}  // namespace
}  // namespace wze2e
