// The client's requests as the service will read them, and its reading of
// replies: argument strings that survive the service's option parser,
// context flags, the error record wherever a reply class keeps it, listing
// lines, and JSON that a strict parser accepts.
#include "apps/wzscsictl/ctl_lib.h"

#include <gtest/gtest.h>

#include <sstream>

#include "hostlib/util/CCommandLineArguments.h"
#include "messages/WzScsiServerMessages.h"

namespace {

using namespace WzScsiServer;

std::string Option(const std::string& args, const std::string& name) {
  std::string v = "<absent>";
  CRnError e = CCommandLineArguments(args.c_str()).GetOption(name, v);
  (void)e;
  return v;
}

TEST(CtlLunArgs, TypeNamesAndNumbers) {
  int64_t t = 0;
  ASSERT_TRUE(WzCtl::ParseLunType("kernel", t).IsSuccess());
  EXPECT_EQ(t, 1);
  ASSERT_TRUE(WzCtl::ParseLunType("BlkDev", t).IsSuccess());
  EXPECT_EQ(t, 2);
  ASSERT_TRUE(WzCtl::ParseLunType("DEVSNAP", t).IsSuccess());
  EXPECT_EQ(t, 3);
  ASSERT_TRUE(WzCtl::ParseLunType("fsblb", t).IsSuccess());
  EXPECT_EQ(t, 4);
  ASSERT_TRUE(WzCtl::ParseLunType("RBD", t).IsSuccess());
  EXPECT_EQ(t, 7);
  ASSERT_TRUE(WzCtl::ParseLunType("5", t).IsSuccess());
  EXPECT_EQ(t, 5);
  for (const char* bad : {"", "blk", "2x", "kernel ", "9999999999999999999999"})
    EXPECT_TRUE(WzCtl::ParseLunType(bad, t).IsError()) << bad;
}

// Whatever the user gives, the service's parser must read back exactly it.
TEST(CtlLunArgs, ValuesSurviveTheServiceParser) {
  WzCtl::LunCreateArgs cfg;
  cfg.target = "iqn.2024-01.com.example:A";
  cfg.path = "/srv/my disk \"one\"\\x.img";
  cfg.serial = "AB12";
  cfg.hasSize = true;
  cfg.size = 1ull << 40;
  std::string args = WzCtl::BuildLunArgs(cfg);
  EXPECT_EQ(args.compare(0, 5, " -ti "), 0) << args;
  EXPECT_EQ(Option(args, "ti"), "iqn.2024-01.com.example:a") << "the drivers get the stored name";
  EXPECT_EQ(Option(args, "path"), cfg.path);
  EXPECT_EQ(Option(args, "sp"), "AB12");
  EXPECT_EQ(Option(args, "size"), "1099511627776");
  EXPECT_EQ(Option(args, "ssid"), "<absent>");

  // A value that looks like an option stays a value.
  cfg.path.clear();
  cfg.ssid = "-snap1";
  cfg.hasSize = false;
  cfg.rawArgs = "-usesnapinfocache";
  args = WzCtl::BuildLunArgs(cfg);
  EXPECT_EQ(Option(args, "ssid"), "-snap1");
  EXPECT_EQ(Option(args, "path"), "<absent>");
  EXPECT_EQ(Option(args, "size"), "<absent>");
  EXPECT_EQ(Option(args, "usesnapinfocache"), "");
}

// A relative --path means the client's directory, which the service does
// not share: it is made absolute before sending.
TEST(CtlLunArgs, RelativePathsBecomeAbsoluteInTheClientsDirectory) {
  const struct {
    const char* dir;
    const char* path;
    const char* sent;
  } cases[] = {
      {"/srv/disks", "disk2.img", "/srv/disks/disk2.img"},
      {"/srv/disks", "./disk2.img", "/srv/disks/disk2.img"},
      {"/srv/disks", ".//a/b.img", "/srv/disks/a/b.img"},
      {"/srv/disks", "../other/b.img", "/srv/disks/../other/b.img"},
      {"/srv/disks", ".", "/srv/disks"},
      {"/", "srv/a.img", "/srv/a.img"},
      {"/srv/disks", "/abs/a.img", "/abs/a.img"},
      {"/srv/disks", "", ""},
      // Left for the service to refuse with its reason, not hidden inside.
      {"/srv/disks", " a.img", " a.img"},
  };
  for (const auto& c : cases) EXPECT_EQ(WzCtl::AbsolutePathIn(c.dir, c.path), c.sent) << c.dir << " " << c.path;
}

// Sizes as operators write them; a typo must not become a smaller disk.
TEST(CtlLunArgs, SizesWithUnits) {
  const struct {
    const char* text;
    uint64_t bytes;  // 0: refused
  } cases[] = {
      {"512", 512},
      {"10G", 10ull << 30},
      {"64MiB", 64ull << 20},
      {"1t", 1ull << 40},
      {"4kb", 4096},
      {"18446744073709551615", UINT64_MAX},
      {"", 0},
      {"G", 0},
      {"10 G", 0},
      {"10GB2", 0},
      {"1.5G", 0},
      {"10X", 0},
      {"-1", 0},
      {"18446744073709551616", 0},
      {"17179869184G", 0},
  };
  for (const auto& c : cases) {
    uint64_t bytes = 7;
    CRnError e = WzCtl::ParseByteSize(c.text, bytes);
    if (c.bytes == 0) {
      EXPECT_TRUE(e.IsError()) << c.text;
      EXPECT_EQ(bytes, 7u) << c.text;
    } else {
      ASSERT_TRUE(e.IsSuccess()) << c.text << ": " << e.AsString();
      EXPECT_EQ(bytes, c.bytes) << c.text;
    }
  }
  WzCtl::LunCreateArgs cfg;
  cfg.target = "iqn.a";
  cfg.path = "rbd/img";
  cfg.serial = "R1";
  cfg.existing = true;
  const std::string args = WzCtl::BuildLunArgs(cfg);
  EXPECT_EQ(Option(args, "existing"), "1") << args;
  EXPECT_EQ(Option(args, "size"), "<absent>") << args;
}

TEST(CtlRequests, StartMatchesTheDocumentedFrame) {
  // docs/protocol-frames.md shows this request byte for byte.
  std::string xml;
  ASSERT_EQ(WzCtl::MakeStart(0)->serialize(xml, false), 0);
  EXPECT_EQ(xml,
            "<msg group=\"75\" number=\"9\" tag=\"0x4BBAA58D\" name=\"StartScsiService\"><obj slot=\"1\" num=\"1\" "
            "key=\"72406\" group=\"75\" number=\"16\" tag=\"0x4B011AD6\" name=\"RequestContext\"/></msg>");
}

TEST(CtlRequests, FlagsAndFieldsOfTheLunRequests) {
  auto del = WzCtl::MakeDeleteLun("iqn.a", 7, true, 4);
  auto* d = dynamic_cast<DeleteLun*>(del.get());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->contextFlags(), 4 | WzCtl::kFlagCloseOnly);
  EXPECT_EQ(d->lunId(), 7);
  EXPECT_EQ(dynamic_cast<DeleteLun*>(WzCtl::MakeDeleteLun("iqn.a", 7, false, 0).get())->contextFlags(), 0);

