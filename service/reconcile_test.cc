// Reconcile on the driver doubles: what is made or lost behind the
// service's back is found, listed by a dry run without a change, and fixed;
// an engine restart heals by itself; drift is logged once.
#include <gtest/gtest.h>

#include <algorithm>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "actionlog/action_log_layout.h"
#include "drivers/unit_serial.h"
#include "service/reconcile_plan.h"
#include "tests/support/service_harness.h"
#include "tests/support/service_test_peer.h"

using namespace wztest;

namespace {

// The engine's view as comparable lines.
std::vector<std::string> Engine(ServiceHarness& h) {
  WzScsiSrvEngineView view;
  EXPECT_TRUE(WzScsiSrvTestPeer(h.Service()).Platform()->ListOwned(view).IsSuccess());
  std::vector<std::string> lines;
  for (const auto& t : view.targets) {
    lines.push_back(t.first);
    for (const auto& l : t.second.luns) lines.push_back(t.first + ":" + std::to_string(l.first) + " " + l.second.path);
    for (const auto& hst : t.second.hosts)
      for (int32_t lun : hst.second) lines.push_back(t.first + ":" + std::to_string(lun) + " <- " + hst.first);
  }
  return lines;
}

std::vector<std::string> Results(const std::shared_ptr<CNMessageBase>& reply) {
  auto* rsp = dynamic_cast<WzScsiServer::IoctlRsp*>(reply.get());
  return rsp != nullptr ? rsp->results() : std::vector<std::string>{"<no IoctlRsp>"};
}

// The double's engine instance, in a file: changing it restarts the engine empty.
class TempEngineFile {
 public:
  TempEngineFile() : m_path("/tmp/wzscsi-engine-" + std::to_string(getpid())) {
    Set(1);
    setenv("WZSCSI_FAKE_ENGINE", m_path.c_str(), 1);
  }
  ~TempEngineFile() {
    unsetenv("WZSCSI_FAKE_ENGINE");
    std::remove(m_path.c_str());
  }
  void Set(uint64_t instance) { std::ofstream(m_path, std::ios::trunc) << instance << "\n"; }

 private:
  std::string m_path;
};

// A target with a LUN mapped to a host, and a closed snapshot LUN.
void Configure(ServiceHarness& h) {
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateLun("iqn.2000-01.t:a", 2, "-ti iqn.2000-01.t:a -path /dev/a0 -sp A"))), 0);
  ASSERT_EQ(ReplyCode(h.Send(MakeMap("iqn.2000-01.t:a", 0, "host-1"))), 0);
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateLun("iqn.2000-01.t:a", 3, "-ti iqn.2000-01.t:a -ssid s1 -sp S"))), 0);
  ASSERT_EQ(ReplyCode(h.Send(MakeDeleteLun("iqn.2000-01.t:a", 1, 1))), 0);  // closed
}

