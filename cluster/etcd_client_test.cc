// The etcd client against real etcd members on loopback (a private cluster
// per test): keys and prefixes with any bytes, compares that refuse stale
// updates, leases, ordered watches with compaction, and what a caller sees
// when members stop: failover, lost quorum within the deadline, recovery.
// Without etcd installed these tests skip.
#include "cluster/etcd_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "tests/support/cluster/etcd_fixture.h"

namespace {

using wzetcdtest::EtcdTestCluster;
using wzetcdtest::WatchRecorder;
using Clock = std::chrono::steady_clock;
using Kind = WzEtcdWatchUpdate::Kind;

constexpr int kWaitMs = 15000;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::unique_ptr<WzScsiSrvEtcdClient> MakeClient(const std::vector<std::string>& endpoints, int timeoutMs = 2000) {
  WzEtcdClientOptions options;
  options.endpoints = endpoints;
  options.requestTimeoutMs = timeoutMs;
  std::unique_ptr<WzScsiSrvEtcdClient> client;
  CRnError err = WzScsiSrvEtcdClient::Create(options, client);
  EXPECT_TRUE(err.IsSuccess()) << err.AsString();
  return client;
}

class EtcdTest : public ::testing::Test {
 protected:
  void StartCluster(int members) {
    if (!wzetcdtest::EtcdInstalled()) GTEST_SKIP() << "etcd is not installed";
    std::string error;
    ASSERT_TRUE(m_cluster.Start(members, &error)) << error;
    m_client = MakeClient(m_cluster.ClientUrls());
    ASSERT_TRUE(m_client);
  }

  WzEtcdWrite Put(const std::string& key, const std::string& value) {
    WzEtcdWrite write;
    CRnError err = m_client->Put(key, value, &write);
    EXPECT_TRUE(err.IsSuccess()) << err.AsString();
    return write;
  }

  WzEtcdRange Get(const std::string& key) {
    WzEtcdRange range;
    CRnError err = m_client->Get(key, range);
    EXPECT_TRUE(err.IsSuccess()) << err.AsString();
    return range;
  }

  std::vector<std::string> Keys(const std::string& prefix) {
    WzEtcdRange range;
    CRnError err = m_client->GetPrefix(prefix, range);
    EXPECT_TRUE(err.IsSuccess()) << err.AsString();
    std::vector<std::string> keys;
    for (const WzEtcdKeyValue& kv : range.kvs) keys.push_back(kv.key);
    return keys;
  }

