// The listing commands through Ioctl: line format and order, the "-" lines,
// the filters (case ignored), and the cases that send no reply.
#include <gtest/gtest.h>

#include "drivers/unit_serial.h"
#include "targets/listing.h"
#include "tests/support/service_harness.h"
#include "tests/support/service_test_peer.h"

using namespace wztest;

namespace {

// Puts a LUN with the given hosts straight into the model, so that listing
// is tested on exactly the model it reads.
void AddLun(ServiceHarness& h, const std::string& target, int32_t lunId, int64_t creationTime,
            const std::vector<std::string>& hosts) {
  WzScsiSrvTestPeer(h.Service()).EditTarget(target, [&](WzScsiSrv::Target& t) {
    WzScsiSrv::Lun& lun = t.luns[lunId];
    lun.lunId = lunId;
    lun.targetId = target;
    lun.creationTime = creationTime;
    for (const std::string& host : hosts) lun.hosts[host] = WzScsiSrv::Host(host, "");
  });
}

void AddTarget(ServiceHarness& h, const std::string& target) {
  WzScsiSrvTestPeer(h.Service()).EditTarget(target, [](WzScsiSrv::Target&) {});
}

std::vector<std::string> Results(const std::shared_ptr<CNMessageBase>& reply) {
  auto* rsp = dynamic_cast<WzScsiServer::IoctlRsp*>(reply.get());
  return rsp != nullptr ? rsp->results() : std::vector<std::string>{"<no IoctlRsp>"};
}

// The example model: iqn.2000-01.t:a LUN 0 mapped to B and a, LUN 1 without hosts;
// iqn.2000-01.t:b LUN 3 mapped to a; iqn.2000-01.t:c without LUNs.
void ExampleModel(ServiceHarness& h) {
  AddLun(h, "iqn.2000-01.t:a", 0, 100, {"B", "a"});
  AddLun(h, "iqn.2000-01.t:a", 1, 200, {});
  AddLun(h, "iqn.2000-01.t:b", 3, 300, {"a"});
  AddTarget(h, "iqn.2000-01.t:c");
}

}  // namespace

TEST(Listing, EmptyModelAnswersCodeZeroWithNoLines) {
  ServiceHarness h;
  for (const char* cmd : {"lt", "ll"}) {
    auto reply = h.Send(MakeIoctl(cmd));
    ASSERT_TRUE(reply) << cmd;
    EXPECT_EQ(reply->getTagID(), WzScsiServer::kIoctlRsp.tagId);
    EXPECT_EQ(ReplyCode(reply), 0) << cmd;
    EXPECT_TRUE(Results(reply).empty()) << cmd;
    auto* rsp = dynamic_cast<WzScsiServer::Reply*>(reply.get());
    ASSERT_NE(rsp->error(), nullptr);
    EXPECT_FALSE(rsp->error()->hasErrorMessage());
  }
}

TEST(Listing, TargetsAreListedInByteOrderWhateverTheCreationOrder) {
  ServiceHarness h;
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:b"))), 0);
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("IQN.2000-01.t:A"))), 0);
  auto reply = h.Send(MakeIoctl("lt"));
  EXPECT_EQ(Results(reply), (std::vector<std::string>{"iqn.2000-01.t:a", "iqn.2000-01.t:b"}));
  // The context comes back with the reply.
  auto* rsp = dynamic_cast<WzScsiServer::Reply*>(reply.get());
  ASSERT_NE(rsp, nullptr);
  EXPECT_NE(rsp->getObject(WzScsiServer::Fields::kContext.slot), nullptr);
}

TEST(Listing, AllLunsOneLinePerHostInByteOrderAndADashForLunsWithoutHosts) {
  ServiceHarness h;
  ExampleModel(h);
  EXPECT_EQ(Results(h.Send(MakeIoctl("ll"))),
            (std::vector<std::string>{"iqn.2000-01.t:a#B#0#100", "iqn.2000-01.t:a#a#0#100", "iqn.2000-01.t:a#-#1#200",
                                      "iqn.2000-01.t:b#a#3#300"}));
}