// The plan alone, without threads or drivers: the engine's view and the
// model in, the actions out (removals first).
TEST(ReconcilePlan, WhatTheEngineMustBeToldForEachDifference) {
  auto lun = [](int32_t number, const std::string& path, std::vector<std::string> hosts, bool closed = false) {
    WzScsiSrvModelLun l;
    l.lunId = number;
    l.path = path;
    l.closed = closed;
    for (const std::string& h : hosts) l.hosts[h] = WzScsiSrvModelHost(h, "");
    return l;
  };
  auto target = [](std::vector<WzScsiSrvModelLun> luns) {
    WzScsiSrvModelTarget t;
    for (const WzScsiSrvModelLun& l : luns) t.luns[l.lunId] = l;
    return t;
  };
  auto held = [](std::map<int32_t, std::string> luns, std::map<std::string, std::set<int32_t>> hosts) {
    WzScsiSrvEngineTarget t;
    for (const auto& l : luns) t.luns[l.first].path = l.second;
    t.hosts = hosts;
    return t;
  };
  // LUN 0 reports the identity the service gives it, LUN 1 another one.
  auto identified = [&](const std::string& identity) {
    WzScsiSrvEngineTarget t = held({{0, "/p"}, {1, "/q"}}, {});
    t.luns[0].identity = WzScsiSrvUnitSerial("", "iqn.2000-01.t:a", 0);
    t.luns[1].identity = identity;
    return t;
  };
  struct Case {
    const char* name;
    bool perLunAccess;
    WzScsiSrvModelTargets model;
    std::map<std::string, WzScsiSrvEngineTarget> engine;
    WzScsiSrvUnrestored unrestored;
    std::vector<std::string> plan;
  };
  WzScsiSrvUnrestored savedButNotRestored;
  savedButNotRestored.targetDirs.insert(WzScsiSrvActionLog::TargetDirName("iqn.2000-01.t:saved"));
  savedButNotRestored.luns["iqn.2000-01.t:a"] = {7};
  const std::vector<Case> cases = {
      {"the same",
       true,
       {{"iqn.2000-01.t:a", target({lun(0, "/p", {"h"})})}},
       {{"iqn.2000-01.t:a", held({{0, "/p"}}, {{"h", {0}}})}},
       {},
       {}},
      {"all lost",
       true,
       {{"iqn.2000-01.t:a", target({lun(0, "/p", {"h"})})}},
       {},
       {},
       {"create target iqn.2000-01.t:a", "create LUN iqn.2000-01.t:a:0 on /p", "map host h to LUN iqn.2000-01.t:a:0"}},
      {"orphans, removals first",
       true,
       {{"iqn.2000-01.t:a", target({lun(0, "/p", {})})}},
       {{"iqn.2000-01.t:a", held({{0, "/p"}, {3, "/x"}}, {{"x", {0}}})}, {"iqn.2000-01.t:b", held({}, {})}},
       {},
       {"remove target iqn.2000-01.t:b (not in the configuration)",
        "remove LUN iqn.2000-01.t:a:3 (not in the configuration)",
        "remove host x from LUN iqn.2000-01.t:a:0 (not in the configuration)"}},
      {"another path",
       true,
       {{"iqn.2000-01.t:a", target({lun(0, "/p", {})})}},
       {{"iqn.2000-01.t:a", held({{0, "/q"}}, {})}},
       {},
       {"remove LUN iqn.2000-01.t:a:0 (the engine serves /q instead of /p)", "create LUN iqn.2000-01.t:a:0 on /p"}},
      {"another identity (tgtd's own, made of a tid)",
       true,
       {{"iqn.2000-01.t:a", target({lun(0, "/p", {}), lun(1, "/q", {})})}},
       {{"iqn.2000-01.t:a", identified("IET     00020001")}},
       {},
       {"create LUN iqn.2000-01.t:a:1 on /q (the engine reports identity IET     00020001)"}},
      {"closed LUNs are no difference",
       true,
       {{"iqn.2000-01.t:a", target({lun(0, "/p", {"h"}, true)})}},
       {{"iqn.2000-01.t:a", held({}, {})}},
       {},
       {}},
      {"saved but not restored is no difference",
       true,
       {{"iqn.2000-01.t:a", target({})}},
       {{"iqn.2000-01.t:a", held({{7, "/s"}}, {{"h", {7}}})}, {"iqn.2000-01.t:saved", held({}, {})}},
       savedButNotRestored,
       {}},
      {"whole targets",
       false,
       {{"iqn.2000-01.t:a", target({lun(0, "/p", {"h"}), lun(1, "/q", {"h", "g"})})}},
       {{"iqn.2000-01.t:a", held({{0, "/p"}, {1, "/q"}}, {{"h", {}}, {"x", {}}})}},
       {},
       {"remove host x from target iqn.2000-01.t:a (not in the configuration)",
        "map host g to target iqn.2000-01.t:a"}},
  };
  for (const Case& c : cases) {
    WzScsiSrvEngineView view;
    view.perLunAccess = c.perLunAccess;
    view.targets = c.engine;
    std::vector<std::string> plan;
    for (const WzScsiSrvReconcileAction& a : WzScsiSrvPlanReconcile(view, c.model, c.unrestored))
      plan.push_back(a.what);
    EXPECT_EQ(plan, c.plan) << c.name;
  }
}

