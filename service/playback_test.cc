// Playback at start: a restarted service equals the one before, in the model
// and in the order of the driver calls; damaged action logs lose only what is
// damaged.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <map>
#include <sstream>
#include <thread>

#include "actionlog/action_log_layout.h"
#include "hostlib/util/RnFiles.h"
#include "tests/support/service_harness.h"

using namespace wztest;
namespace Layout = WzScsiSrvActionLog;

namespace {

std::string TargetDir(ServiceHarness& h, const std::string& name) { return Layout::TargetDir(h.ActionLogRoot(), name); }

std::string Field(const std::string& line, const std::string& key) {
  std::istringstream in(line);
  std::string token;
  while (in >> token)
    if (token.compare(0, key.size() + 1, key + "=") == 0) return token.substr(key.size() + 1);
  return std::string();
}

int64_t CreateLun(ServiceHarness& h, const std::string& target, int64_t type, const std::string& args) {
  auto reply = h.Send(MakeCreateLun(target, type, args));
  EXPECT_EQ(ReplyCode(reply), 0) << target << " " << args << ": " << ReplyText(reply);
  auto* rsp = dynamic_cast<WzScsiServer::CreateLunRsp*>(reply.get());
  return rsp != nullptr ? rsp->lunId() : -1;
}

void Map(ServiceHarness& h, const std::string& target, int64_t lunId, const std::string& host) {
  EXPECT_EQ(ReplyCode(h.Send(MakeMap(target, lunId, host))), 0) << target << " " << lunId << " " << host;
}

// The model as text, one line per record, for comparisons that show what
// differs.
std::vector<std::string> Describe(const WzScsiSrv::TargetMap& model) {
  std::vector<std::string> out;
  for (const auto& t : model) {
    out.push_back("target " + t.first + " id=" + t.second.targetId + " desc=" + t.second.targetDesc);
    for (const auto& l : t.second.luns) {
      std::ostringstream s;
      s << "  lun " << l.first << " id=" << l.second.lunId << " target=" << l.second.targetId
        << " type=" << l.second.bstorType << " sp=" << l.second.serialPrefix << " path=" << l.second.path
        << " size=" << l.second.size << " created=" << l.second.creationTime;
      out.push_back(s.str());
      for (const auto& host : l.second.hosts)
        out.push_back("    host " + host.first + " id=" + host.second.hostId + " desc=" + host.second.hostDesc);
    }
  }
  return out;
}

// Every file under the action-log root with its content.
std::map<std::string, std::string> Files(ServiceHarness& h) {
  std::map<std::string, std::string> out;
  for (const std::string& entry : ListTree(h.ActionLogRoot()))
    if (entry.back() != '/') out[entry] = ReadFile(h.ActionLogRoot() + "/" + entry);
  return out;
}

// Several targets, LUNs of types 1 to 4, hosts whose names differ only in
// case.
void BuildConfiguration(ServiceHarness& h) {
  const std::string alpha = "iqn.2020-01.example:alpha", beta = "iqn.2020-01.example:beta";
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget(alpha, "first target"))), 0);
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("IQN.2020-01.Example:Beta"))), 0);
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2020-01.example:gamma"))), 0);

  int64_t a0 = CreateLun(h, alpha, 1, "-ti " + alpha + " -path /dev/kern1 -sp KERN1 -size 1048576");
  int64_t a1 = CreateLun(h, alpha, 2, "-ti " + alpha + " -path /dev/sdb -sp BLK2");
  int64_t a2 = CreateLun(h, "IQN.2020-01.EXAMPLE:ALPHA", 3, "-ti " + alpha + " -ssid snap-7 -sp SNAP3");
  int64_t b0 = CreateLun(h, beta, 4, "-ti " + beta + " -path /fsblb/vol1 -sp FS4 -size 4096");
  int64_t b1 = CreateLun(h, beta, 2, "-ti " + beta + " -path /dev/sdc -sp BLK5");

  Map(h, alpha, a0, "Host-A");
  Map(h, alpha, a0, "host-a");
  Map(h, alpha, a1, "HOST-B");
  Map(h, "IQN.2020-01.Example:Alpha", a2, "Host-A");
  Map(h, beta, b0, "host-a");
  Map(h, beta, b1, "Initiator.Mixed:Case");
}

