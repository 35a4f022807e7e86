// CreateLun through the intake: the paths of each backing-store type, the
// refusals before any driver is called, the reply fields, the saved request
// and its creation time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>

#include "luns/backing_store_dirs.h"
#include "luns/lun_args.h"
#include "luns/lun_req_flags.h"
#include "messages/WzScsiServerRequests.h"
#include "tests/support/service_lun_support.h"

using namespace wztest;
using namespace wzluntest;

namespace {

using LunCreate = LunFixture;

std::unique_ptr<WzScsiServer::CreateLun> ReadSavedCreate(const std::string& path) {
  auto saved = std::make_unique<WzScsiServer::CreateLun>();
  EXPECT_EQ(saved->readXmlFromString(ReadFile(path)), 0) << path;
  return saved;
}

TEST_F(LunCreate, BlockDeviceLunRunsPrepareCreateCommitAndIsSavedUnderItsNumber) {
  h->ClearJournal();
  auto reply = h->Send(MakeCreateLun("IQN.2020-01.Test:LUNS", 2, Args("-path /dev/x -sp AB12")));
  ASSERT_EQ(ReplyCode(reply), 0);
  EXPECT_FALSE(AsCreateLunRsp(reply)->error()->hasErrorMessage());
  EXPECT_EQ(AsCreateLunRsp(reply)->serialPrefix(), "AB12");
  EXPECT_EQ(AsCreateLunRsp(reply)->lunId(), 0);
  EXPECT_EQ(Calls(*h),
            (std::vector<std::string>{"blkdev.CreateLunPrepare", "platform.CreateLun", "blkdev.CreateLunCommit"}));
  EXPECT_EQ(Field(h->Journal("blkdev.CreateLunPrepare")[0], "lunId"), "-1");

  const auto model = Model();
  const auto& lun = model.at(kTarget).luns.at(0);
  EXPECT_EQ(lun.path, "/dev/x");
  EXPECT_EQ(lun.size, 64ull << 20) << "the size is what prepare left";
  EXPECT_NE(lun.bstoreCtx, nullptr);
  EXPECT_EQ(lun.blockSize, 512u);
  EXPECT_EQ(lun.extParam, 524288u);

  auto saved = ReadSavedCreate(LunFile(*h, kTarget, 0));
  EXPECT_EQ(saved->targetId(), kTarget);
  EXPECT_EQ(CreateLun(2), 1) << "the driver numbers the next LUN";
}

TEST_F(LunCreate, NewDevSnapLunIsSavedWithItsCreationTimeAndReplayTakesItBack) {
  const int64_t before = ::time(nullptr);
  const int lun = CreateLun(3, "-ssid snap1 -sp SN1");
  ASSERT_EQ(lun, 0);
  auto saved = ReadSavedCreate(LunFile(*h, kTarget, 0));
  const std::string args = saved->bstoreDesc().args();
  const std::string marker = " -creationTime ";
  const size_t at = args.rfind(marker);
  ASSERT_NE(at, std::string::npos) << args;
  const int64_t stamped = std::stoll(args.substr(at + marker.size()));
  EXPECT_GE(stamped, before);
  EXPECT_LE(stamped, ::time(nullptr));
  EXPECT_EQ(Model().at(kTarget).luns.at(0).creationTime, stamped);

  // Re-created with its saved number (as replay does): the time comes from
  // the option and nothing more is appended.
  auto again = MakeCreateLun(kTarget, 3, Args("-ssid snap2 -sp SN2 -creationTime 600"));
  ASSERT_TRUE(h->Service().CreateLunInternal(nullptr, again.get(), 7).IsSuccess());
  EXPECT_EQ(again->bstoreDesc().args(), Args("-ssid snap2 -sp SN2 -creationTime 600"));
  EXPECT_EQ(Model().at(kTarget).luns.at(7).creationTime, 600);
  EXPECT_FALSE(CRnPath::Exists(LunFile(*h, kTarget, 7))) << "nothing is saved without a connection";
}

TEST_F(LunCreate, PlatformOnlyTypesTakeTheirSizeFromTheArguments) {
  h->ClearJournal();
  ASSERT_EQ(CreateLun(1, "-path /dev/k -sp K1 -size 4096"), 0);
  ASSERT_EQ(CreateLun(4, "-path /dev/f -sp F1"), 1);
  EXPECT_EQ(Calls(*h), (std::vector<std::string>{"platform.CreateLun", "platform.CreateLun"}));
  EXPECT_EQ(h->Service().LoadedBStorTypes(), std::vector<WzScsiServer::BStorType>{WzScsiServer::BSTOR_FSBLB});
  const auto model = Model();
  EXPECT_EQ(model.at(kTarget).luns.at(0).size, 4096u);
  EXPECT_EQ(model.at(kTarget).luns.at(1).size, 0u);
  EXPECT_EQ(model.at(kTarget).luns.at(1).bstorOps, nullptr);
  EXPECT_EQ(model.at(kTarget).luns.at(1).bstoreCtx, nullptr);
  // Their creation time is saved too, so that replay keeps it.
  EXPECT_NE(ReadSavedCreate(LunFile(*h, kTarget, 1))->bstoreDesc().args().find(" -creationTime "), std::string::npos);
}

TEST_F(LunCreate, RefusalsComeInOrderAndCallNoDriver) {
  struct Case {
    const char* target;
    int64_t type;
    std::string args;
    int64_t code;
    const char* text;
  } cases[] = {
      {"iqn.2020-01.test:none", 2, "-sp 1", 8, "Target doesn't exists!"},
      // Arguments before type; the reason follows the text clients match.
      {kTarget, 0, Args("-path /p"), 1,
       "Failed to process CreateLun arguments: Lun serial prefix is not set: Option -sp is not set"},
      {kTarget, 0, Args("-path /p -sp A"), 4, "Invalid Bstore Type"},
      {kTarget, 6, Args("-path /p -sp A"), 4, "Invalid Bstore Type"},
      {kTarget, -1, Args("-path /p -sp A"), 4, "Invalid Bstore Type"},
      {kTarget, 5, Args("-path /p -sp A"), 3, "NULL BStorOps by user defined BStore"},
      // Paths the service and the engine would read differently, before the type.
      {kTarget, 0, Args("-path disks/a.img -sp A"), 4,
       "The backing path is relative, give an absolute one: disks/a.img"},
      {kTarget, 2, Args("-path ./a.img -sp A"), 4, "The backing path is relative, give an absolute one: ./a.img"},
      {kTarget, 2, Args("-path \" /p\" -sp A"), 4,
       "The backing path starts or ends with a blank or holds a control character"},
      {kTarget, 1, Args("-path \"/p \" -sp A"), 4,
       "The backing path starts or ends with a blank or holds a control character"},
      {kTarget, 2, Args("-path /p\x01q -sp A"), 4,
       "The backing path starts or ends with a blank or holds a control character"},
      {kTarget, 2, Args("-path \"/p\tq\" -sp A"), 4,
       "The backing path starts or ends with a blank or holds a control character"},
  };
  const auto tree = Tree();
  h->ClearJournal();
  for (const Case& c : cases) {
    auto reply = h->Send(MakeCreateLun(c.target, c.type, c.args));
    EXPECT_EQ(ReplyCode(reply), c.code) << c.text;
    EXPECT_EQ(ReplyText(reply), c.text);
    // The prefix is known once the arguments were valid.
    EXPECT_EQ(AsCreateLunRsp(reply)->serialPrefix(), c.code == 8 || c.code == 1 ? "" : "A");
    EXPECT_EQ(AsCreateLunRsp(reply)->lunId(), -1);
  }
  EXPECT_TRUE(h->Journal().empty());
  EXPECT_TRUE(Model().at(kTarget).luns.empty());
  EXPECT_EQ(Tree(), tree);
  EXPECT_TRUE(h->Log().Contains("Failed to process CreateLun arguments, error=Lun serial prefix is not set"));
}

// A client exports only what BackingStoreDirs allows: a file under a listed
// directory, or a listed device; a link out of the directory, a "..", a
// file elsewhere and a -ti naming another target are refused with code 4.
TEST_F(LunCreate, OnlyAllowedBackingFilesAndTheRequestsOwnTarget) {
  const std::string disks = h->Root() + "/disks";
  ASSERT_EQ(::mkdir(disks.c_str(), 0755), 0);
  wztest::WriteFile(disks + "/ok.img", "x");
  wztest::WriteFile(h->Root() + "/secret", "x");
  ASSERT_EQ(::symlink((h->Root() + "/secret").c_str(), (disks + "/link.img").c_str()), 0);
  h->SetConfig("BackingStoreDirs", disks + ", /dev/null");
  h->Restart();  // the target comes back from its saved file

  EXPECT_EQ(CreateLun(2, "-path " + disks + "/ok.img -sp A"), 0);
  EXPECT_EQ(CreateLun(2, "-path /dev/null -sp A"), 1);
  for (const std::string& path : {disks + "/link.img", disks + "/../secret", h->Root() + "/secret",
                                  std::string("/etc/services"), std::string("/dev/zero")}) {
    auto reply = h->Send(MakeCreateLun(kTarget, 2, Args("-path " + path + " -sp A")));
    EXPECT_EQ(ReplyCode(reply), 4) << path;
    EXPECT_EQ(ReplyText(reply).rfind("The backing file or device is not allowed: ", 0), 0u) << ReplyText(reply);
    // What is allowed instead, and what to do.
    EXPECT_NE(ReplyText(reply).find("of BackingStoreDirs (" + disks + "/, /dev/null)"), std::string::npos)
        << ReplyText(reply);
    EXPECT_NE(ReplyLines(reply).find("next: use a file or device that BackingStoreDirs"), std::string::npos);
  }
  // A directory, even an allowed one, is called what it is.
  auto dir = h->Send(MakeCreateLun(kTarget, 2, Args("-path " + disks + " -sp A")));
  EXPECT_EQ(ReplyCode(dir), 4);
  EXPECT_NE(ReplyText(dir).find(disks + " is a directory: a LUN is backed by a file or a block device"),
            std::string::npos)
      << ReplyText(dir);
  auto other = h->Send(MakeCreateLun(kTarget, 2, "-ti iqn.2020-01.test:other -path " + disks + "/ok.img -sp A"));
  EXPECT_EQ(ReplyCode(other), 4);
  EXPECT_EQ(Model().at(kTarget).luns.size(), 2u);
}

// The engine gets the file that was checked: a link is resolved, the
// resolved path is what the model keeps, the backing store reads and the
// saved request holds, so a link pointed elsewhere afterwards changes
// nothing at the next replay.
TEST_F(LunCreate, TheEngineGetsTheResolvedPathAndALinkSwappedLaterIsNotFollowed) {
  const std::string disks = h->Root() + "/disks";
  ASSERT_EQ(::mkdir(disks.c_str(), 0755), 0);
  wztest::WriteFile(disks + "/ok.img", "x");
  wztest::WriteFile(disks + "/other.img", "x");
  ASSERT_EQ(::symlink((disks + "/ok.img").c_str(), (disks + "/link.img").c_str()), 0);
  char buf[PATH_MAX];
  ASSERT_NE(::realpath((disks + "/ok.img").c_str(), buf), nullptr);
  const std::string resolved = buf;
  for (const bool restricted : {true, false}) {
    SCOPED_TRACE(restricted ? "with BackingStoreDirs" : "without BackingStoreDirs");
    h->SetConfig("BackingStoreDirs", restricted ? disks : "");
    ASSERT_EQ(::unlink((disks + "/link.img").c_str()), 0);
    ASSERT_EQ(::symlink((disks + "/ok.img").c_str(), (disks + "/link.img").c_str()), 0);
    h->Restart();
    h->ClearJournal();
    ASSERT_EQ(CreateLun(2, "-path " + disks + "/link.img -sp A"), 0);
    ASSERT_EQ(h->Journal("platform.CreateLun").size(), 1u);
    EXPECT_EQ(Field(h->Journal("platform.CreateLun")[0], "path"), resolved);
    EXPECT_EQ(Model().at(kTarget).luns.at(0).path, resolved);
    WzScsiSrvLun saved;
    ASSERT_TRUE(ProcessCreateLunArgs(ReadSavedCreate(LunFile(*h, kTarget, 0))->bstoreDesc().args(), saved).IsSuccess());
    EXPECT_EQ(saved.path, resolved);

    // The link now names another allowed file: the replay serves the first.
    ASSERT_EQ(::unlink((disks + "/link.img").c_str()), 0);
    ASSERT_EQ(::symlink((disks + "/other.img").c_str(), (disks + "/link.img").c_str()), 0);
    h->ClearJournal();
    h->Restart();
    ASSERT_EQ(h->Journal("platform.CreateLun").size(), 1u);
    EXPECT_EQ(Field(h->Journal("platform.CreateLun")[0], "path"), resolved);
    EXPECT_EQ(Model().at(kTarget).luns.at(0).path, resolved);
    ASSERT_EQ(ReplyCode(h->Send(MakeDeleteLun(kTarget, 0))), 0);
  }
}

// One file under two LUNs would let two initiators overwrite each other's
// data: a second LUN on the same file, under any name, on any target, is
// refused with the LUN that has it; another file is not.
TEST_F(LunCreate, ASecondLunOnTheSameFileIsRefusedNamingTheFirst) {
  const std::string disks = h->Root() + "/disks";
  ASSERT_EQ(::mkdir(disks.c_str(), 0755), 0);
  wztest::WriteFile(disks + "/ok.img", "x");
  wztest::WriteFile(disks + "/two.img", "x");
  ASSERT_EQ(::link((disks + "/ok.img").c_str(), (disks + "/hard.img").c_str()), 0);
  ASSERT_EQ(::symlink((disks + "/ok.img").c_str(), (disks + "/sym.img").c_str()), 0);
  ASSERT_EQ(ReplyCode(h->Send(MakeCreateTarget("iqn.2020-01.test:second"))), 0);
  ASSERT_EQ(CreateLun(2, "-path " + disks + "/ok.img -sp A"), 0);
  h->ClearJournal();
  struct Case {
    const char* target;
    int64_t type;
    std::string path;
  } cases[] = {
      {kTarget, 2, disks + "/ok.img"},
      {kTarget, 1, disks + "/./ok.img"},
      {kTarget, 2, disks + "/hard.img"},
      {kTarget, 4, disks + "/sym.img"},
      {"iqn.2020-01.test:second", 2, disks + "/../disks/ok.img"},
      {"iqn.2020-01.test:second", 2, disks + "/hard.img"},
  };
  for (const Case& c : cases) {
    auto reply =
        h->Send(MakeCreateLun(c.target, c.type, "-ti " + std::string(c.target) + " -path " + c.path + " -sp B"));
    EXPECT_EQ(ReplyCode(reply), 4) << c.path;
    EXPECT_EQ(ReplyText(reply), "The backing file or device is already used by another LUN: LUN 0 of target " +
                                    std::string(kTarget) + " (" + Model().at(kTarget).luns.at(0).path + ")")
        << c.path;
    EXPECT_NE(ReplyLines(reply).find("next: give another file or device, or delete that LUN first"), std::string::npos);
  }
  EXPECT_TRUE(h->Journal().empty()) << "no driver was called";
  EXPECT_EQ(Model().at(kTarget).luns.size(), 1u);
  EXPECT_EQ(CreateLun(2, "-path " + disks + "/two.img -sp A"), 1);
  // The LUN itself, replayed, is no other user of its file.
  h->Restart();
  EXPECT_EQ(Model().at(kTarget).luns.size(), 2u);
  // Deleted, its file is free for another LUN.
  ASSERT_EQ(ReplyCode(h->Send(MakeDeleteLun(kTarget, 0))), 0);
  EXPECT_EQ(CreateLun(2, "-path " + disks + "/hard.img -sp A"), 0);
}

// A block device is one by its device number, whatever node names it, and
// keeps the name given (a /dev/disk/by-id link survives a reboot, the
// /dev/sdX it points to may not).
TEST_F(LunCreate, ABlockDeviceIsOneByItsNumberAndKeepsTheNameGiven) {
  const std::string devs = h->Root() + "/devs";
  ASSERT_EQ(::mkdir(devs.c_str(), 0755), 0);
  if (::mknod((devs + "/sdx").c_str(), S_IFBLK | 0600, makedev(7, 250)) != 0)
    GTEST_SKIP() << "cannot make a device node here";
  ASSERT_EQ(::mknod((devs + "/other-node").c_str(), S_IFBLK | 0600, makedev(7, 250)), 0);
  ASSERT_EQ(::symlink((devs + "/sdx").c_str(), (devs + "/by-id").c_str()), 0);
  h->ClearJournal();
  ASSERT_EQ(CreateLun(1, "-path " + devs + "/by-id -sp A"), 0);
  EXPECT_EQ(Field(h->Journal("platform.CreateLun")[0], "path"), devs + "/by-id");
  EXPECT_EQ(Model().at(kTarget).luns.at(0).path, devs + "/by-id");
  auto reply = h->Send(MakeCreateLun(kTarget, 2, Args("-path " + devs + "/other-node -sp B")));
  EXPECT_EQ(ReplyCode(reply), 4);
  EXPECT_EQ(ReplyText(reply), "The backing file or device is already used by another LUN: LUN 0 of target " +
                                  std::string(kTarget) + " (" + devs + "/by-id)");
}

// An RBD LUN names only its image: the pool must be one of RbdPools (none:
// no RBD LUN), and the store gets the gateway's Ceph identity from the
// settings. Removing the image is asked per delete and only of an RBD LUN.
TEST_F(LunCreate, RbdLunsStayInTheAllowedPoolsAndConnectAsTheGateway) {
  auto refused = h->Send(MakeCreateLun(kTarget, 7, Args("-path rbd/a -size 1048576 -sp R")));
  EXPECT_EQ(ReplyCode(refused), 4) << "no pool is allowed until RbdPools names one";
  EXPECT_NE(ReplyText(refused).find("RbdPools is empty"), std::string::npos) << ReplyText(refused);

  h->SetConfig("RbdPools", "rbd, ssd");
  h->SetConfig("RbdConfFile", "/etc/wz/ceph.conf");
  h->SetConfig("RbdUser", "gw1");
  h->Restart();
  h->ClearJournal();
  for (const std::string& image : {std::string("other/a"), std::string("rbdx/a"), std::string("rb/a"),
                                   std::string("rbd"), std::string("/rbd/a")}) {
    auto reply = h->Send(MakeCreateLun(kTarget, 7, Args("-path " + image + " -size 1048576 -sp R")));
    EXPECT_EQ(ReplyCode(reply), 4) << image;
    EXPECT_EQ(ReplyText(reply).rfind("The backing file or device is not allowed: ", 0), 0u) << ReplyText(reply);
  }
  EXPECT_TRUE(Calls(*h).empty()) << "refused before any driver";

  ASSERT_EQ(CreateLun(7, "-path ssd/a -size 1048576 -sp R"), 0);
  ASSERT_EQ(h->Journal("rbd.CreateLunPrepare").size(), 1u);
  EXPECT_EQ(Field(h->Journal("rbd.CreateLunPrepare")[0], "extData"), "conf=/etc/wz/ceph.conf;id=gw1");
  EXPECT_EQ(Model().at(kTarget).luns.at(0).extData, "conf=/etc/wz/ceph.conf;id=gw1") << "the engine gets it too";
  ASSERT_EQ(CreateLun(2, "-path /dev/x -sp B"), 1);

  // The replay (and another gateway's change) passes the same checks.
  h->SetConfig("RbdPools", "rbd");
  h->ClearJournal();
  h->Restart(false);
  EXPECT_EQ(h->Start(), 1) << "the LUN in pool ssd is no longer allowed";
  EXPECT_EQ(Model().at(kTarget).luns.count(0), 0u);
  EXPECT_TRUE(h->Journal("rbd.CreateLunPrepare").empty());
  h->SetConfig("RbdPools", "ssd");
  h->Restart();
  ASSERT_EQ(Model().at(kTarget).luns.count(0), 1u);
  EXPECT_EQ(Field(h->Journal("rbd.CreateLunPrepare").back(), "extData"), "conf=/etc/wz/ceph.conf;id=gw1");

  h->ClearJournal();
  auto notRbd = h->Send(MakeDeleteLun(kTarget, 1, RemoveImage));
  EXPECT_EQ(ReplyCode(notRbd), 4);
  EXPECT_TRUE(Calls(*h).empty());
  ASSERT_EQ(ReplyCode(h->Send(MakeDeleteLun(kTarget, 0, RemoveImage))), 0);
  ASSERT_EQ(h->Journal("rbd.DeleteLunPrepare").size(), 1u);
  EXPECT_EQ(Field(h->Journal("rbd.DeleteLunPrepare")[0], "removeImage"), "1");
  EXPECT_EQ(Model().at(kTarget).luns.count(1), 1u);
}

// A resize grows the backing store first, then serves the LUN again under
// its number with its mappings; nothing is saved. A size the LUN cannot take
// calls no driver; a store that does not grow leaves the engine alone; an
// engine that does not take the size is told, with the model at the new size.
TEST_F(LunCreate, ResizeGrowsTheBackingThenServesTheLunAgainWithItsHosts) {
  h->SetConfig("RbdPools", "rbd");
  h->Restart();
  ASSERT_EQ(CreateLun(7, "-path rbd/grow -size 1048576 -sp R"), 0);
  const std::string file = h->Root() + "/file.img";
  wztest::WriteFile(file, "x");
  ASSERT_EQ(::truncate(file.c_str(), 1 << 20), 0);
  ASSERT_EQ(CreateLun(2, "-path " + file + " -sp F -size 1048576"), 1);
  ASSERT_EQ(ReplyCode(h->Send(MakeMap(kTarget, 0, "HostA"))), 0);
  const std::vector<std::string> saved = Tree();
  auto resize = [&](int64_t lun, int64_t bytes) { return h->Send(WzScsiServer::NewResizeLun(kTarget, lun, bytes)); };

  h->ClearJournal();
  ASSERT_EQ(ReplyCode(resize(0, 4 << 20)), 0);
  EXPECT_EQ(Calls(*h), (std::vector<std::string>{"rbd.ResizeLun", "platform.DeleteLun", "platform.CreateLun",
                                                 "platform.MapHost"}));
  EXPECT_EQ(Field(h->Journal("rbd.ResizeLun")[0], "bytes"), "4194304");
  EXPECT_EQ(Model().at(kTarget).luns.at(0).size, 4u << 20);
  EXPECT_EQ(Model().at(kTarget).luns.at(0).hosts.count("HostA"), 1u);
  ASSERT_EQ(ReplyCode(resize(1, 3 << 20)), 0);
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 3 << 20);
  EXPECT_EQ(Tree(), saved) << "a resize saves nothing";