  EtcdTestCluster m_cluster;
  std::unique_ptr<WzScsiSrvEtcdClient> m_client;
};

TEST_F(EtcdTest, KeysAndPrefixesOfAnyBytesRoundTrip) {
  StartCluster(1);
  // Bytes JSON and base64 must carry untouched: NUL, 0xff, quotes, and a
  // value far larger than one network read.
  const std::string key = std::string("cfg/t\0\xff\"", 7);
  const std::string value = std::string("v\0\n\"\\", 5) + std::string(300000, 'x');
  const WzEtcdWrite first = Put(key, value);
  WzEtcdRange got = Get(key);
  ASSERT_EQ(got.kvs.size(), 1u);
  EXPECT_EQ(got.kvs[0].key, key);
  EXPECT_EQ(got.kvs[0].value, value);
  EXPECT_EQ(got.kvs[0].createRevision, first.revision);
  EXPECT_EQ(got.kvs[0].modRevision, first.revision);
  EXPECT_EQ(got.kvs[0].version, 1);

  const WzEtcdWrite second = Put(key, "short");
  got = Get(key);
  ASSERT_EQ(got.kvs.size(), 1u);
  EXPECT_EQ(got.kvs[0].value, "short");
  EXPECT_EQ(got.kvs[0].createRevision, first.revision);
  EXPECT_EQ(got.kvs[0].modRevision, second.revision);
  EXPECT_EQ(got.kvs[0].version, 2);
  EXPECT_EQ(got.revision, second.revision);

  const WzEtcdRange missing = Get("cfg/none");
  EXPECT_TRUE(missing.kvs.empty());
  EXPECT_EQ(missing.revision, second.revision);

  // The neighbours of a prefix's range end stay out; a prefix ending in
  // 0xff ends after it.
  for (const char* k : {"cfg", "cfg0", "cfg/a", "cfg/b", "cfh"}) Put(k, "1");
  Put(std::string("p\xff\x01", 3), "1");
  Put("q", "1");
  EXPECT_EQ(Keys("cfg/"), (std::vector<std::string>{"cfg/a", "cfg/b", key}));
  EXPECT_EQ(Keys(std::string("p\xff", 2)), (std::vector<std::string>{std::string("p\xff\x01", 3)}));
  EXPECT_EQ(Keys("").size(), 8u);

  WzEtcdWrite deleted;
  ASSERT_TRUE(m_client->Delete("cfg/a", &deleted).IsSuccess());
  EXPECT_EQ(deleted.deleted, 1);
  ASSERT_TRUE(m_client->Delete("cfg/a", &deleted).IsSuccess());
  EXPECT_EQ(deleted.deleted, 0);
  ASSERT_TRUE(m_client->DeletePrefix("cfg/", &deleted).IsSuccess());
  EXPECT_EQ(deleted.deleted, 2);
  EXPECT_EQ(Keys("cf"), (std::vector<std::string>{"cfg", "cfg0", "cfh"}));

  // A prefix larger than one answer may be is read whole in pages, as of
  // one revision: 40 values of 1 KiB through a client that reads at most
  // 4 KiB per answer, in pages of 16 keys.
  for (int i = 0; i < 40; ++i)
    Put("big/" + std::to_string(100 + i), std::string(1024, static_cast<char>('a' + i % 26)));
  WzEtcdClientOptions small;
  small.endpoints = m_cluster.ClientUrls();
  small.maxAnswerBytes = 4096;
  small.pageKeys = 16;
  std::unique_ptr<WzScsiSrvEtcdClient> capped;
  ASSERT_TRUE(WzScsiSrvEtcdClient::Create(small, capped).IsSuccess());
  WzEtcdRange whole;
  ASSERT_TRUE(capped->GetPrefix("big/", whole).IsSuccess());
  ASSERT_EQ(whole.kvs.size(), 40u);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(whole.kvs[static_cast<size_t>(i)].key, "big/" + std::to_string(100 + i));
    EXPECT_EQ(whole.kvs[static_cast<size_t>(i)].value, std::string(1024, static_cast<char>('a' + i % 26)));
  }
  EXPECT_EQ(whole.revision, Get("big/100").revision);
}