// Waits until the clock has passed every creation time, so that a LUN whose
// time were stamped again at replay would show.
void LetASecondPass(const WzScsiSrv::TargetMap& model) {
  int64_t latest = 0;
  for (const auto& t : model)
    for (const auto& l : t.second.luns) latest = std::max(latest, l.second.creationTime);
  while (static_cast<int64_t>(::time(nullptr)) <= latest) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace

TEST(Playback, ARestartedServiceEqualsTheOneBefore) {
  ServiceHarness h;
  BuildConfiguration(h);
  if (HasFatalFailure()) return;
  const WzScsiSrv::TargetMap before = h.Service().SnapshotTargets();
  ASSERT_EQ(before.size(), 3u);
  const std::map<std::string, std::string> savedFiles = Files(h);
  LetASecondPass(before);

  h.Stop();
  h.ClearJournal();
  h.Log().Clear();
  h.Restart(true);

  EXPECT_EQ(h.Service().GetStatus(), WzScsiSrv::SVC_INITIALIZED);
  const WzScsiSrv::TargetMap after = h.Service().SnapshotTargets();
  EXPECT_EQ(Describe(after), Describe(before));
  EXPECT_FALSE(h.Log().Contains("PLAYBACK ERROR"));
  EXPECT_TRUE(h.Log().Contains("Playback finished: targets 3 (failed 0), LUNs 5 (failed 0), mappings 6 (failed 0)"));
  // Replayed requests are never saved again.
  EXPECT_EQ(Files(h), savedFiles);

  // Target by target: the target, its LUNs, then its mappings.
  std::vector<std::string> calls;
  for (const std::string& line : h.Journal("platform.")) {
    std::string op = line.substr(0, line.find(' '));
    if (op == "platform.CreateTarget" || op == "platform.CreateLun" || op == "platform.MapHost")
      calls.push_back(op + " " + Field(line, "targetId"));
  }
  std::vector<std::string> expected;
  std::string current;
  for (const std::string& call : calls) {
    if (call.compare(0, 22, "platform.CreateTarget ") != 0) continue;
    const std::string target = call.substr(22);
    ASSERT_EQ(before.count(target), 1u) << call;
    expected.push_back(call);
    const WzScsiSrv::Target& t = before.at(target);
    for (size_t i = 0; i < t.luns.size(); ++i) expected.push_back("platform.CreateLun " + target);
    for (const auto& l : t.luns)
      for (size_t i = 0; i < l.second.hosts.size(); ++i) expected.push_back("platform.MapHost " + target);
  }
  EXPECT_EQ(calls, expected);

  // The backing stores learn that they re-attach existing LUNs.
  for (const char* store : {"blkdev.CreateLunPrepare", "devsnap.CreateLunPrepare"}) {
    auto lines = h.Journal(store);
    EXPECT_FALSE(lines.empty()) << store;
    for (const std::string& line : lines)
      EXPECT_NE(line.find("%20-usesnapinfocache%20%20-playback%20 "), std::string::npos) << line;
  }
}

TEST(Playback, ALunFileReCreatesTheLunUnderItsNumberWithTheReplayOptions) {
  ServiceHarness h;
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  SaveRequest(*MakeCreateLun("iqn.2000-01.t:a", 2, "-ti iqn.2000-01.t:a -path /dev/sdq -sp Q12 -creationTime 600"),
              Layout::LunFile(TargetDir(h, "iqn.2000-01.t:a"), 12));
  const std::string saved = ReadFile(Layout::LunFile(TargetDir(h, "iqn.2000-01.t:a"), 12));
  h.ClearJournal();
  h.Restart(true);

  auto model = h.Service().SnapshotTargets();
  ASSERT_EQ(model["iqn.2000-01.t:a"].luns.count(12), 1u);
  EXPECT_EQ(model["iqn.2000-01.t:a"].luns[12].creationTime, 600);
  EXPECT_EQ(model["iqn.2000-01.t:a"].luns[12].serialPrefix, "Q12");
  auto prepare = h.Journal("blkdev.CreateLunPrepare");
  ASSERT_EQ(prepare.size(), 1u);
  EXPECT_EQ(Field(prepare[0], "args"),
            "-ti%20iqn.2000-01.t:a%20-path%20/dev/"
            "sdq%20-sp%20Q12%20-creationTime%20600%20-usesnapinfocache%20%20-playback%20");
  EXPECT_EQ(Field(h.Journal("platform.CreateLun")[0], "lunId"), "12");
  EXPECT_EQ(ReadFile(Layout::LunFile(TargetDir(h, "iqn.2000-01.t:a"), 12)), saved);
}

TEST(Playback, DamagedEntriesAreLoggedAndSkippedAndEverythingElseIsReplayed) {
  ServiceHarness h;
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:good"))), 0);
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:other"))), 0);
  const int64_t good = CreateLun(h, "iqn.2000-01.t:good", 2, "-ti iqn.2000-01.t:good -path /dev/sdb -sp GOOD");
  const int64_t other = CreateLun(h, "iqn.2000-01.t:other", 1, "-ti iqn.2000-01.t:other -path /dev/k -sp OTHER");
  Map(h, "iqn.2000-01.t:good", good, "Host-A");
  Map(h, "iqn.2000-01.t:other", other, "host-b");
  const std::vector<std::string> intact = Describe(h.Service().SnapshotTargets());

  const std::string root = h.ActionLogRoot();
  const std::string goodDir = TargetDir(h, "iqn.2000-01.t:good");
  // A target directory without its target file (its LUN must not be tried).
  const std::string orphan = TargetDir(h, "iqn.2000-01.t:orphan");
  SaveRequest(*MakeCreateLun("iqn.2000-01.t:orphan", 2, "-ti iqn.2000-01.t:orphan -path /o -sp ORPHAN"),
              Layout::LunFile(orphan, 0));
  // A LUN file that does not parse, and one of another class.
  WriteFile(Layout::LunFile(goodDir, 5), "<msg group=\"75\"");
  SaveRequest(*MakeCreateTarget("iqn.2000-01.t:good"), Layout::LunFile(goodDir, 6));
  // Stray files, subdirectories named like saved files and temporary files
  // among the LUNs and the mappings.
  const std::string luns = Layout::LunsDir(goodDir), mappings = Layout::MappingsDir(goodDir);
  const std::string lunLikeDir = Layout::LunFileName(11), mappingLikeDir = Layout::MappingFileName("old", 0);
  WriteFile(luns + "/notes.txt", "x");
  ASSERT_TRUE(CRnDirectory::Create(luns + "/" + lunLikeDir, true).IsSuccess());
  WriteFile(luns + "/" + FXFile::kTempPrefix + Layout::LunFileName(8) + ".1", "half");
  WriteFile(mappings + "/notes.txt", "x");
  ASSERT_TRUE(CRnDirectory::Create(mappings + "/" + mappingLikeDir, true).IsSuccess());
  WriteFile(mappings + "/" + FXFile::kTempPrefix + Layout::MappingFileName("x", 0) + ".2", "half");
  // A LUN whose target is gone.
  SaveRequest(*MakeCreateLun("iqn.2000-01.t:gone", 2, "-ti iqn.2000-01.t:gone -path /g -sp GONE"),
              Layout::LunFile(goodDir, 9));
  // A second directory naming iqn.2000-01.t:good, replayed after the first one (the
  // pre-initialised target comes first); its LUN must not be tried.
  const std::string dup = Layout::TargetsDir(root) + "/zz-duplicate";
  SaveRequest(*MakeCreateTarget("iqn.2000-01.t:good"), Layout::TargetFile(dup));
  SaveRequest(*MakeCreateLun("iqn.2000-01.t:good", 2, "-ti iqn.2000-01.t:good -path /d -sp DUP"),
              Layout::LunFile(dup, 7));
  h.SetConfig("sPreInitializeTargets", "iqn.2000-01.t:good");

  h.ClearJournal();
  h.Log().Clear();
  h.Restart(false);
  // Served all the same, but the start says what it could not restore.
  EXPECT_EQ(h.Start(), 1);
  auto* statusReply = dynamic_cast<WzScsiServer::IoctlRsp*>(h.Send(MakeIoctl("status")).get());
  ASSERT_NE(statusReply, nullptr);
  const std::vector<std::string> status = statusReply->results();
  EXPECT_EQ(std::count(status.begin(), status.end(), "replay.failed=targets:2 luns:3 mappings:0"), 1);
  EXPECT_EQ(
      std::count_if(status.begin(), status.end(), [](const std::string& l) { return l.rfind("failure=", 0) == 0; }), 5);
  for (const std::string& dir : {luns, mappings})
    for (const std::string& name : ListTree(dir))
      EXPECT_FALSE(Layout::IsTemporaryName(name)) << "a temporary file a crash left is removed at start: " << name;

  EXPECT_EQ(Describe(h.Service().SnapshotTargets()), intact);
  const std::vector<std::string> expectedLog = {
      "TARGET PLAYBACK ERROR!!! Target xml file doesn't exist, path=" + Layout::TargetFile(orphan),
      "LUN PLAYBACK ERROR!!! Failed to read LUN xml config file=" + Layout::LunFile(goodDir, 5) +
          " with error code ret=",
      "LUN PLAYBACK ERROR!!! Failed to read LUN xml config file=" + Layout::LunFile(goodDir, 6) +
          " with error code ret=",
      "LUN PLAYBACK ERROR!!! SKipping, path=notes.txt",
      "LUN PLAYBACK ERROR!!! SKipping, path=" + lunLikeDir,
      "LUN MAPPING PLAYBACK ERROR!!! SKipping, path=notes.txt",
      "LUN MAPPING PLAYBACK ERROR!!! SKipping, path=" + mappingLikeDir,
      "LUN PLAYBACK ERROR!!! Failed to create LUN, file=" + Layout::LunFile(goodDir, 9) +
          ", target=iqn.2000-01.t:gone with error [",
      "TARGET PLAYBACK ERROR!!! Failed to create target, file=" + Layout::TargetFile(dup) +
          ", target=iqn.2000-01.t:good, error=[",
  };
  for (const std::string& text : expectedLog) EXPECT_EQ(h.Log().Count(text), 1u) << text;
  EXPECT_FALSE(h.Log().Contains(".wztmp-"));
  // Neither the orphan's LUN nor the duplicate's reached a driver.
  for (const std::string& line : h.Journal("platform.CreateLun"))
    EXPECT_TRUE(Field(line, "targetId") == "iqn.2000-01.t:good" || Field(line, "targetId") == "iqn.2000-01.t:other")
        << line;
  EXPECT_EQ(h.Journal("platform.CreateLun").size(), 2u);
  EXPECT_TRUE(h.Log().Contains("Playback finished: targets 2 (failed 2), LUNs 2 (failed 3), mappings 2 (failed 0)"));
}

// A saved file passes the checks a client's request passes: a LUN backed
// outside BackingStoreDirs is not restored, and status lists it as failed.
TEST(Playback, ASavedLunOutsideTheAllowedDirectoriesIsRefusedLikeAClientsRequest) {
  ServiceHarness h;
  const std::string disks = h.Root() + "/disks";
  ASSERT_TRUE(CRnDirectory::Create(disks, true).IsSuccess());
  WriteFile(disks + "/ok.img", "x");
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  SaveRequest(*MakeCreateLun("iqn.2000-01.t:a", 2, "-ti iqn.2000-01.t:a -path " + disks + "/ok.img -sp OK"),
              Layout::LunFile(TargetDir(h, "iqn.2000-01.t:a"), 0));
  SaveRequest(*MakeCreateLun("iqn.2000-01.t:a", 2, "-ti iqn.2000-01.t:a -path /etc/shadow -sp NO"),
              Layout::LunFile(TargetDir(h, "iqn.2000-01.t:a"), 1));
  h.SetConfig("BackingStoreDirs", disks);
  h.ClearJournal();
  h.Restart(false);
  EXPECT_EQ(h.Start(), 1) << "the start says what it could not restore";

  auto model = h.Service().SnapshotTargets();
  ASSERT_EQ(model.count("iqn.2000-01.t:a"), 1u);
  EXPECT_EQ(model["iqn.2000-01.t:a"].luns.size(), 1u);
  EXPECT_EQ(model["iqn.2000-01.t:a"].luns.count(0), 1u);
  for (const std::string& line : h.Journal("platform.CreateLun"))
    EXPECT_EQ(line.find("shadow"), std::string::npos) << "never exported: " << line;
  auto* status = dynamic_cast<WzScsiServer::IoctlRsp*>(h.Send(MakeIoctl("status")).get());
  ASSERT_NE(status, nullptr);
  std::vector<std::string> failures;
  for (const std::string& line : status->results())
    if (line.rfind("failure=", 0) == 0) failures.push_back(line);
  ASSERT_EQ(failures.size(), 1u) << ::testing::PrintToString(status->results());
  EXPECT_EQ(failures[0].rfind("failure=LUN\tiqn.2000-01.t:a\t1\t", 0), 0u) << failures[0];
  EXPECT_NE(failures[0].find("outside the directories and devices of BackingStoreDirs"), std::string::npos)
      << failures[0];
  // `lun show` lists it too, as not restored.
  auto* shown = dynamic_cast<WzScsiServer::IoctlRsp*>(h.Send(MakeIoctl("ls", "-kind lun -ti iqn.2000-01.t:a")).get());
  ASSERT_NE(shown, nullptr);
  const std::vector<std::string> records = shown->results();
  EXPECT_EQ(std::count(records.begin(), records.end(), "lun target=iqn.2000-01.t:a lun=1 restored=no"), 1)
      << ::testing::PrintToString(records);

  // Deleted, it is failed no more: the status and the listing forget it.
  ASSERT_EQ(ReplyCode(h.Send(MakeDeleteLun("iqn.2000-01.t:a", 1))), 0);
  status = dynamic_cast<WzScsiServer::IoctlRsp*>(h.Send(MakeIoctl("status")).get());
  ASSERT_NE(status, nullptr);
  for (const std::string& line : status->results()) {
    EXPECT_NE(line.rfind("failure=", 0), 0u) << line;
    EXPECT_NE(line, "replay.failed=targets:0 luns:1 mappings:0");
  }
  shown = dynamic_cast<WzScsiServer::IoctlRsp*>(h.Send(MakeIoctl("ls", "-kind lun -ti iqn.2000-01.t:a")).get());
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->results().size(), 1u) << ::testing::PrintToString(shown->results());
}

