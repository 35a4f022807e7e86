// Ioctl: command words, the invalid command, and the reload ("rc") of the
// action log into a running service.
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>

#include "actionlog/action_log_layout.h"
#include "hostlib/util/RnFiles.h"
#include "tests/support/service_harness.h"

using namespace wztest;
namespace Layout = WzScsiSrvActionLog;

namespace {

// Writes a request where the action-log writer would have put it.
std::vector<std::string> Results(const std::shared_ptr<CNMessageBase>& reply) {
  auto* rsp = dynamic_cast<WzScsiServer::IoctlRsp*>(reply.get());
  return rsp != nullptr ? rsp->results() : std::vector<std::string>{"<no IoctlRsp>"};
}

HarnessOptions NotStarted() {
  HarnessOptions o;
  o.start = false;
  return o;
}

// Everything a reload must leave as it was: the model as listed, the drivers
// (no calls) and the files.
struct Observed {
  std::vector<std::string> luns;
  std::vector<std::string> targets;
  std::vector<std::string> tree;
};

Observed Observe(ServiceHarness& h) {
  return Observed{Results(h.Send(MakeIoctl("ll"))), Results(h.Send(MakeIoctl("lt"))), ListTree(h.ActionLogRoot())};
}

}  // namespace

TEST(Ioctl, CommandWordsIgnoreCaseButNotBlanks) {
  ServiceHarness h;
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  for (const char* cmd : {"lt", "LT", "Lt"})
    EXPECT_EQ(Results(h.Send(MakeIoctl(cmd))), std::vector<std::string>{"iqn.2000-01.t:a"});
  for (const char* cmd : {"LL", "lL"}) EXPECT_EQ(ReplyCode(h.Send(MakeIoctl(cmd))), 0);
  EXPECT_EQ(ReplyCode(h.Send(MakeIoctl("RC"))), 0);

  struct Case {
    const char* command;
    const char* text;
  };
  for (const Case& c : {Case{"lt ", "Invalid IOCTL, cmd=lt "}, Case{"", "Invalid IOCTL, cmd="},
                        Case{"list", "Invalid IOCTL, cmd=list"}, Case{"l", "Invalid IOCTL, cmd=l"}}) {
    h.Log().Clear();
    auto reply = h.Send(MakeIoctl(c.command));
    EXPECT_EQ(ReplyCode(reply), 4) << c.command;
    EXPECT_EQ(ReplyText(reply), c.text);
    EXPECT_TRUE(Results(reply).empty());
    EXPECT_TRUE(h.Log().Contains(std::string("Error:  4 ") + c.text + " " + c.text)) << c.command;
    h.Drain();
    EXPECT_TRUE(h.Log().Contains("Failed to handle incoming message"));
  }
}

TEST(Ioctl, EveryCommandIsRefusedBeforeStart) {
  ServiceHarness h(NotStarted());
  for (const char* cmd : {"lt", "ll", "llh", "llt", "rc", "bogus"}) {
    auto reply = h.Send(MakeIoctl(cmd));
    EXPECT_EQ(ReplyCode(reply), 1) << cmd;
    EXPECT_EQ(ReplyText(reply), "Either service not initialized or initialization is in progress.");
  }
  EXPECT_FALSE(h.Log().Contains("Reloading"));
  EXPECT_TRUE(h.Journal("platform.Create").empty());
}

// The "metrics" counters (process-wide, so read as differences): each step
// of a client's change, a removal's included, and a refused command; and the
// objects "status" counts.
TEST(Ioctl, MetricsTimeEachStepOfAChangeAndCountRefusedCommands) {
  ServiceHarness h;
  const std::vector<std::string> keys = {"changeSeconds.engine.count=", "changeSeconds.record.count=",
                                         "changeSeconds.total.count=", "requests=Ioctl 4 ", "fsyncSeconds.file.count="};
  auto counts = [&h, &keys] {
    std::vector<long long> n(keys.size(), 0);
    for (const std::string& line : Results(h.Send(MakeIoctl("metrics"))))
      for (size_t k = 0; k < keys.size(); ++k)
        if (line.rfind(keys[k], 0) == 0) n[k] = std::stoll(line.substr(keys[k].size()));
    return n;
  };
  const std::vector<long long> before = counts();
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  auto lun = h.Send(MakeCreateLun("iqn.2000-01.t:a", 2, "-ti iqn.2000-01.t:a -path /dev/sdb -sp BLK1"));
  ASSERT_EQ(ReplyCode(lun), 0);
  const int64_t lunId = dynamic_cast<WzScsiServer::CreateLunRsp&>(*lun).lunId();
  for (const char* host : {"Host-A", "Host-B"})
    ASSERT_EQ(ReplyCode(h.Send(MakeMap("iqn.2000-01.t:a", lunId, host))), 0);
  ASSERT_EQ(ReplyCode(h.Send(MakeUnMap("iqn.2000-01.t:a", lunId, "Host-B"))), 0);
  EXPECT_EQ(ReplyCode(h.Send(MakeIoctl("bogus"))), 4);
  const std::vector<long long> after = counts();
  for (size_t k = 0; k < 4; ++k) EXPECT_EQ(after[k] - before[k], k < 3 ? 5 : 1) << keys[k];
  EXPECT_GE(after[4] - before[4], 4) << "each saved file is synced";
  std::vector<std::string> status = Results(h.Send(MakeIoctl("status")));
  for (const char* line : {"targets=1", "luns=1", "mappings=1"})
    EXPECT_NE(std::find(status.begin(), status.end(), line), status.end()) << line;
}

