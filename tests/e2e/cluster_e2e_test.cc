// Two gateways in cluster mode on a real 3-member etcd, each with its own
// tgtd, seen by a real initiator: a change through one is served by the
// other with the same unit serial; races across gateways never give one
// name or number twice; quorum loss refuses changes at once while I/O goes
// on; a gateway that was down (past etcd's compacted history), killed, or
// starts without etcd catches up; the gateways speak TLS to etcd.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "cluster/cluster_keys.h"
#include "drivers/unit_serial.h"
#include "tests/e2e/cluster_e2e_support.h"
#include "tests/e2e/daemon_e2e_support.h"
#include "tests/e2e/driver_harness.h"

namespace wze2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kA = 0;
constexpr size_t kB = 1;
const char* const kHost = "iqn.2024-01.com.example:host-a";
const char* const kPattern = "WzCluster-";
const char* const kUnavailable = "the cluster configuration store is unavailable";
constexpr long long k64MiB = 64ll << 20;
// Bounds of convergence after a restart or a burst: generous, the machine is
// shared; the figures themselves come from the benchmark.
constexpr int kConvergeMs = 30000;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string Iqn(const std::string& suffix) { return "iqn.2024-01.com.example:" + suffix; }

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// Where a gateway keeps the marker of the cluster it joined (under its
// state directory; "" when none).
std::string RememberedMarker(const std::string& stateDir) {
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(stateDir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->path().filename() == "Cluster.marker") return it->path().string();
  return std::string();
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A rig whose cluster gateways get further settings; gateway a behind the
// relays when relay.
ClusterRigOptions RigWith(const std::string& clusterSettings, bool relay) {
  ClusterRigOptions options;
  options.relayGatewayA = relay;
  options.clusterSettings = clusterSettings;
  return options;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// What an engine holds of a target that every gateway must agree on (tgtd's
// target numbers and sessions differ between gateways).
struct EngineTarget {
  std::map<int, std::string> luns;
  std::set<std::string> acls;
  bool operator==(const EngineTarget& o) const { return luns == o.luns && acls == o.acls; }
};
using EngineView = std::map<std::string, EngineTarget>;

class ClusterE2eTest : public ::testing::Test {
 protected:
  virtual ClusterRigOptions Options() const { return ClusterRigOptions(); }

  void SetUp() override {
    std::string missing;
    if (!ClusterRig::Installed(&missing)) GTEST_SKIP() << missing;
    std::string error;
    ASSERT_TRUE(m_rig.Start(Options(), &error)) << error;
    // A daemon that ignores the cluster settings would fail every wait
    // below only at its bound.
    for (size_t g : {kA, kB})
      ASSERT_EQ(ClusterRig::kClusterName, StatusValue(m_rig.Status(g), "cluster.name"))
          << "gateway " << g << " does not run in cluster mode";
  }

  void TearDown() override {
    if (HasFailure()) std::printf("%s", m_rig.Describe().c_str());
    m_rig.Stop();
  }

  // The service's targets in a gateway's tgtd. A gateway killed in the
  // instant between tgtd's creation of a target and the driver's mark on it
  // leaves an unmarked target with no LUN and no access rule: not the
  // service's (never touched, like any other tool's), and nothing can reach
  // it.
  EngineView Engine(size_t g) const {
    const std::string show = m_rig.Tgtd(g).ShowTargets();
    std::set<std::string> unmarked;
    std::string current;
    bool lunZero = false;
    std::istringstream lines(show);
    for (std::string line; std::getline(lines, line);) {
      if (line.compare(0, 7, "Target ") == 0) {
        current = line.substr(line.find(": ") + 2);
        lunZero = false;
      } else if (line.find("LUN: 0") != std::string::npos) {
        lunZero = true;
      } else if (lunZero && line.find("SCSI SN: ") != std::string::npos) {
        if (line.find("SCSI SN: WZSCSI") == std::string::npos) unmarked.insert(current);
        lunZero = false;
      }
    }
    EngineView out;
    for (const auto& t : ParseTgtdShow(show)) {
      if (unmarked.count(t.first) != 0 && t.second.luns.empty() && t.second.acls.empty()) continue;
      out[t.first] = EngineTarget{t.second.luns, std::set<std::string>(t.second.acls.begin(), t.second.acls.end())};
    }
    return out;
  }

  WzCtl::ReplyView CreateTarget(size_t g, const std::string& name) const {
    return m_rig.Call(g, *WzCtl::MakeCreateTarget(name, "", 0));
  }
  WzCtl::ReplyView CreateLun(size_t g, const std::string& target, const std::string& path,
                             const std::string& serial) const {
    WzCtl::LunCreateArgs args;
    args.target = target;
    args.type = 2;  // blkdev: a file of the shared directory
    args.path = path;
    args.serial = serial;
    return m_rig.Call(g, *WzCtl::MakeCreateLun(args, 0));
  }
  WzCtl::ReplyView MapHost(size_t g, const std::string& target, int64_t lun, const std::string& host) const {
    return m_rig.Call(g, *WzCtl::MakeMapHost(target, lun, host, 0));
  }

  // The targets etcd holds: keys "<prefix>t/<hex of the name>/target".
  std::set<std::string> EtcdTargets() const {
    std::set<std::string> names;
    const std::string head = m_rig.KeyPrefix() + "t/", tail = "/target";
    for (const auto& kv : m_rig.EtcdValues()) {
      const std::string& key = kv.first;
      if (key.size() <= head.size() + tail.size() || key.compare(0, head.size(), head) != 0 ||
          key.compare(key.size() - tail.size(), tail.size(), tail) != 0)
        continue;
      const std::string hex = key.substr(head.size(), key.size() - head.size() - tail.size());
      std::string name;
      for (size_t i = 0; i + 1 < hex.size(); i += 2)
        name += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
      names.insert(name);
    }
    return names;
  }

  // Both services hold the same targets, LUNs and mappings, both engines
  // hold exactly that, and etcd the same targets.
  bool Converged(std::string* why = nullptr) const {
    bool okA = false, okB = false;
    const auto targetsA = m_rig.Targets(kA, &okA), targetsB = m_rig.Targets(kB, &okB);
    const auto lunsA = m_rig.Luns(kA), lunsB = m_rig.Luns(kB);
    const EngineView engineA = Engine(kA), engineB = Engine(kB);
    std::set<std::string> engineNames;
    for (const auto& t : engineA) engineNames.insert(t.first);
    std::string reason;
    if (!okA || !okB)
      reason = "a gateway did not answer its listing";
    else if (targetsA != targetsB)
      reason = "the gateways list different targets";
    else if (lunsA != lunsB)
      reason = "the gateways list different LUNs or mappings";
    else if (engineNames != targetsA)
      reason = "gateway a's engine and its service differ";
    else if (engineA != engineB)
      reason = "the two engines differ";
    else if (EtcdTargets() != targetsA)
      reason = "etcd holds other targets than the gateways";
    if (why != nullptr) *why = reason;
    return reason.empty();
  }

  void ExpectConverged(const char* when) const {
    std::string why;
    EXPECT_TRUE(WaitUntil([&] { return Converged(&why); }, kConvergeMs, 100)) << when << ": " << why;
  }

  ClusterRig m_rig;
};

// The same on etcd members that speak https only and ask for the
// gateways' client certificates.
class ClusterTlsE2eTest : public ClusterE2eTest {
 protected:
  ClusterRigOptions Options() const override {
    ClusterRigOptions options;
    options.etcdTls = true;
    return options;
  }
};

// Gateways that read the cluster 16 keys to an answer: a configuration
// larger than one answer.
class ClusterPagedE2eTest : public ClusterE2eTest {
 protected:
  ClusterRigOptions Options() const override { return RigWith("ClusterReadPageKeys=16\n", false); }
};

TEST_F(ClusterE2eTest, AChangeThroughOneGatewayIsServedByTheOtherWithTheSameSerial) {
  const std::string target = Iqn("cluster");
  const std::string disk = m_rig.MakeDisk("shared.img", k64MiB);
  ASSERT_EQ(0, CreateTarget(kA, target).errorCode);
  const WzCtl::ReplyView lun = CreateLun(kA, target, disk, "CLU");
  ASSERT_EQ(0, lun.errorCode) << lun.errorMessage;
  const int n = static_cast<int>(lun.lunId);
  ASSERT_EQ(0, MapHost(kA, target, n, kHost).errorCode);
  const Clock::time_point acknowledged = Clock::now();

  // B's engine serves it with the same number, file and host binding.
  const EngineTarget expected{{{n, disk}}, {kHost}};
  ASSERT_TRUE(WaitUntil(
      [&] {
        const EngineView b = Engine(kB);
        return b.count(target) != 0 && b.at(target) == expected;
      },
      2000, 10))
      << "not on gateway b within 2 s of a's reply";
  std::printf("gateway b's tgtd held the change %lld ms after a's reply\n", MsSince(acknowledged));

  // Multipath sees one disk: written through A, read through B, one serial.
  const std::string serial = "unit_serial=" + WzScsiSrvUnitSerial("CLU", target, n) + "\n";
  CommandResult viaA = m_rig.Probe(kA, target, kHost, n, {"--vpd-serial", "--write-lba", "100", "--pattern", kPattern});
  ASSERT_EQ(0, viaA.exitCode) << viaA.output;
  CommandResult viaB = m_rig.Probe(kB, target, kHost, n, {"--vpd-serial", "--read-lba", "100", "--pattern", kPattern});
  ASSERT_EQ(0, viaB.exitCode) << viaB.output;
  EXPECT_TRUE(Has(viaA.output, serial)) << viaA.output;
  EXPECT_TRUE(Has(viaB.output, serial)) << viaB.output;
  EXPECT_TRUE(Has(viaB.output, "read_matches_pattern=1\n")) << viaB.output;
  // CHAP set through A guards B's portal too; the secret never reaches etcd
  // readers through a listing or a log.
  const std::string secretFile = m_rig.DiskDir() + "/chap.secret";
  {
    std::ofstream out(secretFile);
    out << "Cluster-Sesame1\n";
  }
  ASSERT_EQ(0, m_rig.Ctl(kA, {"target", "auth", target, "--user", "alice", "--secret-file", secretFile}).exitCode);
  const std::string portalB = m_rig.Tgtd(kB).Portal();
  EXPECT_TRUE(WaitUntil(
      [&] {
        return ProbeUrl(ChapUrl(portalB, target, n), kHost, {"--read-lba", "0"}).exitCode != 0;
      },
      2000))
      << "B still lets the host in without CHAP";
  CommandResult chapB = ProbeUrl(ChapUrl(portalB, target, n, "alice", "Cluster-Sesame1"), kHost, {"--read-lba", "0"});
  EXPECT_EQ(0, chapB.exitCode) << chapB.output;
  ASSERT_EQ(0, m_rig.Ctl(kB, {"target", "auth", target, "--off"}).exitCode);
  // Both show the cluster and have caught up with the store (whose revision
  // a gateway learns by polling etcd).
  for (size_t g : {kA, kB}) {
    StatusLines status;
    EXPECT_TRUE(WaitUntil(
        [&] {
          status = m_rig.Status(g);
          return StatusValue(status, "cluster.lag") == "0" &&
                 StatusValue(status, "cluster.storeRevision") == StatusValue(status, "cluster.revision");
        },
        5000))
        << "gateway " << g << ": revision " << StatusValue(status, "cluster.revision") << ", store's "
        << StatusValue(status, "cluster.storeRevision");
    EXPECT_EQ(ClusterRig::kClusterName, StatusValue(status, "cluster.name"));
    EXPECT_EQ("yes", StatusValue(status, "cluster.available"));
    EXPECT_EQ("yes", StatusValue(status, "cluster.watching"));
    EXPECT_EQ("3", StatusValue(status, "cluster.members"));
    size_t memberLines = 0;
    for (const auto& line : status) memberLines += line.first == "cluster.member";
    EXPECT_EQ(3u, memberLines);
  }
  // Another cluster's writes on the same etcd move etcd's revision, never
  // this cluster's lag.
  std::vector<std::pair<std::string, std::string>> others;
  for (int i = 0; i < 300; ++i) others.emplace_back("/wzscsi/wz-e2e-other/t/" + std::to_string(i), "x");
  std::string putError;
  ASSERT_TRUE(m_rig.PutEtcd(others, &putError)) << putError;
  ASSERT_TRUE(WaitUntil(
      [&] {
        const StatusLines s = m_rig.Status(kA);
        return std::stoll(StatusValue(s, "cluster.storeRevision")) > std::stoll(StatusValue(s, "cluster.revision"));
      },
      5000))
      << "a never saw etcd's revision move";
  for (int probe = 0; probe < 3; ++probe) {
    const StatusLines s = m_rig.Status(kA);
    EXPECT_EQ("0", StatusValue(s, "cluster.lag"));
    EXPECT_EQ("yes", StatusValue(s, "cluster.watching"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  }
  EXPECT_EQ("0", StatusValue(m_rig.Status(kA), "cluster.staleSeconds"));
  const WzCtlRunResult json = m_rig.Ctl(kB, {"--json", "status"});
  EXPECT_TRUE(Has(json.out, "\"cluster.available\":\"yes\"")) << json.out;

  // And back: B takes it all down, A's engine follows and etcd forgets it.
  ASSERT_EQ(0, m_rig.Ctl(kB, {"host", "unmap", target, std::to_string(n), kHost}).exitCode);
  ASSERT_EQ(0, m_rig.Ctl(kB, {"lun", "delete", target, std::to_string(n)}).exitCode);
  ASSERT_EQ(0, m_rig.Ctl(kB, {"target", "delete", target}).exitCode);
  EXPECT_TRUE(WaitUntil([&] { return Engine(kA).empty() && m_rig.Targets(kA).empty(); }, 5000));
  for (const auto& kv : m_rig.EtcdValues()) EXPECT_FALSE(Has(kv.second, target)) << kv.first;

  // Stopped, so that their logs are complete: each logged what it applied
  // from the other, and nothing of this went wrong.
  ASSERT_EQ(0, m_rig.StopGateway(kA));
  ASSERT_EQ(0, m_rig.StopGateway(kB));
  const std::string logA = m_rig.DaemonLog(kA), logB = m_rig.DaemonLog(kB);
  EXPECT_TRUE(Has(logB, "Applied from the cluster: put LUN ")) << "b logs what it applied";
  EXPECT_TRUE(Has(logA, "Applied from the cluster: removal of target ")) << "a logs what it applied";
  for (const std::string* log : {&logA, &logB}) {
    const size_t error = log->find(" ERROR ");
    EXPECT_EQ(std::string::npos, error) << log->substr(error == std::string::npos ? 0 : error, 300);
  }
}

TEST_F(ClusterE2eTest, RacesAcrossGatewaysNeverGiveOneNameOrNumberTwice) {
  // 16 creates of one name, half through each gateway, released together.
  const std::string raced = Iqn("raced");
  std::atomic<int> ready{0};
  std::vector<WzCtl::ReplyView> replies(16);
  {
    std::vector<std::thread> threads;
    for (size_t i = 0; i < replies.size(); ++i)
      threads.emplace_back([&, i] {
        ready.fetch_add(1);
        while (ready.load() < 16) std::this_thread::yield();
        replies[i] = CreateTarget(i % 2, raced);
      });
    for (std::thread& t : threads) t.join();
  }
  int created = 0;
  for (const WzCtl::ReplyView& r : replies) {
    created += r.errorCode == 0;
    if (r.errorCode != 0) {
      EXPECT_EQ(7, r.errorCode) << r.errorMessage;
    }
  }
  EXPECT_EQ(1, created);
  int named = 0;
  for (const WzCtl::ReplyView& r : replies) named += Has(r.errorMessage, "another gateway");
  std::printf("%d of 15 refusals of the raced target named the other gateway\n", named);

  // 200 LUN creates on one target, 16 at a time through both gateways.
  const std::string target = Iqn("many");
  ASSERT_EQ(0, CreateTarget(kA, target).errorCode);
  ASSERT_TRUE(WaitUntil([&] { return m_rig.Targets(kB).count(target) != 0; }, 5000)) << "b never saw the target";
  constexpr int kLuns = 200;
  std::vector<std::string> paths(kLuns);
  for (int i = 0; i < kLuns; ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "lun-%03d.img", i);
    paths[i] = m_rig.MakeDisk(name, 1 << 20);
    ASSERT_FALSE(paths[i].empty());
  }
  std::vector<WzCtl::ReplyView> lunReplies(kLuns);
  std::atomic<int> next{0};
  {
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 16; ++t)
      threads.emplace_back([&, t] {
        for (int i = next.fetch_add(1); i < kLuns; i = next.fetch_add(1))
          lunReplies[i] = CreateLun(t % 2, target, paths[i], "R");
      });
    for (std::thread& th : threads) th.join();
  }
  std::map<int, std::string> acknowledged;  // number -> file
  std::set<std::string> acknowledgedPaths;
  for (int i = 0; i < kLuns; ++i) {
    const WzCtl::ReplyView& r = lunReplies[i];
    if (r.errorCode != 0) {
      // Only a race with the other gateway may refuse one of these.
      EXPECT_EQ(8, r.errorCode) << paths[i] << ": " << r.errorMessage;
      EXPECT_TRUE(Has(r.errorMessage, "nother gateway")) << r.errorMessage;
      continue;
    }
    EXPECT_TRUE(acknowledged.emplace(static_cast<int>(r.lunId), paths[i]).second) << "LUN " << r.lunId << " twice";
    acknowledgedPaths.insert(paths[i]);
  }
  std::printf("%zu of %d concurrent LUN creates acknowledged\n", acknowledged.size(), kLuns);
  ASSERT_FALSE(acknowledged.empty());

  // Every acknowledged LUN, and nothing else, on both engines and in etcd.
  std::string why;
  EXPECT_TRUE(WaitUntil(
      [&] {
        for (size_t g : {kA, kB}) {
          const EngineView e = Engine(g);
          if (e.count(target) == 0 || e.at(target).luns != acknowledged) {
            why = "gateway " + std::to_string(g) + "'s engine differs";
            return false;
          }
          if (m_rig.Luns(g)[target].size() != acknowledged.size()) {
            why = "gateway " + std::to_string(g) + " lists another number of LUNs";
            return false;
          }
        }
        return true;
      },
      kConvergeMs, 200))
      << why;
  std::set<std::string> stored;
  for (const auto& kv : m_rig.EtcdValues())
    for (const std::string& p : paths)
      if (Has(kv.second, p)) stored.insert(p);
  EXPECT_EQ(acknowledgedPaths, stored);
  ExpectConverged("after the races");
}

TEST_F(ClusterE2eTest, WithoutQuorumChangesAreRefusedAtOnceWhileIoGoesOn) {
  const std::string target = Iqn("quorum");
  const std::string disk = m_rig.MakeDisk("q.img", k64MiB);
  ASSERT_EQ(0, CreateTarget(kA, target).errorCode);
  const WzCtl::ReplyView lun = CreateLun(kA, target, disk, "Q");
  ASSERT_EQ(0, lun.errorCode) << lun.errorMessage;
  const int n = static_cast<int>(lun.lunId);
  ASSERT_EQ(0, MapHost(kA, target, n, kHost).errorCode);
  ASSERT_EQ(0, m_rig.Probe(kA, target, kHost, n, {"--write-lba", "7", "--pattern", kPattern}).exitCode);
  ExpectConverged("before the members stop");

  m_rig.Etcd().StopMember(0);
  EXPECT_EQ(0, CreateTarget(kA, Iqn("one-down-a")).errorCode);
  EXPECT_EQ(0, CreateTarget(kB, Iqn("one-down-b")).errorCode);

  m_rig.Etcd().StopMember(1);
  for (size_t g : {kA, kB}) {
    const Clock::time_point start = Clock::now();
    const WzCtl::ReplyView r = CreateTarget(g, Iqn("no-quorum-" + std::to_string(g)));
    const long long refusedAfterMs = MsSince(start);
    EXPECT_LT(refusedAfterMs, 5000) << "gateway " << g << " took too long to refuse";
    std::printf("gateway %zu refused a change without quorum in %lld ms\n", g, refusedAfterMs);
    EXPECT_EQ(1, r.errorCode) << r.errorMessage;
    EXPECT_TRUE(StartsWith(r.errorMessage, kUnavailable)) << r.errorMessage;
    EXPECT_TRUE(WaitUntil([&] { return StatusValue(m_rig.Status(g), "cluster.available") == "no"; }, 10000)) << g;
    bool listed = false;
    EXPECT_EQ(1u, m_rig.Targets(g, &listed).count(target));
    EXPECT_TRUE(listed);
    const CommandResult read = m_rig.Probe(g, target, kHost, n, {"--read-lba", "7", "--pattern", kPattern});
    EXPECT_EQ(0, read.exitCode) << read.output;
    EXPECT_TRUE(Has(read.output, "read_matches_pattern=1\n")) << read.output;
  }

  std::string error;
  ASSERT_TRUE(m_rig.Etcd().StartMember(1, &error)) << error;
  ASSERT_TRUE(m_rig.Etcd().StartMember(0, &error)) << error;
  ASSERT_TRUE(m_rig.Etcd().WaitForLeader(30000, &error)) << error;
  for (size_t g : {kA, kB}) {
    // A try whose answer was lost may have made it: then it exists.
    const std::string name = Iqn("back-" + std::to_string(g));
    EXPECT_TRUE(WaitUntil(
        [&] {
          const int64_t code = CreateTarget(g, name).errorCode;
          return code == 0 || code == 7;
        },
        20000, 200))
        << "gateway " << g << " still refuses changes";
  }
  ExpectConverged("after quorum came back");
  for (size_t g : {kA, kB}) EXPECT_EQ("yes", StatusValue(m_rig.Status(g), "cluster.available"));
  // A refused change whose request reached the one member left may still
  // be committed once quorum is back (etcd keeps the proposal): then it is
  // everywhere, else nowhere; never on one side only.
  const std::map<std::string, std::string> stored = m_rig.EtcdValues();
  const std::set<std::string> onA = m_rig.Targets(kA);
  for (size_t g : {kA, kB}) {
    const std::string name = Iqn("no-quorum-" + std::to_string(g));
    bool inEtcd = false;
    for (const auto& kv : stored) inEtcd = inEtcd || Has(kv.second, name);
    EXPECT_EQ(inEtcd, onA.count(name) != 0) << name;
    if (inEtcd) std::printf("%s, refused without quorum, was committed once quorum came back\n", name.c_str());
  }
}

TEST_F(ClusterPagedE2eTest, AGatewayThatWasDownCatchesUpAndStartsFromItsCacheWithoutEtcd) {
  ASSERT_EQ(0, m_rig.StopGateway(kB));
  // 100 changes while B is away: 30 targets with a mapped LUN each, then 10
  // of the mappings removed again.
  std::vector<int64_t> lunIds;
  for (int i = 0; i < 30; ++i) {
    const std::string target = Iqn("away-" + std::to_string(i));
    ASSERT_EQ(0, CreateTarget(kA, target).errorCode);
    const WzCtl::ReplyView lun = CreateLun(kA, target, m_rig.MakeDisk("away-" + std::to_string(i), 1 << 20), "AW");
    ASSERT_EQ(0, lun.errorCode) << lun.errorMessage;
    ASSERT_EQ(0, MapHost(kA, target, lun.lunId, kHost).errorCode);
    lunIds.push_back(lun.lunId);
  }
  for (int i = 0; i < 10; ++i)
    ASSERT_EQ(0,
              m_rig.Call(kA, *WzCtl::MakeUnmapHost(Iqn("away-" + std::to_string(i)), lunIds[i], kHost, 0)).errorCode);

  // A LUN record under a target the cluster does not hold (written past
  // the gateways): reported, never served.
  std::string ghostLun;
  WzCtl::LunCreateArgs ghost;
  ghost.target = Iqn("ghost");
  ghost.type = 2;
  ghost.path = m_rig.MakeDisk("ghost.img", 1 << 20);
  ASSERT_EQ(0, WzCtl::MakeCreateLun(ghost, 0)->serialize(ghostLun, false));
  std::string error;
  ASSERT_TRUE(m_rig.PutEtcd({{WzScsiSrvClusterKeys::LunKey(m_rig.KeyPrefix(), Iqn("ghost"), 3), ghostLun}}, &error))
      << error;

  // History gone too: B cannot follow from where it stopped and must read
  // the whole configuration again, 16 keys to an answer.
  ASSERT_TRUE(m_rig.CompactEtcd(&error)) << error;
  const Clock::time_point restart = Clock::now();
  ASSERT_TRUE(m_rig.StartGateway(kB, &error)) << error;
  ExpectConverged("after b's restart");
  std::printf("gateway b converged %lld ms after its restart began\n", MsSince(restart));
  const StatusLines afterRestart = m_rig.Status(kB);
  EXPECT_EQ("1", StatusValue(afterRestart, "cluster.orphanRecords"));
  EXPECT_TRUE(StartsWith(StatusValue(afterRestart, "failure"), "LUN\t" + Iqn("ghost") + "\t3\t"))
      << StatusValue(afterRestart, "failure");
  EXPECT_EQ(1u, Count(m_rig.DaemonLog(kB), "LUN 3 of target " + Iqn("ghost") + " (key "))
      << "logged once, with the LUN and its target";

  // etcd down: B starts from its own cache, serves, and refuses changes.
  const auto luns = m_rig.Luns(kB);
  ASSERT_EQ(0, m_rig.StopGateway(kB));
  for (size_t m = 0; m < 3; ++m) m_rig.Etcd().StopMember(m);
  ASSERT_TRUE(m_rig.StartGateway(kB, &error)) << error;
  EXPECT_EQ(luns, m_rig.Luns(kB));
  EXPECT_EQ(Engine(kA), Engine(kB));
  const CommandResult probe = m_rig.Probe(kB, Iqn("away-20"), kHost, static_cast<int>(lunIds[20]));
  EXPECT_EQ(0, probe.exitCode) << probe.output;
  EXPECT_EQ("no", StatusValue(m_rig.Status(kB), "cluster.available"));
  const WzCtl::ReplyView refused = CreateTarget(kB, Iqn("while-down"));
  EXPECT_EQ(1, refused.errorCode);
  EXPECT_TRUE(StartsWith(refused.errorMessage, kUnavailable)) << refused.errorMessage;

  // etcd back: B follows again.
  for (size_t m = 0; m < 3; ++m) ASSERT_TRUE(m_rig.Etcd().StartMember(m, &error)) << error;
  ASSERT_TRUE(m_rig.Etcd().WaitForLeader(30000, &error)) << error;
  EXPECT_TRUE(WaitUntil(
      [&] {
        const StatusLines s = m_rig.Status(kB);
        return StatusValue(s, "cluster.available") == "yes" && StatusValue(s, "cluster.watching") == "yes";
      },
      kConvergeMs, 200));
  EXPECT_TRUE(WaitUntil(
      [&] {
        const int64_t c = CreateTarget(kA, Iqn("after-etcd")).errorCode;
        return c == 0 || c == 7;
      },
      20000, 200));
  ExpectConverged("after etcd came back");
}

TEST_F(ClusterTlsE2eTest, EveryChangeAcknowledgedBeforeAGatewayIsKilledReachesTheOther) {
  std::mutex mutex;
  std::set<std::string> acknowledged;
  std::string attempted;  // the one in flight when the gateway died
  std::atomic<bool> stop{false};
  std::thread stream([&] {
    for (int i = 0; i < 1000 && !stop.load(); ++i) {
      const std::string name = Iqn("stream-" + std::to_string(i));
      {
        std::lock_guard<std::mutex> lock(mutex);
        attempted = name;
      }
      if (CreateTarget(kA, name).errorCode != 0) return;
      std::lock_guard<std::mutex> lock(mutex);
      acknowledged.insert(name);
    }
  });
  const bool enough = WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return acknowledged.size() >= 25;
      },
      20000, 5);
  m_rig.KillGateway(kA);
  stop.store(true);
  stream.join();
  ASSERT_TRUE(enough) << "the stream of changes did not get going";

  std::set<std::string> missing;
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::set<std::string> onB = m_rig.Targets(kB);
        const EngineView engineB = Engine(kB);
        missing.clear();
        for (const std::string& name : acknowledged)
          if (onB.count(name) == 0 || engineB.count(name) == 0) missing.insert(name);
        return missing.empty();
      },
      kConvergeMs, 100))
      << missing.size() << " acknowledged changes never reached b, the first " << *missing.begin();
  for (const std::string& name : m_rig.Targets(kB))
    EXPECT_TRUE(acknowledged.count(name) != 0 || name == attempted) << name << " was never acknowledged";

  std::string error;
  ASSERT_TRUE(m_rig.StartGateway(kA, &error)) << error;
  ExpectConverged("after a's restart");
}