  h->ClearJournal();
  for (int64_t bytes : {int64_t(0), int64_t(-512), int64_t(1000), int64_t(1 << 20)}) {
    auto reply = resize(0, bytes);
    EXPECT_EQ(ReplyCode(reply), 4) << bytes;
    EXPECT_EQ(ReplyText(reply).rfind("The LUN cannot take that size: ", 0), 0u) << ReplyText(reply);
  }
  EXPECT_EQ(ReplyCode(resize(5, 8 << 20)), 8);
  EXPECT_TRUE(Calls(*h).empty());

  h->SetFaults({"rbd.ResizeLun"});
  EXPECT_EQ(ReplyCode(resize(0, 8 << 20)), 3);
  EXPECT_EQ(Calls(*h), std::vector<std::string>{"rbd.ResizeLun!"}) << "the engine is left alone";
  EXPECT_EQ(Model().at(kTarget).luns.at(0).size, 4u << 20);
  h->SetFaults({"platform.CreateLun"});
  EXPECT_EQ(ReplyCode(resize(0, 8 << 20)), 2);
  EXPECT_EQ(Model().at(kTarget).luns.at(0).size, 8u << 20) << "the image has the new size";
}

// The RBD settings are checked at the start: what the store and tgtd's
// option string could not carry stops it with the key's name.
TEST(RbdSettings, IdentityAndPoolsAreCheckedWhenRead) {
  struct Case {
    const char *conf, *user, *pools;
    const char* refusal;  // nullptr: taken
  } cases[] = {
      {"/etc/ceph/ceph.conf", "admin", "", nullptr},
      {"/etc/ceph/ceph.conf", "gw-1.a", " rbd , ssd_2 ", nullptr},
      {"ceph.conf", "admin", "rbd", "RbdConfFile"},
      {"/etc/ceph/my ceph.conf", "admin", "rbd", "RbdConfFile"},
      {"/etc/ceph/a;id=admin", "admin", "rbd", "RbdConfFile"},
      {"/etc/ceph/ceph.conf", "client.gw", "rbd", "RbdUser"},
      {"/etc/ceph/ceph.conf", "", "rbd", "RbdUser"},
      {"/etc/ceph/ceph.conf", "gw;x", "rbd", "RbdUser"},
      {"/etc/ceph/ceph.conf", "gw", "rbd/img", "RbdPools"},
      {"/etc/ceph/ceph.conf", "gw", "-rbd", "RbdPools"},
  };
  for (const Case& c : cases) {
    WzScsiSrvBackingStorePolicy policy;
    CRnError e = WzScsiSrvReadRbdPolicy(c.conf, c.user, c.pools, policy);
    if (c.refusal == nullptr) {
      EXPECT_TRUE(e.IsSuccess()) << c.conf << " " << c.user << " " << c.pools << ": " << e.AsString();
      EXPECT_EQ(policy.rbdIdentity, std::string("conf=") + c.conf + ";id=" + c.user);
    } else {
      ASSERT_TRUE(e.IsError()) << c.conf << " " << c.user << " " << c.pools;
      EXPECT_NE(e.AsString().find(c.refusal), std::string::npos) << e.AsString();
      EXPECT_TRUE(policy.rbdIdentity.empty());
    }
  }
  WzScsiSrvBackingStorePolicy policy;
  ASSERT_TRUE(WzScsiSrvReadRbdPolicy("/c", "u", "rbd,ssd_2", policy).IsSuccess());
  EXPECT_EQ(policy.rbdPools, (std::vector<std::string>{"rbd", "ssd_2"}));
}

TEST_F(LunCreate, NotReadyIsRefusedButAnOpenIsServed) {
  ASSERT_EQ(CreateLun(3, "-ssid snap1 -sp SN1"), 0);
  ASSERT_EQ(ReplyCode(h->Send(MakeDeleteLun(kTarget, 0, CloseOnly))), 0);
  h->Service().SetStatus(WzScsiSrv::SVC_NOT_INITIALIZED);
  EXPECT_EQ(ReplyCode(h->Send(MakeCreateLun(kTarget, 2, Args("-path /p -sp A")))), 1);
  EXPECT_EQ(ReplyCode(h->Send(MakeCreateLun(kTarget, 0, "-li 0", OpenOnly | CloseOnly))), 0);
}

}  // namespace