TEST_F(EtcdTest, ComparesRefuseStaleAndTakenChoices) {
  StartCluster(1);
  const WzEtcdWrite v1 = Put("lun/7", "owner-a");

  // Two gateways read the key at one revision; the first update wins, the
  // second is refused and sees what it lost to.
  WzEtcdTxnResult a, b;
  ASSERT_TRUE(m_client
                  ->Txn({WzEtcdCompare::ModRevisionIs("lun/7", v1.revision)}, {WzEtcdOp::Put("lun/7", "by-a")},
                        {WzEtcdOp::Get("lun/7")}, a)
                  .IsSuccess());
  ASSERT_TRUE(m_client
                  ->Txn({WzEtcdCompare::ModRevisionIs("lun/7", v1.revision)}, {WzEtcdOp::Put("lun/7", "by-b")},
                        {WzEtcdOp::Get("lun/7")}, b)
                  .IsSuccess());
  EXPECT_TRUE(a.succeeded);
  EXPECT_FALSE(b.succeeded);
  ASSERT_EQ(b.results.size(), 1u);
  ASSERT_EQ(b.results[0].kvs.size(), 1u);
  EXPECT_EQ(b.results[0].kvs[0].value, "by-a");
  EXPECT_EQ(b.results[0].kvs[0].modRevision, a.revision);
  EXPECT_EQ(b.revision, a.revision);  // a refused transaction changes nothing

  // Create-if-absent, and several changes in one revision.
  WzEtcdTxnResult create;
  ASSERT_TRUE(m_client
                  ->Txn({WzEtcdCompare::Absent("tgt/x"), WzEtcdCompare::Absent("tgt/y")},
                        {WzEtcdOp::Put("tgt/x", "1"), WzEtcdOp::Put("tgt/y", "2"), WzEtcdOp::Delete("lun/7"),
                         WzEtcdOp::GetPrefix("tgt/")},
                        {}, create)
                  .IsSuccess());
  ASSERT_TRUE(create.succeeded);
  ASSERT_EQ(create.results.size(), 4u);
  EXPECT_EQ(create.results[2].deleted, 1);
  ASSERT_EQ(create.results[3].kvs.size(), 2u);
  EXPECT_EQ(create.results[3].kvs[0].modRevision, create.revision);
  EXPECT_EQ(create.results[3].kvs[1].modRevision, create.revision);
  ASSERT_TRUE(m_client->Txn({WzEtcdCompare::Absent("tgt/x")}, {WzEtcdOp::Put("tgt/x", "3")}, {}, create).IsSuccess());
  EXPECT_FALSE(create.succeeded);
  EXPECT_TRUE(create.results.empty());

  // Each operator and target.
  using C = WzEtcdCompare;
  const std::vector<std::pair<C, bool>> cases = {
      {C::Value("tgt/x", C::Op::kEqual, "1"), true},
      {C::Value("tgt/x", C::Op::kNotEqual, "1"), false},
      {C::Value("tgt/x", C::Op::kGreater, "0"), true},
      {C::Value("tgt/x", C::Op::kLess, "0"), false},
      {C::Number("tgt/x", C::Target::kVersion, C::Op::kEqual, 1), true},
      {C::Number("tgt/x", C::Target::kVersion, C::Op::kGreater, 1), false},
      {C::Number("tgt/x", C::Target::kCreateRevision, C::Op::kLess, create.revision + 1), true},
      {C::Number("tgt/x", C::Target::kModRevision, C::Op::kNotEqual, create.revision), false},
      {C::Value("tgt/none", C::Op::kNotEqual, "1"), false},
      // A range: nothing under "tgt/z", something under "tgt/" and "tgt/x"
      // (the key itself starts with its prefix).
      {C::NoneUnder("tgt/z"), true},
      {C::NoneUnder("tgt/"), false},
      {C::NoneUnder("tgt/x"), false},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    WzEtcdTxnResult r;
    ASSERT_TRUE(m_client->Txn({cases[i].first}, {}, {}, r).IsSuccess());
    EXPECT_EQ(r.succeeded, cases[i].second) << "case " << i;
  }
}

TEST_F(EtcdTest, LeasedKeysGoWithTheirLease) {
  StartCluster(1);
  int64_t lease = 0, ttl = 0;
  ASSERT_TRUE(m_client->LeaseGrant(30, lease, &ttl).IsSuccess());
  EXPECT_EQ(ttl, 30);
  ASSERT_TRUE(m_client->Put("gw/alive/a", "1", nullptr, lease).IsSuccess());
  EXPECT_EQ(Get("gw/alive/a").kvs.at(0).lease, lease);
  int64_t left = 0;
  CRnError err = m_client->LeaseKeepAlive(lease, &left);
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  EXPECT_EQ(left, 30);

  ASSERT_TRUE(m_client->LeaseRevoke(lease).IsSuccess());
  EXPECT_TRUE(Get("gw/alive/a").kvs.empty());
  err = m_client->LeaseKeepAlive(lease, &left);
  EXPECT_TRUE(WzEtcd::IsNotFound(err)) << err.AsString();
  err = m_client->LeaseRevoke(lease);
  EXPECT_TRUE(WzEtcd::IsNotFound(err)) << err.AsString();
}