// Gateway a reaches etcd through relays that can make its connections
// half-open, with a short watch deadline.
class ClusterRelayE2eTest : public ClusterE2eTest {
 protected:
  ClusterRigOptions Options() const override { return RigWith("ClusterWatchDeadlineSecs=2\n", true); }
};

TEST_F(ClusterRelayE2eTest, AHalfOpenWatchIsNoticedAndTheRevocationReachesTheGateway) {
  const std::string target = Iqn("halfopen");
  const std::string disk = m_rig.MakeDisk("halfopen.img", k64MiB);
  ASSERT_EQ(0, CreateTarget(kB, target).errorCode);
  const WzCtl::ReplyView lun = CreateLun(kB, target, disk, "HALF");
  ASSERT_EQ(0, lun.errorCode) << lun.errorMessage;
  const int n = static_cast<int>(lun.lunId);
  ASSERT_EQ(0, MapHost(kB, target, n, kHost).errorCode);
  ASSERT_TRUE(WaitUntil(
      [&] {
        return m_rig.Probe(kA, target, kHost, n, {"--read-lba", "0"}).exitCode == 0;
      },
      5000))
      << "a does not serve the host before the cut";

  // Every connection a holds to etcd goes silent, without a FIN or RST; new
  // ones pass. The revocation through b must still reach a.
  for (size_t m = 0; m < m_rig.RelayCount(); ++m) m_rig.Relay(m).HalfOpenExisting();
  const Clock::time_point cut = Clock::now();
  ASSERT_EQ(0, m_rig.Ctl(kB, {"host", "unmap", target, std::to_string(n), kHost}).exitCode);
  bool noticed = false;
  const bool refused = WaitUntil(
      [&] {
        const StatusLines status = m_rig.Status(kA);
        const std::string stale = StatusValue(status, "cluster.staleSeconds");
        if (StatusValue(status, "cluster.watching") == "no" || (!stale.empty() && stale != "0")) noticed = true;
        return m_rig.Probe(kA, target, kHost, n, {"--read-lba", "0"}).exitCode != 0;
      },
      15000, 200);
  EXPECT_TRUE(refused) << "the host still reads through a 15 s after the unmap";
  std::printf("a refused the host %lld ms after the unmap over half-open connections\n", MsSince(cut));
  EXPECT_TRUE(noticed) << "a's status never said it was behind";
  ExpectConverged("after the half-open watch");
}