TEST(Listing, FiltersIgnoreCaseAndApplyInEveryMode) {
  ServiceHarness h;
  ExampleModel(h);
  const std::vector<std::string> targetA{"iqn.2000-01.t:a#B#0#100", "iqn.2000-01.t:a#a#0#100",
                                         "iqn.2000-01.t:a#-#1#200"};
  EXPECT_EQ(Results(h.Send(MakeIoctl("llt", "-ti IQN.2000-01.t:A"))), targetA);
  EXPECT_EQ(Results(h.Send(MakeIoctl("ll", "-ti iqn.2000-01.t:A"))), targetA);

  // A host filter drops the LUN without hosts; "A" matches host "a" only,
  // not "B", and matches on every target.
  const std::vector<std::string> hostA{"iqn.2000-01.t:a#a#0#100", "iqn.2000-01.t:b#a#3#300"};
  EXPECT_EQ(Results(h.Send(MakeIoctl("llh", "-hi A"))), hostA);
  EXPECT_EQ(Results(h.Send(MakeIoctl("ll", "-hi a"))), hostA);
  EXPECT_EQ(Results(h.Send(MakeIoctl("llh", "-hi a -ti iqn.2000-01.t:b"))),
            (std::vector<std::string>{"iqn.2000-01.t:b#a#3#300"}));

  auto none = h.Send(MakeIoctl("llt", "-ti iqn.2000-01.t:zzz"));
  EXPECT_EQ(ReplyCode(none), 0);
  EXPECT_TRUE(Results(none).empty());
}

TEST(Listing, MissingRequiredOptionIsRefusedWithCodeFour) {
  ServiceHarness h;
  ExampleModel(h);
  struct Case {
    const char* command;
    const char* arguments;
    const char* text;
  };
  for (const Case& c :
       {Case{"llh", "", "Host id not specified"}, Case{"llh", "-ti iqn.2000-01.t:a", "Host id not specified"},
        Case{"llt", "-hi a", "Target id not specified"}, Case{"llt", "-ti \"\"", "Target id not specified"}}) {
    auto reply = h.Send(MakeIoctl(c.command, c.arguments));
    EXPECT_EQ(ReplyCode(reply), 4) << c.command << " " << c.arguments;
    EXPECT_EQ(ReplyText(reply), c.text) << c.command << " " << c.arguments;
  }
}

TEST(Listing, CreationTimeIsPrintedUnsignedAndLunNumbersSigned) {
  ServiceHarness h;
  AddLun(h, "iqn.2000-01.t:t", -1, 4102444800LL, {});
  AddLun(h, "iqn.2000-01.t:t", 70000, 1, {"Host-X"});
  EXPECT_EQ(Results(h.Send(MakeIoctl("ll"))),
            (std::vector<std::string>{"iqn.2000-01.t:t#-#-1#4102444800", "iqn.2000-01.t:t#Host-X#70000#1"}));
}

TEST(Listing, NeverTouchesTheActionLogNorTheDrivers) {
  ServiceHarness h;
  ExampleModel(h);
  h.ClearJournal();
  for (const char* cmd : {"lt", "ll", "llt", "llh"}) h.Send(MakeIoctl(cmd, "-ti iqn.2000-01.t:a -hi a"));
  EXPECT_FALSE(CRnPath::Exists(h.ActionLogRoot() + "/Targets"));
  EXPECT_TRUE(h.Journal().empty());
}

TEST(Listing, AListingThatCannotBeSentIsAnsweredWithAFailure) {
  ServiceHarness h;
  ExampleModel(h);
  h.Net().FailNextSends(1);
  auto reply = h.Send(MakeIoctl("ll"));
  EXPECT_EQ(ReplyCode(reply), 1);
  EXPECT_EQ(ReplyText(reply), "Failed to send the listing; narrow it with -ti or -hi");
  EXPECT_TRUE(Results(reply).empty());
  EXPECT_TRUE(h.Log().Contains("SendXMLMessage error injected send failure"));
}