  auto open = WzCtl::MakeOpenLun("iqn.a", 3, 0);
  auto* o = dynamic_cast<CreateLun*>(open.get());
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->contextFlags(), WzCtl::kFlagOpenOnly);
  EXPECT_EQ(o->targetId(), "iqn.a");
  EXPECT_EQ(Option(o->bstoreDesc().args(), "li"), "3");

  WzCtl::LunCreateArgs cfg;
  cfg.target = "iqn.a";
  cfg.type = 3;
  cfg.ssid = "s1";
  cfg.serial = "X";
  auto create = WzCtl::MakeCreateLun(cfg, 0);
  auto* c = dynamic_cast<CreateLun*>(create.get());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->bstorType(), 3);
  EXPECT_EQ(Option(c->bstoreDesc().args(), "ssid"), "s1");

  auto map = WzCtl::MakeMapHost("iqn.a", 2, "Host-A", 0);
  auto* m = dynamic_cast<MapLun2Host*>(map.get());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->hostId(), "Host-A");
  EXPECT_EQ(m->lunId(), 2);
}

TEST(CtlRequests, ListingFiltersUseTheServiceOptions) {
  auto list = WzCtl::MakeListLuns("iqn.a", "host one", 0);
  auto* l = dynamic_cast<Ioctl*>(list.get());
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->command(), "ll");
  EXPECT_EQ(Option(l->arguments(), "ti"), "iqn.a");
  EXPECT_EQ(Option(l->arguments(), "hi"), "host one");
  auto none = WzCtl::MakeListLuns("", "", 0);
  EXPECT_FALSE(none->hasField(Fields::kArguments.slot));
}

