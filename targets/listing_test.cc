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

// The example model: iqn.a LUN 0 mapped to B and a, LUN 1 without hosts;
// iqn.b LUN 3 mapped to a; iqn.c without LUNs.
void ExampleModel(ServiceHarness& h) {
  AddLun(h, "iqn.a", 0, 100, {"B", "a"});
  AddLun(h, "iqn.a", 1, 200, {});
  AddLun(h, "iqn.b", 3, 300, {"a"});
  AddTarget(h, "iqn.c");
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
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.b"))), 0);
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("IQN.A"))), 0);
  auto reply = h.Send(MakeIoctl("lt"));
  EXPECT_EQ(Results(reply), (std::vector<std::string>{"iqn.a", "iqn.b"}));
  // The context comes back with the reply.
  auto* rsp = dynamic_cast<WzScsiServer::Reply*>(reply.get());
  ASSERT_NE(rsp, nullptr);
  EXPECT_NE(rsp->getObject(WzScsiServer::Fields::kContext.slot), nullptr);
}

TEST(Listing, AllLunsOneLinePerHostInByteOrderAndADashForLunsWithoutHosts) {
  ServiceHarness h;
  ExampleModel(h);
  EXPECT_EQ(Results(h.Send(MakeIoctl("ll"))),
            (std::vector<std::string>{"iqn.a#B#0#100", "iqn.a#a#0#100", "iqn.a#-#1#200", "iqn.b#a#3#300"}));
}

TEST(Listing, FiltersIgnoreCaseAndApplyInEveryMode) {
  ServiceHarness h;
  ExampleModel(h);
  const std::vector<std::string> targetA{"iqn.a#B#0#100", "iqn.a#a#0#100", "iqn.a#-#1#200"};
  EXPECT_EQ(Results(h.Send(MakeIoctl("llt", "-ti IQN.A"))), targetA);
  EXPECT_EQ(Results(h.Send(MakeIoctl("ll", "-ti iqn.A"))), targetA);

  // A host filter drops the LUN without hosts; "A" matches host "a" only,
  // not "B", and matches on every target.
  const std::vector<std::string> hostA{"iqn.a#a#0#100", "iqn.b#a#3#300"};
  EXPECT_EQ(Results(h.Send(MakeIoctl("llh", "-hi A"))), hostA);
  EXPECT_EQ(Results(h.Send(MakeIoctl("ll", "-hi a"))), hostA);
  EXPECT_EQ(Results(h.Send(MakeIoctl("llh", "-hi a -ti iqn.b"))), (std::vector<std::string>{"iqn.b#a#3#300"}));

  auto none = h.Send(MakeIoctl("llt", "-ti iqn.zzz"));
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
       {Case{"llh", "", "Host id not specified"}, Case{"llh", "-ti iqn.a", "Host id not specified"},
        Case{"llt", "-hi a", "Target id not specified"}, Case{"llt", "-ti \"\"", "Target id not specified"}}) {
    auto reply = h.Send(MakeIoctl(c.command, c.arguments));
    EXPECT_EQ(ReplyCode(reply), 4) << c.command << " " << c.arguments;
    EXPECT_EQ(ReplyText(reply), c.text) << c.command << " " << c.arguments;
  }
}

TEST(Listing, CreationTimeIsPrintedUnsignedAndLunNumbersSigned) {
  ServiceHarness h;
  AddLun(h, "iqn.t", -1, 4102444800LL, {});
  AddLun(h, "iqn.t", 70000, 1, {"Host-X"});
  EXPECT_EQ(Results(h.Send(MakeIoctl("ll"))),
            (std::vector<std::string>{"iqn.t#-#-1#4102444800", "iqn.t#Host-X#70000#1"}));
}