TEST_F(ClusterE2eTest, AnEngineDownWhileAMappingIsRemovedNeverGrantsItAgain) {
  const std::string target = Iqn("enginedown");
  const std::string disk = m_rig.MakeDisk("enginedown.img", k64MiB);
  ASSERT_EQ(0, CreateTarget(kB, target).errorCode);
  const WzCtl::ReplyView lun = CreateLun(kB, target, disk, "DOWN");
  ASSERT_EQ(0, lun.errorCode) << lun.errorMessage;
  const int n = static_cast<int>(lun.lunId);
  ASSERT_EQ(0, MapHost(kB, target, n, kHost).errorCode);
  ASSERT_TRUE(WaitUntil([&] { return Engine(kA).count(target) != 0 && !Engine(kA).at(target).acls.empty(); }, 5000));

  m_rig.Tgtd(kA).Kill();
  ASSERT_EQ(0, m_rig.Ctl(kB, {"host", "unmap", target, std::to_string(n), kHost}).exitCode);
  bool listed = false;
  ASSERT_TRUE(WaitUntil(
      [&] {
        listed = StatusValue(m_rig.Status(kA), "cluster.pendingRemovals") == "1";
        return listed;
      },
      5000))
      << "a's status does not list the pending removal";
  std::string error;
  ASSERT_TRUE(m_rig.Tgtd(kA).Restart(&error)) << error;
  EXPECT_TRUE(WaitUntil([&] { return StatusValue(m_rig.Status(kA), "cluster.pendingRemovals") == "0"; }, 10000));
  EXPECT_TRUE(WaitUntil([&] { return Engine(kA).count(target) != 0; }, 10000)) << "the target is served again";
  EXPECT_NE(0, m_rig.Probe(kA, target, kHost, n, {"--read-lba", "0"}).exitCode) << "the host reads through a again";
  ExpectConverged("after the engine's restart");
}