// "ls": one record per object whose values no description, path or host id
// can break apart; CHAP shows its users and never a secret; closed LUNs and
// sizes read from the backing file; the filters and their refusals.
TEST(Listing, DetailRecordsAreUnforgeableAndKeepSecretsOut) {
  ServiceHarness h;
  const std::string disk = h.Root() + "/my disk=1.img";
  WriteFile(disk, std::string(4096, 'x'));
  WzScsiSrvTestPeer(h.Service()).EditTarget("iqn.2000-01.t:a", [&](WzScsiSrv::Target& t) {
    t.targetDesc = "finance lun=7 hosts=evil,x 100%\nkind";
    t.chap.enabled = true;
    t.chap.user = "alice";
    t.chap.secret = "s3cretSecret1";
    t.chap.mutualUser = "tgt";
    t.chap.mutualSecret = "mutualSecret9";
    WzScsiSrv::Lun& open = t.luns[0];
    open.lunId = 0;
    open.targetId = "iqn.2000-01.t:a";
    open.bstorType = WzScsiServer::BSTOR_BLKDEV;
    open.path = disk;
    open.serialPrefix = "SP";
    open.creationTime = 100;
    open.hosts["iqn.2000-01.t:h,1"] = WzScsiSrv::Host("iqn.2000-01.t:h,1", "");
    open.hosts["iqn.2000-01.t:h2"] = WzScsiSrv::Host("iqn.2000-01.t:h2", "");
    WzScsiSrv::Lun& closed = t.luns[3];
    closed.lunId = 3;
    closed.targetId = "iqn.2000-01.t:a";
    closed.bstorType = WzScsiServer::BSTOR_DEVSNAP;
    closed.path = h.Root() + "/gone.snap";
    closed.serialPrefix = "SNAP";
    closed.creationTime = 200;
    closed.closed = true;
    // An RBD image: its size is the one the service gave it, never a stat of
    // POOL/IMAGE as a relative path.
    WzScsiSrv::Lun& rbd = t.luns[5];
    rbd.lunId = 5;
    rbd.targetId = "iqn.2000-01.t:a";
    rbd.bstorType = WzScsiServer::BSTOR_RBD;
    rbd.path = "rbd/img";
    rbd.size = 64ull << 20;
    rbd.serialPrefix = "RBD";
    rbd.creationTime = 300;
  });
  AddTarget(h, "iqn.2000-01.t:b");

  std::string encodedDisk;
  for (char c : disk) encodedDisk += c == ' ' ? "%20" : c == '=' ? "%3D" : std::string(1, c);
  const std::string targetA =
      "target name=iqn.2000-01.t:a desc=finance%20lun%3D7%20hosts%3Devil%2Cx%20100%25%0Akind chap=on chapUser=alice "
      "mutualUser=tgt luns=3 restored=yes";
  const std::string targetB = "target name=iqn.2000-01.t:b desc= chap=off chapUser= mutualUser= luns=0 restored=yes";
  const std::string lun0 = "lun target=iqn.2000-01.t:a lun=0 type=blkdev path=" + encodedDisk +
                           " size=4096 serial=" + WzScsiSrvUnitSerial("SP", "iqn.2000-01.t:a", 0) +
                           " closed=no hosts=iqn.2000-01.t:h%2C1,iqn.2000-01.t:h2 created=100";
  const std::string lun3 = "lun target=iqn.2000-01.t:a lun=3 type=devsnap path=" + h.Root() +
                           "/gone.snap size=- serial=" + WzScsiSrvUnitSerial("SNAP", "iqn.2000-01.t:a", 3) +
                           " closed=yes hosts= created=200";
  const std::string lun5 = "lun target=iqn.2000-01.t:a lun=5 type=rbd path=rbd/img size=67108864 serial=" +
                           WzScsiSrvUnitSerial("RBD", "iqn.2000-01.t:a", 5) + " closed=no hosts= created=300";

  const std::vector<std::string> all = Results(h.Send(MakeIoctl("ls")));
  EXPECT_EQ(all, (std::vector<std::string>{targetA, targetB, lun0, lun3, lun5}));
  for (const std::string& line : all) {
    EXPECT_EQ(line.find("ecret"), std::string::npos) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
  }

  EXPECT_EQ(Results(h.Send(MakeIoctl("ls", "-kind target -ti IQN.2000-01.t:A"))), (std::vector<std::string>{targetA}));
  EXPECT_EQ(Results(h.Send(MakeIoctl("ls", "-kind lun -ti iqn.2000-01.t:a -li 3"))), (std::vector<std::string>{lun3}));
  EXPECT_EQ(Results(h.Send(MakeIoctl("ls", "-kind lun -ti iqn.2000-01.t:b"))), std::vector<std::string>{});

  auto noTarget = h.Send(MakeIoctl("ls", "-li 3"));
  EXPECT_EQ(ReplyCode(noTarget), 4);
  EXPECT_EQ(ReplyText(noTarget), "Target id not specified");
  for (const char* bad : {"-ti iqn.2000-01.t:a -li x", "-kind disks", "-after x", "-after t/iqn.2000-01.t:a",
                          "-after q/iqn.2000-01.t:a/-1", "-after l/iqn.2000-01.t:a/x"})
    EXPECT_EQ(ReplyCode(h.Send(MakeIoctl("ls", bad))), 4) << bad;

  // After a cursor: the records that follow it, whatever is left of its kind.
  EXPECT_EQ(Results(h.Send(MakeIoctl("ls", "-after t/iqn.2000-01.t:a/-1"))),
            (std::vector<std::string>{targetB, lun0, lun3, lun5}));
  EXPECT_EQ(Results(h.Send(MakeIoctl("ls", "-after l/iqn.2000-01.t:a/0"))), (std::vector<std::string>{lun3, lun5}));
  EXPECT_EQ(Results(h.Send(MakeIoctl("ls", "-after l/iqn.2000-01.t:a/5"))), std::vector<std::string>{});
}