TEST(Reload, WithNothingChangedChangesNothing) {
  ServiceHarness h;
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:b"))), 0);
  auto lun = h.Send(MakeCreateLun("iqn.2000-01.t:a", 2, "-ti iqn.2000-01.t:a -path /dev/sdb -sp BLK1"));
  ASSERT_EQ(ReplyCode(lun), 0);
  const int64_t lunId = dynamic_cast<WzScsiServer::CreateLunRsp&>(*lun).lunId();
  ASSERT_EQ(ReplyCode(h.Send(MakeMap("iqn.2000-01.t:a", lunId, "Host-A"))), 0);
  const Observed before = Observe(h);
  h.ClearJournal();
  h.Log().Clear();

  auto reply = h.Send(MakeIoctl("rc"));
  EXPECT_EQ(ReplyCode(reply), 0);
  EXPECT_EQ(ReplyText(reply), "iSCSI service configuration reloaded successfully.");
  EXPECT_TRUE(h.Log().Contains("#### Reloading iSCSI service configuration. ####"));
  EXPECT_TRUE(h.Log().Contains("iSCSI service reload configuration completed successfully: restored 0 targets"));
  EXPECT_FALSE(h.Log().Contains("PLAYBACK ERROR"));
  EXPECT_TRUE(h.Log().Contains("already present 4"));  // two targets, a LUN and a mapping

  const Observed after = Observe(h);
  EXPECT_EQ(after.luns, before.luns);
  EXPECT_EQ(after.targets, before.targets);
  EXPECT_EQ(after.tree, before.tree);
  // Only the engine's listing is read: nothing was changed.
  for (const std::string& line : h.Journal())
    if (line.rfind("platform.ListOwned", 0) != 0) ADD_FAILURE() << "driver called by an unchanged reload: " << line;
}

TEST(Reload, CreatesATargetAddedByHand) {
  ServiceHarness h;
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:old"))), 0);
  h.ClearJournal();

  // A target with a LUN and a mapping, saved as the writer would save them.
  const std::string dir = Layout::TargetDir(h.ActionLogRoot(), "iqn.2000-01.t:new");
  SaveRequest(*MakeCreateTarget("iqn.2000-01.t:new", "by hand"), Layout::TargetFile(dir));
  SaveRequest(
      *MakeCreateLun("iqn.2000-01.t:new", 2, "-ti iqn.2000-01.t:new -path /dev/sdz -sp HAND1 -creationTime 600"),
      Layout::LunFile(dir, 4));
  SaveRequest(*MakeMap("iqn.2000-01.t:new", 4, "Host-A"), Layout::MappingFile(dir, "Host-A", 4));

  auto reply = h.Send(MakeIoctl("rc"));
  EXPECT_EQ(ReplyCode(reply), 0);
  EXPECT_FALSE(h.Log().Contains("PLAYBACK ERROR"));

  EXPECT_EQ(Results(h.Send(MakeIoctl("lt"))), (std::vector<std::string>{"iqn.2000-01.t:new", "iqn.2000-01.t:old"}));
  EXPECT_EQ(Results(h.Send(MakeIoctl("ll", "-ti iqn.2000-01.t:new"))),
            std::vector<std::string>{"iqn.2000-01.t:new#Host-A#4#600"});
  // Only the new objects reached the driver.
  EXPECT_EQ(h.Journal("platform.CreateTarget").size(), 1u);
  EXPECT_EQ(h.Journal("platform.CreateLun").size(), 1u);
  EXPECT_EQ(h.Journal("platform.MapHost").size(), 1u);
}

TEST(Reload, ALunWhoseTargetIsMissingIsReportedAndSkipped) {
  ServiceHarness h;
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  const std::string lunFile = Layout::LunFile(Layout::TargetDir(h.ActionLogRoot(), "iqn.2000-01.t:a"), 2);
  SaveRequest(*MakeCreateLun("IQN.2000-01.t:Gone", 2, "-ti iqn.2000-01.t:gone -path /p -sp X"), lunFile);
  h.ClearJournal();

  EXPECT_EQ(ReplyCode(h.Send(MakeIoctl("rc"))), 1) << "a reload that cannot restore everything says so";
  EXPECT_TRUE(
      h.Log().Contains("LUN PLAYBACK ERROR!!! Failed to create LUN, file=" + lunFile +
                       ", target=iqn.2000-01.t:gone with error [the file names another target than its directory]."));
  EXPECT_TRUE(h.Journal("platform.Create").empty());
}

TEST(Reload, AFailedReplayIsReportedWithCodeOne) {
  ServiceHarness h;
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  // An action log that cannot be listed.
  const std::string targets = Layout::TargetsDir(h.ActionLogRoot());
  ASSERT_EQ(::rename(targets.c_str(), (targets + ".aside").c_str()), 0);
  WriteFile(targets, "not a directory");
  h.Log().Clear();
  auto reply = h.Send(MakeIoctl("rc"));
  EXPECT_EQ(ReplyCode(reply), 1);
  EXPECT_EQ(ReplyText(reply).rfind("iSCSI service configuration reload failed: restored ", 0), 0u) << ReplyText(reply);
  h.Drain();
  EXPECT_TRUE(h.Log().Contains("Reload configuration Playback failed with error: ["));
  // The running configuration is untouched.
  EXPECT_EQ(Results(h.Send(MakeIoctl("lt"))), std::vector<std::string>{"iqn.2000-01.t:a"});
}