// A gateway of the cluster switched to local mode, given a target there,
// then switched back with a mistyped (empty) cluster's name: its start is
// refused and it serves what it holds; the import moves it all in.
TEST_F(ClusterE2eTest, AMistypedClusterNameNeverWipesAGatewayAndImportMovesItIn) {
  const std::string target = Iqn("typo");
  const std::string disk = m_rig.MakeDisk("typo.img", k64MiB);
  ASSERT_EQ(0, CreateTarget(kA, target).errorCode);
  const WzCtl::ReplyView lun = CreateLun(kA, target, disk, "TYPO");
  ASSERT_EQ(0, lun.errorCode) << lun.errorMessage;
  const int n = static_cast<int>(lun.lunId);
  ASSERT_EQ(0, MapHost(kA, target, n, kHost).errorCode);
  ASSERT_EQ(0, m_rig.StopGateway(kA));
  std::string error;
  ASSERT_TRUE(m_rig.Reconfigure(kA, "", &error)) << error;
  ASSERT_TRUE(m_rig.StartGateway(kA, &error)) << error;
  const std::string local = Iqn("typo-local");
  ASSERT_EQ(0, CreateTarget(kA, local).errorCode);

  // Restarted with another (empty) cluster's name: refused, still serving.
  ASSERT_EQ(0, m_rig.StopGateway(kA));
  ASSERT_TRUE(m_rig.Reconfigure(kA, "wz-e2e-typo", &error)) << error;
  ASSERT_TRUE(m_rig.StartGateway(kA, &error)) << error;
  const StatusLines refused = m_rig.Status(kA);
  EXPECT_TRUE(Has(StatusValue(refused, "cluster.refused"), "wzscsictl cluster import"))
      << StatusValue(refused, "cluster.refused");
  EXPECT_EQ(1u, m_rig.Targets(kA).count(target)) << "the target left the gateway";
  EXPECT_EQ(1u, m_rig.Targets(kA).count(local)) << "the local target left the gateway";
  EXPECT_EQ(0, m_rig.Probe(kA, target, kHost, n, {"--read-lba", "0"}).exitCode) << "the host lost its disk";
  EXPECT_NE(0, CreateTarget(kA, Iqn("typo-refused")).errorCode) << "a refused start takes no change";

  // Imported: the new cluster holds it, and a second gateway of that name
  // serves it.
  const WzCtlRunResult imported = m_rig.Ctl(kA, {"cluster", "import"});
  ASSERT_EQ(0, imported.exitCode) << imported.out << imported.err;
  EXPECT_TRUE(Has(imported.out, "imported 2 targets, 1 LUNs and 1 mappings")) << imported.out;
  EXPECT_EQ("", StatusValue(m_rig.Status(kA), "cluster.refused"));
  ASSERT_EQ(0, m_rig.StopGateway(kB));
  ASSERT_TRUE(m_rig.Reconfigure(kB, "wz-e2e-typo", &error)) << error;
  ASSERT_TRUE(m_rig.StartGateway(kB, &error)) << error;
  EXPECT_TRUE(WaitUntil([&] { return m_rig.Targets(kB).count(target) != 0; }, 5000));
  EXPECT_EQ(1u, m_rig.Targets(kB).count(local));
  EXPECT_EQ(0, m_rig.Probe(kB, target, kHost, n, {"--read-lba", "0"}).exitCode);
  EXPECT_EQ(0, CreateTarget(kA, Iqn("typo-after")).errorCode);

  // The cluster made again under the same name (another id): a refuses it
  // and serves what it holds, until told to follow it.
  const std::string markerKey = WzScsiSrvClusterKeys::MarkerKey(WzScsiSrvClusterKeys::Prefix("wz-e2e-typo"));
  const std::string remembered = RememberedMarker(m_rig.StateDir(kA));
  ASSERT_NE("", remembered) << "a does not remember the cluster it joined";
  EXPECT_TRUE(Has(ReadText(remembered), "\nid=")) << ReadText(remembered);
  ASSERT_EQ(0, m_rig.StopGateway(kA));
  const std::string idKey = WzScsiSrvClusterKeys::ClusterIdKey(WzScsiSrvClusterKeys::Prefix("wz-e2e-typo"));
  ASSERT_TRUE(m_rig.PutEtcd({{idKey, "made-again"}}, &error)) << error;
  ASSERT_TRUE(m_rig.StartGateway(kA, &error)) << error;
  const std::string why = StatusValue(m_rig.Status(kA), "cluster.refused");
  EXPECT_TRUE(Has(why, "is not the one this gateway joined: its id is made-again")) << why;
  EXPECT_TRUE(Has(why, "remove " + remembered + " and restart")) << why;
  EXPECT_EQ(0, m_rig.Probe(kA, target, kHost, n, {"--read-lba", "0"}).exitCode) << "the host lost its disk";
  // Told to follow: it adopts the cluster's id and remembers it; the marker
  // keeps the form gateways of the previous version read.
  ASSERT_EQ(0, m_rig.StopGateway(kA));
  ASSERT_EQ(0, std::remove(remembered.c_str()));
  ASSERT_TRUE(m_rig.StartGateway(kA, &error)) << error;
  EXPECT_EQ("", StatusValue(m_rig.Status(kA), "cluster.refused"));
  bool ok = false;
  const std::string marker = m_rig.EtcdValues(&ok, WzScsiSrvClusterKeys::Prefix("wz-e2e-typo"))[markerKey];
  EXPECT_TRUE(ok);
  EXPECT_EQ("name=wz-e2e-typo\n", marker);
  EXPECT_EQ("name=wz-e2e-typo\nid=made-again\n", ReadText(remembered));
}