TEST_F(EtcdTest, WatchDeliversEveryChangeInOrderAndReportsCompaction) {
  StartCluster(1);
  // History before the watch starts, then changes while it runs; b/ is
  // outside the prefix.
  const int64_t from = Put("a/1", "x").revision;
  Put("b/1", "no");
  Put("a/2", "y");
  ASSERT_TRUE(m_client->Delete("a/1").IsSuccess());
  WzEtcdTxnResult both;
  ASSERT_TRUE(m_client->Txn({}, {WzEtcdOp::Put("a/3", "z"), WzEtcdOp::Put("a/4", "w")}, {}, both).IsSuccess());

  WatchRecorder recorder;
  std::unique_ptr<WzEtcdWatch> watch;
  CRnError err = m_client->Watch("a/", from, recorder.Callback(), watch);
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  int64_t last = 0;
  for (int i = 0; i < 40; ++i) {
    last = Put("a/k" + std::to_string(i % 5), std::to_string(i)).revision;
    Put("b/k", std::to_string(i));
  }
  ASSERT_TRUE(recorder.WaitForRevision(last, kWaitMs));

  const std::vector<WzEtcdEvent> events = recorder.Events();
  ASSERT_EQ(events.size(), 5u + 40u);
  EXPECT_EQ(events[0].kv.key, "a/1");
  EXPECT_EQ(events[0].kv.value, "x");
  EXPECT_EQ(events[0].kv.modRevision, from);
  EXPECT_EQ(events[1].kv.key, "a/2");
  EXPECT_EQ(events[2].type, WzEtcdEvent::Type::kDelete);
  EXPECT_EQ(events[2].kv.key, "a/1");
  EXPECT_EQ(events[3].kv.key, "a/3");
  EXPECT_EQ(events[4].kv.key, "a/4");
  EXPECT_EQ(events[3].kv.modRevision, both.revision);
  EXPECT_EQ(events[4].kv.modRevision, both.revision);
  for (size_t i = 1; i < events.size(); ++i) {
    EXPECT_GE(events[i].kv.modRevision, events[i - 1].kv.modRevision) << i;
    EXPECT_EQ(events[i].kv.key.compare(0, 2, "a/"), 0) << events[i].kv.key;
  }
  for (int i = 0; i < 40; ++i) EXPECT_EQ(events[5 + i].kv.value, std::to_string(i));
  EXPECT_EQ(watch->NextRevision(), last + 1);

  // Stopping is prompt and final.
  const Clock::time_point stopStart = Clock::now();
  watch->Stop();
  EXPECT_LT(MsSince(stopStart), 1000);
  EXPECT_FALSE(watch->Running());
  Put("a/after", "1");
  EXPECT_EQ(recorder.Events().size(), events.size());

  // A watch from before the compaction point must resync.
  ASSERT_TRUE(m_client->Compact(last).IsSuccess());
  WatchRecorder late;
  err = m_client->Watch("a/", from, late.Callback(), watch);
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  ASSERT_TRUE(late.WaitForEnd(kWaitMs));
  EXPECT_EQ(late.End().kind, Kind::kCompacted);
  EXPECT_EQ(late.End().compactRevision, last);
  EXPECT_TRUE(late.Events().empty());
}