// A LUN saved by an older version on a link or a relative path: the link is
// resolved and checked again, the engine gets the file it names now (inside
// the allowed directories) or nothing; a relative path is refused.
TEST(Playback, ASavedLinkIsResolvedAndCheckedAgainAndARelativePathIsRefused) {
  ServiceHarness h;
  const std::string disks = h.Root() + "/disks";
  ASSERT_TRUE(CRnDirectory::Create(disks, true).IsSuccess());
  WriteFile(disks + "/ok.img", "x");
  WriteFile(h.Root() + "/secret", "x");
  ASSERT_EQ(::symlink((disks + "/ok.img").c_str(), (disks + "/in.lnk").c_str()), 0);
  ASSERT_EQ(::symlink((h.Root() + "/secret").c_str(), (disks + "/out.lnk").c_str()), 0);
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  const std::string dir = TargetDir(h, "iqn.2000-01.t:a");
  SaveRequest(*MakeCreateLun("iqn.2000-01.t:a", 2, "-ti iqn.2000-01.t:a -path " + disks + "/in.lnk -sp OK"),
              Layout::LunFile(dir, 0));
  SaveRequest(*MakeCreateLun("iqn.2000-01.t:a", 2, "-ti iqn.2000-01.t:a -path " + disks + "/out.lnk -sp NO"),
              Layout::LunFile(dir, 1));
  SaveRequest(*MakeCreateLun("iqn.2000-01.t:a", 2, "-ti iqn.2000-01.t:a -path disks/ok.img -sp RE"),
              Layout::LunFile(dir, 2));
  h.SetConfig("BackingStoreDirs", disks);
  h.ClearJournal();
  h.Restart(false);
  EXPECT_EQ(h.Start(), 1) << "the start says what it could not restore";

  char buf[PATH_MAX];
  ASSERT_NE(::realpath((disks + "/ok.img").c_str(), buf), nullptr);
  auto model = h.Service().SnapshotTargets();
  ASSERT_EQ(model["iqn.2000-01.t:a"].luns.size(), 1u);
  EXPECT_EQ(model["iqn.2000-01.t:a"].luns.at(0).path, buf);
  ASSERT_EQ(h.Journal("platform.CreateLun").size(), 1u);
  EXPECT_NE(h.Journal("platform.CreateLun")[0].find(std::string("path=") + buf + " "), std::string::npos)
      << h.Journal("platform.CreateLun")[0];
  auto* status = dynamic_cast<WzScsiServer::IoctlRsp*>(h.Send(MakeIoctl("status")).get());
  ASSERT_NE(status, nullptr);
  std::vector<std::string> failures;
  for (const std::string& line : status->results())
    if (line.rfind("failure=", 0) == 0) failures.push_back(line);
  ASSERT_EQ(failures.size(), 2u) << ::testing::PrintToString(status->results());
  EXPECT_NE(failures[0].find("outside the directories and devices of BackingStoreDirs"), std::string::npos)
      << failures[0];
  EXPECT_NE(failures[1].find("relative"), std::string::npos) << failures[1];
}