// While gateway a is cut off, b replaces a LUN with another disk under the
// same number and serial prefix and etcd's history is compacted: whether a
// resyncs or starts again, it serves the new disk, never the old one under
// the same unit serial.
TEST_F(ClusterRelayE2eTest, AReplacedLunIsReplacedAfterACompactedCutAndARestart) {
  for (const bool restart : {false, true}) {
    const std::string target = Iqn(restart ? "replaced-restart" : "replaced");
    const std::string x = m_rig.MakeDisk(restart ? "x2.img" : "x.img", k64MiB);
    const std::string y = m_rig.MakeDisk(restart ? "y2.img" : "y.img", k64MiB);
    ASSERT_EQ(0, CreateTarget(kA, target).errorCode);
    const WzCtl::ReplyView lun = CreateLun(kA, target, x, "SAME");
    ASSERT_EQ(0, lun.errorCode) << lun.errorMessage;
    const int n = static_cast<int>(lun.lunId);
    ASSERT_EQ(0, MapHost(kA, target, n, kHost).errorCode);
    ASSERT_TRUE(WaitUntil([&] { return Engine(kB).count(target) != 0 && !Engine(kB).at(target).acls.empty(); }, 5000));

    for (size_t m = 0; m < m_rig.RelayCount(); ++m) m_rig.Relay(m).SetMode(TcpRelay::Mode::kBlackHole);
    if (restart) m_rig.KillGateway(kA);
    ASSERT_EQ(0, m_rig.Ctl(kB, {"host", "unmap", target, std::to_string(n), kHost}).exitCode);
    ASSERT_EQ(0, m_rig.Ctl(kB, {"lun", "delete", target, std::to_string(n)}).exitCode);
    const WzCtl::ReplyView again = CreateLun(kB, target, y, "SAME");
    ASSERT_EQ(0, again.errorCode) << again.errorMessage;
    ASSERT_EQ(n, static_cast<int>(again.lunId)) << "the new disk takes the old number";
    ASSERT_EQ(0, MapHost(kB, target, n, kHost).errorCode);
    CommandResult written = m_rig.Probe(kB, target, kHost, n, {"--write-lba", "100", "--pattern", kPattern});
    ASSERT_EQ(0, written.exitCode) << written.output;
    std::string error;
    ASSERT_TRUE(m_rig.CompactEtcd(&error)) << error;
    for (size_t m = 0; m < m_rig.RelayCount(); ++m) m_rig.Relay(m).SetMode(TcpRelay::Mode::kPass);
    if (restart) {
      ASSERT_TRUE(m_rig.StartGateway(kA, &error)) << error;
    }

    const EngineTarget expected{{{n, y}}, {kHost}};
    EXPECT_TRUE(WaitUntil([&] { return Engine(kA).count(target) != 0 && Engine(kA).at(target) == expected; }, 15000))
        << (restart ? "after a's restart" : "after a's resync") << ": a's engine does not serve " << y;
    const std::string serial = "unit_serial=" + WzScsiSrvUnitSerial("SAME", target, n) + "\n";
    CommandResult viaA =
        m_rig.Probe(kA, target, kHost, n, {"--vpd-serial", "--read-lba", "100", "--pattern", kPattern});
    EXPECT_EQ(0, viaA.exitCode) << viaA.output;
    EXPECT_TRUE(Has(viaA.output, serial)) << viaA.output;
    EXPECT_TRUE(Has(viaA.output, "read_matches_pattern=1\n")) << "a serves another disk: " << viaA.output;
    ExpectConverged(restart ? "after the restart variant" : "after the resync");
    if (HasFailure()) {
      std::istringstream log(m_rig.DaemonLog(kA));
      for (std::string line; std::getline(log, line);)
        if (line.find("Handle Ioctl") == std::string::npos && line.find("request from") == std::string::npos)
          std::printf("a: %s\n", line.c_str());
    }
  }
}