TEST(Listing, NeverTouchesTheActionLogNorTheDrivers) {
  ServiceHarness h;
  ExampleModel(h);
  h.ClearJournal();
  for (const char* cmd : {"lt", "ll", "llt", "llh"}) h.Send(MakeIoctl(cmd, "-ti iqn.a -hi a"));
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
  WzScsiSrvTestPeer(h.Service()).EditTarget("iqn.a", [&](WzScsiSrv::Target& t) {
    t.targetDesc = "finance lun=7 hosts=evil,x 100%\nkind";
    t.chap.enabled = true;
    t.chap.user = "alice";
    t.chap.secret = "s3cretSecret1";
    t.chap.mutualUser = "tgt";
    t.chap.mutualSecret = "mutualSecret9";
    WzScsiSrv::Lun& open = t.luns[0];
    open.lunId = 0;
    open.targetId = "iqn.a";
    open.bstorType = WzScsiServer::BSTOR_BLKDEV;
    open.path = disk;
    open.serialPrefix = "SP";
    open.creationTime = 100;
    open.hosts["iqn.h,1"] = WzScsiSrv::Host("iqn.h,1", "");
    open.hosts["iqn.h2"] = WzScsiSrv::Host("iqn.h2", "");
    WzScsiSrv::Lun& closed = t.luns[3];
    closed.lunId = 3;
    closed.targetId = "iqn.a";
    closed.bstorType = WzScsiServer::BSTOR_DEVSNAP;
    closed.path = h.Root() + "/gone.snap";
    closed.serialPrefix = "SNAP";
    closed.creationTime = 200;
    closed.closed = true;
  });
  AddTarget(h, "iqn.b");

  std::string encodedDisk;
  for (char c : disk) encodedDisk += c == ' ' ? "%20" : c == '=' ? "%3D" : std::string(1, c);
  const std::string targetA =
      "target name=iqn.a desc=finance%20lun%3D7%20hosts%3Devil%2Cx%20100%25%0Akind chap=on chapUser=alice "
      "mutualUser=tgt luns=2 restored=yes";
  const std::string targetB = "target name=iqn.b desc= chap=off chapUser= mutualUser= luns=0 restored=yes";
  const std::string lun0 = "lun target=iqn.a lun=0 type=blkdev path=" + encodedDisk +
                           " size=4096 serial=" + WzScsiSrvUnitSerial("SP", "iqn.a", 0) +
                           " closed=no hosts=iqn.h%2C1,iqn.h2 created=100";
  const std::string lun3 = "lun target=iqn.a lun=3 type=devsnap path=" + h.Root() +
                           "/gone.snap size=- serial=" + WzScsiSrvUnitSerial("SNAP", "iqn.a", 3) +
                           " closed=yes hosts= created=200";

  const std::vector<std::string> all = Results(h.Send(MakeIoctl("ls")));
  EXPECT_EQ(all, (std::vector<std::string>{targetA, targetB, lun0, lun3}));
  for (const std::string& line : all) {
    EXPECT_EQ(line.find("ecret"), std::string::npos) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
  }

  EXPECT_EQ(Results(h.Send(MakeIoctl("ls", "-kind target -ti IQN.A"))), (std::vector<std::string>{targetA}));
  EXPECT_EQ(Results(h.Send(MakeIoctl("ls", "-kind lun -ti iqn.a -li 3"))), (std::vector<std::string>{lun3}));
  EXPECT_EQ(Results(h.Send(MakeIoctl("ls", "-kind lun -ti iqn.b"))), std::vector<std::string>{});

  auto noTarget = h.Send(MakeIoctl("ls", "-li 3"));
  EXPECT_EQ(ReplyCode(noTarget), 4);
  EXPECT_EQ(ReplyText(noTarget), "Target id not specified");
  for (const char* bad :
       {"-ti iqn.a -li x", "-kind disks", "-after x", "-after t/iqn.a", "-after q/iqn.a/-1", "-after l/iqn.a/x"})
    EXPECT_EQ(ReplyCode(h.Send(MakeIoctl("ls", bad))), 4) << bad;

  // After a cursor: the records that follow it, whatever is left of its kind.
  EXPECT_EQ(Results(h.Send(MakeIoctl("ls", "-after t/iqn.a/-1"))), (std::vector<std::string>{targetB, lun0, lun3}));
  EXPECT_EQ(Results(h.Send(MakeIoctl("ls", "-after l/iqn.a/0"))), (std::vector<std::string>{lun3}));
  EXPECT_EQ(Results(h.Send(MakeIoctl("ls", "-after l/iqn.a/3"))), std::vector<std::string>{});
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