TEST_F(EtcdTest, FailsOverWhenAMemberStops) {
  StartCluster(3);
  // An election after losing the leader takes a second or two: this test
  // is about failover, not the deadline.
  m_client = MakeClient(m_cluster.ClientUrls(), 8000);
  Put("f/0", "before");
  WatchRecorder recorder;
  std::unique_ptr<WzEtcdWatch> watch;
  ASSERT_TRUE(m_client->Watch("f/", 0, recorder.Callback(), watch).IsSuccess());
  ASSERT_EQ(watch->Endpoint(), m_cluster.ClientUrl(0));

  m_cluster.StopMember(0);
  const WzEtcdWrite after = Put("f/1", "after");
  EXPECT_EQ(Get("f/1").kvs.at(0).value, "after");

  // The watch on the stopped member reports the loss; watching again from
  // where it stopped, on a live member, misses nothing.
  ASSERT_TRUE(recorder.WaitForEnd(kWaitMs));
  EXPECT_EQ(recorder.End().kind, Kind::kLost);
  EXPECT_TRUE(WzEtcd::IsUnavailable(recorder.End().error)) << recorder.End().error.AsString();
  WatchRecorder again;
  ASSERT_TRUE(m_client->Watch("f/", watch->NextRevision(), again.Callback(), watch).IsSuccess());
  EXPECT_NE(watch->Endpoint(), m_cluster.ClientUrl(0));
  ASSERT_TRUE(again.WaitForRevision(after.revision, kWaitMs));
  EXPECT_EQ(again.Events().at(0).kv.key, "f/1");

  // The status view: every member listed, the stopped one silent, the
  // others agreeing on a leader.
  std::vector<WzEtcdMember> members;
  ASSERT_TRUE(m_client->MemberList(members).IsSuccess());
  ASSERT_EQ(members.size(), 3u);
  for (const WzEtcdMember& m : members) EXPECT_EQ(m.clientUrls.size(), 1u) << m.name;
  WzEtcdStatus s0, s1, s2;
  EXPECT_TRUE(WzEtcd::IsUnavailable(m_client->Status(m_cluster.ClientUrl(0), s0)));
  ASSERT_TRUE(m_client->Status(m_cluster.ClientUrl(1), s1).IsSuccess());
  ASSERT_TRUE(m_client->Status(m_cluster.ClientUrl(2), s2).IsSuccess());
  EXPECT_NE(s1.leader, 0u);
  EXPECT_EQ(s1.leader, s2.leader);
  EXPECT_GT(s1.raftIndex, 0u);
  EXPECT_GT(s1.dbSize, 0);
  EXPECT_EQ(s1.version.compare(0, 2, "3."), 0) << s1.version;

  // A client whose first endpoint never answers goes on to the next.
  std::unique_ptr<WzScsiSrvEtcdClient> other =
      MakeClient({m_cluster.ClientUrl(0), m_cluster.ClientUrl(1), m_cluster.ClientUrl(2)});
  const Clock::time_point start = Clock::now();
  WzEtcdRange range;
  ASSERT_TRUE(other->Get("f/1", range).IsSuccess());
  EXPECT_LT(MsSince(start), 1000);
}

TEST_F(EtcdTest, LostQuorumFailsWithinTheDeadlineAndRecovers) {
  StartCluster(3);
  Put("q/0", "before");
  WatchRecorder recorder;
  std::unique_ptr<WzEtcdWatch> watch;
  ASSERT_TRUE(m_client->Watch("q/", 0, recorder.Callback(), watch).IsSuccess());
  ASSERT_EQ(watch->Endpoint(), m_cluster.ClientUrl(0));

  m_cluster.StopMember(1);
  m_cluster.StopMember(2);
  for (int i = 0; i < 2; ++i) {
    const Clock::time_point start = Clock::now();
    CRnError err = m_client->Put("q/1", "refused");
    const long long ms = MsSince(start);
    ASSERT_TRUE(WzEtcd::IsUnavailable(err)) << err.AsString();
    EXPECT_EQ(err.AsString().find(WzEtcd::kUnavailableText), 0u) << err.AsString();
    EXPECT_LT(ms, m_client->RequestTimeoutMs() + 1000) << err.AsString();
    WzEtcdRange range;
    EXPECT_TRUE(WzEtcd::IsUnavailable(m_client->Get("q/0", range)));
  }
  // The member left alone loses its leader: the watch on it is cancelled.
  ASSERT_TRUE(recorder.WaitForEnd(kWaitMs));
  EXPECT_EQ(recorder.End().kind, Kind::kLost);

  std::string error;
  ASSERT_TRUE(m_cluster.StartMember(1, &error)) << error;
  ASSERT_TRUE(m_cluster.StartMember(2, &error)) << error;
  ASSERT_TRUE(m_cluster.WaitForLeader(kWaitMs, &error)) << error;
  const WzEtcdWrite back = Put("q/1", "back");
  EXPECT_EQ(Get("q/1").kvs.at(0).value, "back");
  WatchRecorder again;
  ASSERT_TRUE(m_client->Watch("q/", watch->NextRevision(), again.Callback(), watch).IsSuccess());
  ASSERT_TRUE(again.WaitForRevision(back.revision, kWaitMs));
  // A put refused while there was no quorum may still have been applied
  // once it returned (its outcome was unknown); only "back" is certain.
  EXPECT_EQ(again.Events().back().kv.value, "back");
}