TEST(CtlReplies, ErrorRecordWhereverTheClassKeepsIt) {
  CreateLunRsp lun;
  Error e;
  e.setErrorCode(0);
  lun.setError(e);  // 4/7
  lun.setLunId(12);
  lun.setSerialPrefix("AB");
  WzCtl::ReplyView v = WzCtl::ViewReply(lun);
  EXPECT_EQ(v.replyClass, "CreateLunRsp");
  EXPECT_TRUE(v.hasError);
  EXPECT_TRUE(v.hasLunId);
  EXPECT_EQ(v.lunId, 12);
  EXPECT_EQ(v.serialPrefix, "AB");
  EXPECT_EQ(WzCtl::ExitCodeFor(v), WzCtl::kExitOk);

  // Parsed back from XML (as the client receives it) it reads the same.
  std::string xml;
  e.setErrorCode(8);
  e.setErrorMessage("Given target,lun does not exist.");
  IoctlRsp io;
  io.setError(e);
  io.setResults({"a", "b"});
  ASSERT_EQ(io.serialize(xml, false), 0);
  auto parsed = CNMessageBase::ParseXml(xml.data(), xml.size(), nullptr);
  ASSERT_TRUE(parsed);
  v = WzCtl::ViewReply(*parsed);
  EXPECT_EQ(v.errorCode, 8);
  EXPECT_EQ(v.errorMessage, "Given target,lun does not exist.");
  EXPECT_FALSE(v.hasLunId);
  EXPECT_EQ(v.results, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(WzCtl::ExitCodeFor(v), WzCtl::kExitFailed);

  // A message with no Error record at all is not a failure.
  EXPECT_EQ(WzCtl::ExitCodeFor(WzCtl::ViewReply(StartScsiService())), WzCtl::kExitOk);
}

// The lines after a refusal's first: the first stays what scripts match, the
// others become the object, the meaning and the next step, in the rendering
// and in JSON; a reply without them reads as before.
TEST(CtlReplies, RefusalLinesNameTheObjectAndTheNextStep) {
  MapLun2HostRsp rsp;
  Error e;
  e.set(8,
        "Host is already mapped to the lun\nobject: host h1, LUN 0 of target iqn.2024-01.com.example:t\n"
        "meaning: already mapped\nnext: nothing to do: the host can reach the LUN already");
  rsp.setError(e);
  std::string xml;
  ASSERT_EQ(rsp.serialize(xml, false), 0);
  auto parsed = CNMessageBase::ParseXml(xml.data(), xml.size(), nullptr);
  ASSERT_TRUE(parsed);
  const WzCtl::ReplyView v = WzCtl::ViewReply(*parsed);
  EXPECT_EQ(v.errorMessage, "Host is already mapped to the lun");
  EXPECT_EQ(WzCtl::FormatFailure(v),
            "wzscsictl: Host is already mapped to the lun (host h1, LUN 0 of target iqn.2024-01.com.example:t; "
            "error 8, already mapped)\n  next: nothing to do: the host can reach the LUN already\n");
  EXPECT_EQ(WzCtl::ReplyJson(v, false),
            "{\"reply\":\"MapLun2HostRsp\",\"errorCode\":8,\"errorMessage\":\"Host is already mapped to the lun\","
            "\"object\":\"host h1, LUN 0 of target iqn.2024-01.com.example:t\",\"meaning\":\"already mapped\","
            "\"next\":\"nothing to do: the host can reach the LUN already\"}");
  WzCtl::ReplyView plain;
  plain.replyClass = "DeleteTargetRsp";
  plain.hasError = true;
  plain.errorCode = 9;
  plain.errorMessage = "Target has configured LUNs";
  EXPECT_EQ(WzCtl::FormatFailure(plain),
            "wzscsictl: Target has configured LUNs (error 9, the object still has dependants)\n");
  EXPECT_EQ(WzCtl::ClientErrorJson("cannot reach wzscsid at /s: x", "start it", 2),
            "{\"error\":\"cannot reach wzscsid at /s: x\",\"next\":\"start it\",\"exitCode\":2}");
}

// Status times read as the listings' (ISO 8601), in JSON beside the number.
TEST(CtlReplies, StatusTimesInIso8601) {
  WzCtl::ReplyView v;
  v.replyClass = "IoctlRsp";
  v.hasError = true;
  v.results = {"replay.startedAt=1700000000", "dryRun.why=request", "dryRun.startedAt=0"};
  const std::string text = WzCtl::FormatStatus(v);
  EXPECT_NE(text.find("replay.startedAt  2023-11-14T22:13:20Z\n"), std::string::npos) << text;
  EXPECT_NE(text.find("dryRun.startedAt  1970-01-01T00:00:00Z\n"), std::string::npos) << text;
  const std::string json = WzCtl::StatusJson(v);
  EXPECT_NE(json.find("\"replay.startedAt\":1700000000,\"replay.started\":\"2023-11-14T22:13:20Z\""), std::string::npos)
      << json;
}

TEST(CtlReplies, LunTuplesAndTimes) {
  WzCtl::LunTuple t;
  ASSERT_TRUE(WzCtl::ParseLunTuple("iqn.a#host-a#3#1700000000", t));
  EXPECT_EQ(t.target, "iqn.a");
  EXPECT_EQ(t.host, "host-a");
  EXPECT_EQ(t.lun, 3);
  EXPECT_EQ(t.creationTime, 1700000000u);
  ASSERT_TRUE(WzCtl::ParseLunTuple("iqn.a#-#-1#0", t));
  EXPECT_EQ(t.host, "-");
  EXPECT_EQ(t.lun, -1);
  // A line with a "#" too many (a forged host id "evil#7#0" of an old
  // server) is refused rather than read as another target or LUN.
  for (const char* bad : {"", "iqn.a", "a#b#c", "a#b#1#", "a#b#x#5", "a##1#5", "#h#1#5", "a#h#1#-5", "t#evil#7#0#1#123",
                          "iqn.a#b#-#-1#0"})
    EXPECT_FALSE(WzCtl::ParseLunTuple(bad, t)) << bad;

  EXPECT_EQ(WzCtl::IsoUtc(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(WzCtl::IsoUtc(1700000000), "2023-11-14T22:13:20Z");
}

TEST(CtlJson, StringsAreAlwaysValidJson) {
  EXPECT_EQ(WzCtl::JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(WzCtl::JsonString("l1\nl2\t\x01"), "\"l1\\nl2\\t\\u0001\"");
  EXPECT_EQ(WzCtl::JsonString("caf\xC3\xA9 \xE2\x82\xAC"), "\"caf\xC3\xA9 \xE2\x82\xAC\"");
  // Invalid UTF-8: a lone continuation byte, a truncated sequence, an
  // overlong slash and an encoded surrogate.
  EXPECT_EQ(WzCtl::JsonString("\x80x\xC3"), "\"\\ufffdx\\ufffd\"");
  EXPECT_EQ(WzCtl::JsonString("\xC0\xAF"), "\"\\ufffd\\ufffd\"");
  // C1 controls (U+009B is CSI to many terminals) escaped; U+00A0 is text.
  EXPECT_EQ(WzCtl::JsonString("a\xC2\x9B"
                              "2J\xC2\x85\xC2\xA0"),
            "\"a\\u009b2J\\u0085\xC2\xA0\"");
  EXPECT_EQ(WzCtl::JsonString("\xED\xA0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");
}

TEST(CtlJson, OneObjectWithTheFieldsTheReplyHas) {
  WzCtl::ReplyView v;
  v.replyClass = "DeleteTargetRsp";
  v.hasError = true;
  v.errorCode = 9;
  v.errorMessage = "Target has configured LUNs";
  EXPECT_EQ(WzCtl::ReplyJson(v, true),
            "{\"reply\":\"DeleteTargetRsp\",\"errorCode\":9,\"errorMessage\":\"Target has configured LUNs\"}");
  v.replyClass = "IoctlRsp";
  v.errorCode = 0;
  v.errorMessage.clear();
  v.hasResults = true;
  v.results = {"iqn.a#-#0#0", "not a tuple"};
  EXPECT_EQ(WzCtl::ReplyJson(v, true),
            "{\"reply\":\"IoctlRsp\",\"errorCode\":0,\"errorMessage\":\"\",\"results\":[\"iqn.a#-#0#0\",\"not a "
            "tuple\"],\"luns\":[{\"target\":\"iqn.a\",\"host\":\"\",\"lun\":0,\"creationTime\":0,\"created\":\"1970-01-"
            "01T00:00:00Z\"}]}");
  EXPECT_EQ(WzCtl::ReplyJson(v, false).find("luns"), std::string::npos);
}

// A description cannot drive the terminal: C0, C1 (as UTF-8 or as a lone
// byte) and DEL are shown as "?", other text as it is.
TEST(CtlShow, ControlCharactersOfADescriptionAreShownEscaped) {
  WzCtl::ReplyView v;
  v.replyClass = "IoctlRsp";
  v.hasError = true;
  v.hasResults = true;
  v.results = {
      "target name=iqn.a desc=%1B%5B2Ja%C2%9B2Jb%9Bc%7Fd%C2%85e%C2%A0f%C3%A9 chap=off chapUser= "
      "mutualUser= luns=0 restored=yes"};
  const std::string targets = WzCtl::FormatTargetDetails(v, 80);
  EXPECT_NE(targets.find("  description  ?[2Ja?2Jb?c?d?e\xC2\xA0"
                         "f\xC3\xA9\n"),
            std::string::npos)
      << targets;
  for (unsigned char c : targets) {
    EXPECT_TRUE(c >= 0x20 || c == '\n') << static_cast<int>(c);
    EXPECT_NE(c, 0x9B);
  }
  EXPECT_EQ(targets.find("\xC2\x9B"), std::string::npos);
  EXPECT_EQ(targets.find("\xC2\x85"), std::string::npos);
}

// The show commands: records decoded (a description full of separators
// stays one value), every human line within 80 columns with long values cut
// in the middle, closed LUNs marked, and the JSON carrying everything whole.
TEST(CtlShow, DetailRecordsRenderWithin80ColumnsAndInFullAsJson) {
  const std::string longPath = "/srv/images/" + std::string(90, 'p') + "/disk-final.img";
  WzCtl::ReplyView v;
  v.replyClass = "IoctlRsp";
  v.hasError = true;
  v.hasResults = true;
  v.results = {
      "target name=iqn.2024-01.com.example:" + std::string(80, 'n') +
          " desc=caf%C3%A9%20lun%3D1%20x%2Cy%0A chap=on chapUser=alice mutualUser= luns=2 restored=partly",
      "lun target=iqn.a lun=1 type=blkdev path=" + longPath +
          " size=67108864 serial=AB12C0FFEE000001 closed=no hosts=iqn.h%2C1,iqn.h2 created=1700000000",
      "lun target=iqn.a lun=2 type=devsnap path= size=- serial=S2 closed=yes hosts= created=0",
      "not a record",
  };

  WzCtl::DetailRecord r;
  ASSERT_TRUE(WzCtl::ParseDetailRecord(v.results[0], r));
  EXPECT_EQ(r.kind, "target");
  EXPECT_EQ(r.Get("desc"), "caf\xC3\xA9 lun=1 x,y\n");
  for (const char* bad : {"", "lun", "=x a=b", "lun a", "lun a=%4", "lun a=%zz", "lun  a=b"})
    EXPECT_FALSE(WzCtl::ParseDetailRecord(bad, r)) << bad;

  const std::string luns = WzCtl::FormatLunDetails(v, 80);
  const std::string targets = WzCtl::FormatTargetDetails(v, 80);
  for (const std::string& text : {luns, targets}) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      size_t columns = 0;
      for (char c : line) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
      EXPECT_LE(columns, 80u) << line;
    }
  }
  EXPECT_NE(luns.find("  LUN 1  blkdev  64.0 MiB  open\n"), std::string::npos) << luns;
  EXPECT_NE(luns.find("  LUN 2  devsnap  size unknown  CLOSED"), std::string::npos) << luns;
  // Cut in the middle: the directory's start and the file name stay.
  EXPECT_NE(luns.find("    path     /srv/images/" + std::string(21, 'p') + "\xE2\x80\xA6" + std::string(18, 'p') +
                      "/disk-final.img\n"),
            std::string::npos)
      << luns;
  EXPECT_NE(luns.find("    hosts    iqn.h,1\n             iqn.h2\n"), std::string::npos) << luns;
  EXPECT_NE(luns.find("    created  2023-11-14T22:13:20Z\n"), std::string::npos) << luns;
  // The WWID multipath groups the paths by, for either engine.
  EXPECT_NE(luns.find("    serial   AB12C0FFEE000001\n"
                      "    wwid     36000000000000000ab12c0ffee000001 (tgt)\n"
                      "             36001405ab12c0ffee000001000000000 (kernel target)\n"),
            std::string::npos)
      << luns;
  EXPECT_NE(targets.find("  description  caf\xC3\xA9 lun=1 x,y?\n"), std::string::npos) << targets;
  EXPECT_NE(targets.find("  CHAP         on, user alice\n"), std::string::npos) << targets;

  EXPECT_EQ(WzCtl::DetailsJson(v),
            "{\"reply\":\"IoctlRsp\",\"errorCode\":0,\"errorMessage\":\"\",\"targets\":[{\"name\":"
            "\"iqn.2024-01.com.example:" +
                std::string(80, 'n') +
                "\",\"description\":\"caf\xC3\xA9 lun=1 x,y\\n\",\"chap\":{\"enabled\":true,\"user\":\"alice\","
                "\"mutualUser\":\"\"},\"luns\":2,\"restored\":\"partly\"}],\"luns\":[{\"target\":\"iqn.a\",\"lun\":1,"
                "\"type\":\"blkdev\",\"path\":\"" +
                longPath +
                "\",\"size\":67108864,\"serial\":\"AB12C0FFEE000001\",\"wwid\":{\"tgt\":"
                "\"36000000000000000ab12c0ffee000001\",\"lio\":\"36001405ab12c0ffee000001000000000\"},\"closed\":false,"
                "\"hosts\":[\"iqn.h,1\","
                "\"iqn.h2\"],\"creationTime\":1700000000,\"created\":\"2023-11-14T22:13:20Z\",\"restored\":true},"
                "{\"target\":\"iqn.a\","
                "\"lun\":2,\"type\":\"devsnap\",\"path\":\"\",\"size\":null,\"serial\":\"S2\",\"wwid\":{\"tgt\":"
                "\"360000000000000000000000000000002\",\"lio\":\"360014052000000000000000000000000\"},\"closed\":true,"
                "\"hosts\":[],\"creationTime\":0,\"created\":\"1970-01-01T00:00:00Z\",\"restored\":true}]}");
}

}  // namespace