// A LUN is one disk by its identity, not its number; and what the cluster
// removed while the engine could not follow is never made or granted again.
TEST(ReconcilePlan, IdentityAndWithheldRemovals) {
  auto lun = [](int32_t number, const std::string& path, const std::string& prefix, std::vector<std::string> hosts) {
    WzScsiSrvModelLun l;
    l.lunId = number;
    l.targetId = "iqn.a";
    l.path = path;
    l.serialPrefix = prefix;
    for (const std::string& h : hosts) l.hosts[h] = WzScsiSrvModelHost(h, "");
    return l;
  };
  WzScsiSrvModelTarget configured;
  configured.luns[1] = lun(1, "/y", "SAME", {"h"});
  WzScsiSrvModelTargets model = {{"iqn.a", configured}};
  const std::string serial = WzScsiSrvUnitSerial("SAME", "iqn.a", 1);
  const std::string otherSerial = WzScsiSrvUnitSerial("OTHER", "iqn.a", 1);
  auto engine = [](const std::string& path, const std::string& unitSerial, bool granted, bool perLun) {
    WzScsiSrvEngineView view;
    view.perLunAccess = perLun;
    WzScsiSrvEngineTarget& t = view.targets["iqn.a"];
    t.luns[1].lunId = 1;
    t.luns[1].path = path;
    t.luns[1].serial = unitSerial;
    if (granted) t.hosts["h"] = perLun ? std::set<int32_t>{1} : std::set<int32_t>{};
    return view;
  };
  WzScsiSrvWithheld lunWithheld;
  lunWithheld.luns["iqn.a"] = {1};
  WzScsiSrvWithheld targetWithheld;
  targetWithheld.targets.insert("iqn.a");
  struct Case {
    const char* name;
    WzScsiSrvEngineView view;
    WzScsiSrvWithheld withheld;
    std::vector<std::string> plan;
  };
  const std::vector<Case> cases = {
      {"the same disk", engine("/y", serial, true, true), {}, {}},
      {"another serial on the same path",
       engine("/y", otherSerial, true, true),
       {},
       {"remove LUN iqn.a:1 (the engine serves unit serial " + otherSerial + " instead of " + serial + ")",
        "create LUN iqn.a:1 on /y"}},
      {"another disk under the same serial",
       engine("/x", serial, true, true),
       {},
       {"remove LUN iqn.a:1 (the engine serves /x instead of /y)", "create LUN iqn.a:1 on /y"}},
      {"a withheld LUN is not made again", WzScsiSrvEngineView(), lunWithheld, {"create target iqn.a"}},
      {"nor granted again", engine("/y", serial, false, true), lunWithheld, {}},
      {"nor granted through its target", engine("/y", serial, false, false), lunWithheld, {}},
      {"a withheld target is not made again", WzScsiSrvEngineView(), targetWithheld, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> plan;
    for (const WzScsiSrvReconcileAction& a : WzScsiSrvPlanReconcile(c.view, model, WzScsiSrvUnrestored(), c.withheld))
      plan.push_back(a.what);
    EXPECT_EQ(plan, c.plan) << c.name;
  }
}

TEST(Reconcile, WhatChangedBehindTheServiceIsListedThenFixed) {
  ServiceHarness h;
  ASSERT_NO_FATAL_FAILURE(Configure(h));
  const std::vector<std::string> configured = Engine(h);
  WzScsiSrvPlatform& engine = *WzScsiSrvTestPeer(h.Service()).Platform();

  // Behind the service's back: an orphan target, an orphan LUN and binding on
  // the configured target, and the configured binding lost.
  WzScsiSrvModelTarget orphan(WzScsiSrvTarget("iqn.2000-01.t:orphan", ""));
  ASSERT_TRUE(engine.CreateTarget(orphan).IsSuccess());
  WzScsiSrvLun extra;
  extra.targetId = "iqn.2000-01.t:a";
  extra.lunId = 7;
  extra.path = "/dev/x";
  ASSERT_TRUE(engine.CreateLun(&extra).IsSuccess());
  WzScsiSrvModelLun lun0(extra);
  lun0.lunId = 0;
  WzScsiSrvModelHost intruder("host-x", ""), owner("host-1", "");
  ASSERT_TRUE(engine.MapHost(lun0, intruder).IsSuccess());
  ASSERT_TRUE(engine.UnMapHost(lun0, owner).IsSuccess());
  const std::vector<std::string> drifted = Engine(h);

  h.ClearJournal();
  auto dry = h.Send(MakeIoctl("reconcile", "-dry-run"));
  EXPECT_EQ(ReplyCode(dry), 0);
  EXPECT_EQ(Results(dry), (std::vector<std::string>{
                              "remove target iqn.2000-01.t:orphan (not in the configuration)",
                              "remove LUN iqn.2000-01.t:a:7 (not in the configuration)",
                              "remove host host-x from LUN iqn.2000-01.t:a:0 (not in the configuration)",
                              "map host host-1 to LUN iqn.2000-01.t:a:0",
                          }));
  for (const std::string& line : h.Journal()) EXPECT_EQ(line.rfind("platform.ListOwned", 0), 0u) << line;
  EXPECT_EQ(Engine(h), drifted) << "a dry run changes nothing";
  // The status tells it as a dry run, never as a reconcile that ran.
  auto has = [](const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  std::vector<std::string> status = Results(h.Send(MakeIoctl("status")));
  EXPECT_TRUE(has(status, "dryRun.why=request")) << ::testing::PrintToString(status);
  EXPECT_TRUE(has(status, "dryRun.differences=4")) << ::testing::PrintToString(status);
  EXPECT_FALSE(has(status, "reconcile.why=request")) << ::testing::PrintToString(status);

  auto fixed = h.Send(MakeIoctl("reconcile"));
  EXPECT_EQ(ReplyCode(fixed), 0) << ReplyText(fixed);
  EXPECT_EQ(ReplyText(fixed), "4 differences fixed");
  status = Results(h.Send(MakeIoctl("status")));
  EXPECT_TRUE(has(status, "reconcile.why=request")) << ::testing::PrintToString(status);
  EXPECT_TRUE(has(status, "reconcile.differences=4")) << ::testing::PrintToString(status);
  EXPECT_TRUE(has(status, "dryRun.differences=4")) << "the dry run stays the dry run";
  EXPECT_EQ(Engine(h), configured) << "the closed LUN stays closed";
  EXPECT_EQ(Results(h.Send(MakeIoctl("reconcile", "-dry-run"))), std::vector<std::string>{});

  // A reload puts back what the engine lost of objects the model holds.
  ASSERT_TRUE(engine.DeleteLun(&lun0).IsSuccess());
  EXPECT_EQ(ReplyCode(h.Send(MakeIoctl("rc"))), 0);
  EXPECT_EQ(Engine(h), configured);
}

TEST(Reconcile, AnEngineRestartHealsWithoutARequestAndDriftIsLoggedOnce) {
  TempEngineFile engineFile;
  HarnessOptions options;
  options.start = false;
  ServiceHarness h(options);
  h.SetConfig("nEngineWatchPollMs", "20");
  h.SetConfig("nEngineCheckIntervalSecs", "1");
  h.Restart(true);
  ASSERT_NO_FATAL_FAILURE(Configure(h));
  const std::vector<std::string> configured = Engine(h);

  engineFile.Set(2);  // the engine restarts, empty
  std::vector<std::string> now;
  for (int i = 0; i < 250 && (now = Engine(h)) != configured; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(now, configured) << "the watch rebuilt the engine";
  EXPECT_TRUE(h.Log().Contains("The SCSI target engine restarted; reconciling"));

  // Drift: a binding lost behind the back (as `tgt-admin --update ALL`
  // drops one) is repaired by the check, said once at NOTICE, and counted.
  WzScsiSrvModelLun lun0;
  lun0.targetId = "iqn.2000-01.t:a";
  lun0.lunId = 0;
  WzScsiSrvModelHost owner("host-1", "");
  auto loseBinding = [&] {
    ASSERT_TRUE(WzScsiSrvTestPeer(h.Service()).Platform()->UnMapHost(lun0, owner).IsSuccess());
  };
  auto notices = [&](const std::string& needle) {
    size_t n = 0;
    for (const std::string& text : h.Log().Texts(0)) n += text.find(needle) != std::string::npos ? 1 : 0;
    return n;
  };
  // What the checks repaired so far (the engine's restart may have raced one).
  auto repairs = [&] {
    for (const std::string& l : Results(h.Send(MakeIoctl("status"))))
      if (l.rfind("check.repaired=", 0) == 0) return std::stoi(l.substr(15));
    return -1;
  };
  const int before = repairs();
  ASSERT_NO_FATAL_FAILURE(loseBinding());
  const std::string repaired =
      "The engine had drifted from the configuration; repaired: map host host-1 to LUN iqn.2000-01.t:a:0";
  for (int i = 0; i < 300 && notices(repaired) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // one more check
  EXPECT_EQ(notices(repaired), 1u);
  EXPECT_EQ(Engine(h), configured) << "the check repaired the binding";
  EXPECT_EQ(repairs(), std::max(before, 0) + 1);
  const std::vector<std::string> status = Results(h.Send(MakeIoctl("status")));
  EXPECT_EQ(std::count_if(status.begin(), status.end(),
                          [](const std::string& l) { return l.rfind("check.lastRepairAt=", 0) == 0; }),
            1);

  // EngineCheckRepairs=no: the check only logs, once.
  h.SetConfig("EngineCheckRepairs", "no");
  h.Restart(true);
  ASSERT_NO_FATAL_FAILURE(loseBinding());
  const std::string line = "The engine differs from the configuration: map host host-1 to LUN iqn.2000-01.t:a:0";
  for (int i = 0; i < 300 && h.Log().Count(line) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // one more check
  EXPECT_EQ(h.Log().Count(line), 1u);
  EXPECT_NE(Engine(h), configured) << "a check that only logs changes nothing";
}

}  // namespace