TEST_F(EtcdTest, TlsChecksTheMemberAndTheClient) {
  if (!wzetcdtest::EtcdInstalled()) GTEST_SKIP() << "etcd is not installed";
  std::string error;
  ASSERT_TRUE(m_cluster.Start(1, &error, true)) << error;
  const WzEtcdClientOptions good = m_cluster.ClientOptions();
  ASSERT_EQ(good.endpoints.at(0).compare(0, 8, "https://"), 0);
  ASSERT_TRUE(WzScsiSrvEtcdClient::Create(good, m_client).IsSuccess());

  WatchRecorder recorder;
  std::unique_ptr<WzEtcdWatch> watch;
  ASSERT_TRUE(m_client->Watch("tls/", 0, recorder.Callback(), watch).IsSuccess());
  const WzEtcdWrite put = Put("tls/a", "over TLS");
  EXPECT_EQ(Get("tls/a").kvs.at(0).value, "over TLS");
  ASSERT_TRUE(recorder.WaitForRevision(put.revision, kWaitMs));
  EXPECT_EQ(recorder.Events().at(0).kv.value, "over TLS");
  WzEtcdStatus status;
  EXPECT_TRUE(m_client->Status(good.endpoints[0], status).IsSuccess());

  // Refused: no client certificate; a member certificate signed by a CA
  // the client does not trust; a name the certificate does not hold.
  struct Case {
    const char* what;
    WzEtcdClientOptions options;
  };
  std::vector<Case> cases = {{"no client certificate", good}, {"system CAs", good}, {"by name", good}};
  cases[0].options.tlsCertFile.clear();
  cases[0].options.tlsKeyFile.clear();
  cases[1].options.tlsCaFile.clear();
  const std::string url = good.endpoints[0];
  cases[2].options.endpoints = {"https://localhost" + url.substr(url.rfind(':'))};
  for (Case& c : cases) {
    c.options.requestTimeoutMs = 1000;
    std::unique_ptr<WzScsiSrvEtcdClient> client;
    ASSERT_TRUE(WzScsiSrvEtcdClient::Create(c.options, client).IsSuccess()) << c.what;
    WzEtcdRange range;
    CRnError err = client->Get("tls/a", range);
    EXPECT_TRUE(WzEtcd::IsUnavailable(err)) << c.what << ": " << err.AsString();
    if (&c == &cases[0]) continue;
    EXPECT_NE(err.AsString().find("certificate verify failed"), std::string::npos) << err.AsString();
  }
}