TEST(Playback, DirectoriesLeftByCutOffChangesAreSkippedQuietly) {
  ServiceHarness h;
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  // A crash between making the directory and putting the file in place.
  const std::string cut = TargetDir(h, "iqn.2000-01.t:cut");
  ASSERT_TRUE(CRnDirectory::Create(cut, true).IsSuccess());
  WriteFile(cut + "/" + FXFile::kTempPrefix + CRnPath::GetBaseName(Layout::TargetFile(cut)) + ".7", "<msg");
  // And a delete cut off after its target file went.
  const std::string gone = TargetDir(h, "iqn.2000-01.t:gone");
  ASSERT_TRUE(CRnDirectory::Create(Layout::LunsDir(gone), true).IsSuccess());
  ASSERT_TRUE(CRnDirectory::Create(Layout::MappingsDir(gone), true).IsSuccess());
  h.Restart(true);
  EXPECT_EQ(h.Service().SnapshotTargets().size(), 1u);
  EXPECT_FALSE(h.Log().Contains("PLAYBACK ERROR"));
  EXPECT_TRUE(h.Log().Contains("Skipping target directory " + cut + ": it holds no saved request"));
  EXPECT_TRUE(h.Log().Contains("Skipping target directory " + gone + ": it holds no saved request"));
}