// Large descriptions: "ls" answers in pages of about 1 MiB (at least one
// record each), the last line of each but the last naming where the next
// begins; followed to the end they hold every record once, in order.
TEST(Listing, DetailRecordsComeInPagesThatTogetherHoldEveryRecordOnce) {
  ServiceHarness h;
  std::vector<std::string> names;
  for (int i = 0; i < 4; ++i) {
    names.push_back("iqn.p" + std::to_string(i));
    WzScsiSrvTestPeer(h.Service()).EditTarget(names.back(), [&](WzScsiSrv::Target& t) {
      t.targetDesc = std::string(i == 2 ? 1500000 : 400000, 'd');
      WzScsiSrv::Lun& lun = t.luns[1];
      lun.lunId = 1;
      lun.targetId = names.back();
      lun.bstorType = WzScsiServer::BSTOR_BLKDEV;
      lun.path = "/nowhere/disk" + std::to_string(i);
    });
  }
  std::vector<std::string> records;
  std::vector<size_t> pages;
  std::string after;
  for (int page = 0; page < 20; ++page) {
    std::vector<std::string> lines = Results(h.Send(MakeIoctl("ls", after.empty() ? "" : "-after " + after)));
    ASSERT_FALSE(lines.empty());
    const bool more = lines.back().compare(0, 11, "more after=") == 0;
    if (more) {
      after = lines.back().substr(11);
      lines.pop_back();
      ASSERT_FALSE(lines.empty()) << "a page holds at least one record";
    }
    size_t bytes = 0;
    for (const std::string& l : lines) bytes += l.size();
    EXPECT_TRUE(lines.size() == 1 || bytes <= kWzScsiSrvDetailPageBytes) << bytes;
    pages.push_back(lines.size());
    records.insert(records.end(), lines.begin(), lines.end());
    if (!more) break;
  }
  EXPECT_EQ(pages, (std::vector<size_t>{2, 1, 5})) << "two small, the large one alone, the rest";
  ASSERT_EQ(records.size(), 8u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(records[i].compare(0, 17 + names[i].size(), "target name=" + names[i] + " desc"), 0) << i;
    EXPECT_EQ(records[4 + i].compare(0, 17 + names[i].size(), "lun target=" + names[i] + " lun=1"), 0) << i;
  }
}