// Gateway a stops serving while it cannot know whether it is current.
class ClusterFenceE2eTest : public ClusterE2eTest {
 protected:
  ClusterRigOptions Options() const override {
    return RigWith("ClusterWatchDeadlineSecs=1\nClusterFenceAfterSecs=3\n", true);
  }
};

TEST_F(ClusterFenceE2eTest, AGatewayCutOffPastTheFenceStopsServingUntilItCaughtUp) {
  const std::string target = Iqn("fenced");
  const std::string disk = m_rig.MakeDisk("fenced.img", k64MiB);
  ASSERT_EQ(0, CreateTarget(kB, target).errorCode);
  const WzCtl::ReplyView lun = CreateLun(kB, target, disk, "FENCE");
  ASSERT_EQ(0, lun.errorCode) << lun.errorMessage;
  const int n = static_cast<int>(lun.lunId);
  ASSERT_EQ(0, MapHost(kB, target, n, kHost).errorCode);
  ASSERT_TRUE(WaitUntil([&] { return m_rig.Probe(kA, target, kHost, n, {"--read-lba", "0"}).exitCode == 0; }, 5000));

  for (size_t m = 0; m < m_rig.RelayCount(); ++m) m_rig.Relay(m).SetMode(TcpRelay::Mode::kBlackHole);
  EXPECT_TRUE(WaitUntil(
      [&] {
        return m_rig.Probe(kA, target, kHost, n, {"--read-lba", "0"}).exitCode != 0;
      },
      30000))
      << "a still serves while cut off past ClusterFenceAfterSecs";
  EXPECT_EQ("yes", StatusValue(m_rig.Status(kA), "cluster.fenced"));
  EXPECT_EQ(0, m_rig.Probe(kB, target, kHost, n, {"--read-lba", "0"}).exitCode) << "b is current and serves";

  for (size_t m = 0; m < m_rig.RelayCount(); ++m) m_rig.Relay(m).SetMode(TcpRelay::Mode::kPass);
  EXPECT_TRUE(WaitUntil(
      [&] {
        return m_rig.Probe(kA, target, kHost, n, {"--read-lba", "0"}).exitCode == 0;
      },
      30000))
      << "a does not serve again after the cut";
  EXPECT_EQ("no", StatusValue(m_rig.Status(kA), "cluster.fenced"));
  ExpectConverged("after the fence");
}

}  // namespace
}  // namespace wze2e