TEST(Playback, ATargetThatCannotBeCreatedTakesItsLunsAndMappingsWithIt) {
  ServiceHarness h;
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  Map(h, "iqn.2000-01.t:a", CreateLun(h, "iqn.2000-01.t:a", 1, "-ti iqn.2000-01.t:a -path /k -sp A"), "h");
  h.SetFaults({"platform.CreateTarget"});
  h.ClearJournal();
  h.Restart(true);
  h.SetFaults({});

  EXPECT_TRUE(h.Service().SnapshotTargets().empty());
  EXPECT_TRUE(
      h.Log().Contains("TARGET PLAYBACK ERROR!!! Failed to create target, file=" + TargetDir(h, "iqn.2000-01.t:a")));
  EXPECT_TRUE(h.Journal("platform.CreateLun").empty());
  EXPECT_TRUE(h.Journal("platform.MapHost").empty());
  // Nothing was lost: the next start replays it.
  h.Restart(true);
  EXPECT_EQ(Describe(h.Service().SnapshotTargets()).size(), 3u);
}

TEST(Playback, AFailedLunDoesNotStopItsTargetsMappings) {
  ServiceHarness h;
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  const int64_t kernel = CreateLun(h, "iqn.2000-01.t:a", 1, "-ti iqn.2000-01.t:a -path /k -sp K");
  const int64_t block = CreateLun(h, "iqn.2000-01.t:a", 2, "-ti iqn.2000-01.t:a -path /dev/sdb -sp B");
  Map(h, "iqn.2000-01.t:a", kernel, "host-k");
  Map(h, "iqn.2000-01.t:a", block, "host-b");
  h.SetFaults({"blkdev.CreateLunPrepare"});
  h.Restart(true);
  h.SetFaults({});

  auto model = h.Service().SnapshotTargets();
  ASSERT_EQ(model.count("iqn.2000-01.t:a"), 1u);
  EXPECT_EQ(model["iqn.2000-01.t:a"].luns.size(), 1u);
  EXPECT_EQ(model["iqn.2000-01.t:a"].luns[static_cast<int32_t>(kernel)].hosts.count("host-k"), 1u);
  EXPECT_TRUE(h.Log().Contains("LUN PLAYBACK ERROR!!! Failed to create LUN, file="));
  EXPECT_TRUE(h.Log().Contains("LUN MAPPING PLAYBACK ERROR!!! Not mapping host-b: LUN " + std::to_string(block) +
                               " of target iqn.2000-01.t:a could not be restored"));
}

TEST(Playback, ProgressOfALargeReplayIsLoggedEveryThousandObjects) {
  HarnessOptions notStarted;
  notStarted.start = false;
  ServiceHarness h(notStarted);
  for (int i = 0; i < 1000; ++i) {
    const std::string name = "iqn.2000-01.t:bulk:" + std::to_string(i);
    SaveRequest(*MakeCreateTarget(name), Layout::TargetFile(TargetDir(h, name)));
  }
  h.Log().Clear();
  EXPECT_EQ(h.Start(), 0);
  EXPECT_EQ(h.Service().SnapshotTargets().size(), 1000u);
  EXPECT_EQ(h.Log().Count("Playback progress: targets 1000 (failed 0)"), 1u);
  EXPECT_EQ(h.Log().Count("Playback finished: targets 1000 (failed 0), LUNs 0 (failed 0), mappings 0 (failed 0)"), 1u);
}