// Without etcd: what a caller sees of a configuration or a member that
// cannot serve.
TEST(EtcdClientTest, RefusesBadEndpointsAndNoticesDeadMembersWithinTheDeadline) {
  std::unique_ptr<WzScsiSrvEtcdClient> client;
  WzEtcdClientOptions options;
  EXPECT_TRUE(WzScsiSrvEtcdClient::Create(options, client).IsError());
  for (const char* bad :
       {"127.0.0.1", "ftp://127.0.0.1:2379", "127.0.0.1:0", "127.0.0.1:2379/v3", "::1:2379", ":2379"}) {
    options.endpoints = {bad};
    EXPECT_TRUE(WzScsiSrvEtcdClient::Create(options, client).IsError()) << bad;
  }
  options.endpoints = {"https://127.0.0.1:2379"};
  options.tlsCaFile = "/nonexistent/ca.crt";
  CRnError err = WzScsiSrvEtcdClient::Create(options, client);
  EXPECT_NE(err.AsString().find("cannot load the etcd TLS CA file"), std::string::npos) << err.AsString();
  options.tlsCaFile.clear();
  options.tlsCertFile = "/etc/ssl/certs/ca-certificates.crt";  // a certificate without its key
  EXPECT_TRUE(WzScsiSrvEtcdClient::Create(options, client).IsError());
  options.tlsCertFile.clear();
  options.endpoints = {"[::1]:2379", "http://127.0.0.1:2379/"};
  ASSERT_TRUE(WzScsiSrvEtcdClient::Create(options, client).IsSuccess());
  EXPECT_EQ(client->Endpoints()[0].HostPort(), "[::1]:2379");
  EXPECT_EQ(client->Endpoints()[1].Url(), "http://127.0.0.1:2379");

  // One port where nothing listens, one that accepts and never answers (a
  // listening socket nobody accepts from: the kernel completes the
  // handshake).
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(::listen(listener, 16), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const std::string silent = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  int closedSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in closedAddr{};
  closedAddr.sin_family = AF_INET;
  closedAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  len = sizeof(closedAddr);
  ASSERT_EQ(::bind(closedSocket, reinterpret_cast<sockaddr*>(&closedAddr), sizeof(closedAddr)), 0);
  ASSERT_EQ(::getsockname(closedSocket, reinterpret_cast<sockaddr*>(&closedAddr), &len), 0);
  const std::string refused = "127.0.0.1:" + std::to_string(ntohs(closedAddr.sin_port));  // bound, not listening

  std::unique_ptr<WzScsiSrvEtcdClient> dead = MakeClient({refused}, 300);
  Clock::time_point start = Clock::now();
  err = dead->Put("k", "v");
  EXPECT_TRUE(WzEtcd::IsUnavailable(err) && !WzEtcd::IsOutcomeUnknown(err)) << err.AsString();
  EXPECT_EQ(err.AsString().find(WzEtcd::kUnavailableText), 0u) << err.AsString();
  EXPECT_NE(err.AsString().find("refused"), std::string::npos) << err.AsString();
  EXPECT_LT(MsSince(start), 300 + 500);

  // A change sent to a member that never answers has an unknown outcome; a
  // read is just unavailable.
  std::unique_ptr<WzScsiSrvEtcdClient> stalled = MakeClient({silent}, 300);
  start = Clock::now();
  err = stalled->Put("k", "v");
  EXPECT_TRUE(WzEtcd::IsOutcomeUnknown(err)) << err.AsString();
  EXPECT_GE(MsSince(start), 250);
  EXPECT_LT(MsSince(start), 300 + 500);
  WzEtcdRange range;
  err = stalled->Get("k", range);
  EXPECT_TRUE(WzEtcd::IsUnavailable(err)) << err.AsString();
  std::unique_ptr<WzEtcdWatch> watch;
  start = Clock::now();
  EXPECT_TRUE(WzEtcd::IsUnavailable(stalled->Watch(
      "k", 0, [](const WzEtcdWatchUpdate&) {}, watch)));
  EXPECT_LT(MsSince(start), 300 + 500);
  ::close(listener);
  ::close(closedSocket);
}

}  // namespace
