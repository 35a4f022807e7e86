// The etcd client's benchmark, against a private 3-member etcd cluster on
// loopback (the tests' fixture): sequential put and transaction latency
// (p50, p99) and rate through one client with its keep-alive pool, the same
// puts with a connection per request (what the pool saves), puts from
// several threads sharing one client, and a watch's delivery delay (a put
// issued on one connection until its event reaches the watch's callback).
// Values are 600 bytes, the size of a saved request.
//
// Prints a table and writes the figures as JSON (--json). Exit status 0 when
// every measurement ran, 1 otherwise (etcd missing included).
#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_stats.h"
#include "cluster/etcd_client.h"
#include "tests/support/cluster/etcd_fixture.h"

namespace {

using namespace wzbench;
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Options {
  int ops = 2000;
  int threads = 4;
  std::string jsonOut;
};

std::unique_ptr<WzScsiSrvEtcdClient> MakeClient(const wzetcdtest::EtcdTestCluster& cluster, size_t idle) {
  WzEtcdClientOptions options;
  options.endpoints = cluster.ClientUrls();
  options.maxIdleConnections = idle;
  std::unique_ptr<WzScsiSrvEtcdClient> client;
  if (WzScsiSrvEtcdClient::Create(options, client)) return nullptr;
  return client;
}

// Latency figures (p50, p99) and the sequential rate of count calls of op.
template <class Op>
bool Sequential(const std::string& name, const std::string& what, int count, Op&& op, std::vector<Figure>& figures) {
  std::vector<double> ms;
  ms.reserve(static_cast<size_t>(count));
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const Clock::time_point t = Clock::now();
    if (CRnError err = op(i)) {
      figures.push_back(Failed(name + "_p50_ms", what, err.AsString()));
      return false;
    }
    ms.push_back(MsSince(t));
  }
  const double seconds = MsSince(start) / 1000.0;
  figures.push_back(Measured(name + "_p50_ms", what + ": latency p50", Percentile(ms, 50), "ms"));
  figures.push_back(Measured(name + "_p99_ms", what + ": latency p99", Percentile(ms, 99), "ms"));
  figures.push_back(Measured(name + "_per_s", what + ": sequential rate", count / seconds, "ops/s"));
  return true;
}

bool Run(const Options& options, std::vector<Figure>& figures) {
  if (!wzetcdtest::EtcdInstalled()) {
    figures.push_back(Failed("etcd_put_p50_ms", "etcd", "etcd is not installed"));
    return false;
  }
  wzetcdtest::EtcdTestCluster cluster;
  std::string error;
  if (!cluster.Start(3, &error)) {
    figures.push_back(Failed("etcd_put_p50_ms", "a 3-member etcd cluster", error));
    return false;
  }
  std::unique_ptr<WzScsiSrvEtcdClient> client = MakeClient(cluster, 8);
  std::unique_ptr<WzScsiSrvEtcdClient> perCall = MakeClient(cluster, 0);
  if (!client || !perCall) return false;
  const std::string value(600, 'v');
  const int n = options.ops;
  bool ok = true;

  ok &= Sequential(
      "etcd_put", "put, pooled keep-alive connection", n,
      [&](int i) { return client->Put("bench/put/" + std::to_string(i % 500), value); }, figures);
  ok &= Sequential(
      "etcd_put_conn_per_call", "put, a connection per call", n / 4,
      [&](int i) { return perCall->Put("bench/put/" + std::to_string(i % 500), value); }, figures);
  // The cluster-wide choice: create-if-absent of a new key, the loser's
  // read in the failure branch.
  ok &= Sequential(
      "etcd_txn", "txn create-if-absent", n,
      [&](int i) {
        const std::string key = "bench/txn/" + std::to_string(i);
        WzEtcdTxnResult r;
        return client->Txn({WzEtcdCompare::Absent(key)}, {WzEtcdOp::Put(key, value)}, {WzEtcdOp::Get(key)}, r);
      },
      figures);
  ok &= Sequential(
      "etcd_get", "get (linearizable)", n,
      [&](int i) {
        WzEtcdRange r;
        return client->Get("bench/put/" + std::to_string(i % 500), r);
      },
      figures);

  ok &= Sequential(
      "etcd_get_conn_per_call", "get, a connection per call", n / 4,
      [&](int i) {
        WzEtcdRange r;
        return perCall->Get("bench/put/" + std::to_string(i % 500), r);
      },
      figures);

  // Several threads, one client.
  {
    std::atomic<int> next{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    const Clock::time_point start = Clock::now();
    for (int t = 0; t < options.threads; ++t) {
      threads.emplace_back([&] {
        for (int i = next.fetch_add(1); i < n; i = next.fetch_add(1)) {
          if (client->Put("bench/par/" + std::to_string(i % 500), value)) failed.fetch_add(1);
        }
      });
    }
    for (std::thread& th : threads) th.join();
    const double seconds = MsSince(start) / 1000.0;
    const std::string label = "put, " + std::to_string(options.threads) + " threads sharing one client";
    if (failed.load() > 0) {
      figures.push_back(Failed("etcd_put_parallel_per_s", label, std::to_string(failed.load()) + " puts failed"));
      ok = false;
    } else {
      figures.push_back(Measured("etcd_put_parallel_per_s", label, n / seconds, "ops/s"));
    }
  }

  // Watch delivery: one put at a time, each waited for on the watch.
  {
    std::mutex mu;
    std::condition_variable cv;
    int64_t seenRevision = 0;
    Clock::time_point seenAt;
    std::unique_ptr<WzEtcdWatch> watch;
    CRnError err = client->Watch(
        "bench/watch/", 0,
        [&](const WzEtcdWatchUpdate& update) {
          if (update.events.empty()) return;
          std::lock_guard<std::mutex> lock(mu);
          seenRevision = update.events.back().kv.modRevision;
          seenAt = Clock::now();
          cv.notify_all();
        },
        watch);
    std::unique_ptr<WzScsiSrvEtcdClient> writer = MakeClient(cluster, 1);
    std::vector<double> delays;
    const int count = n / 4;
    for (int i = 0; err.IsSuccess() && writer && i < count; ++i) {
      const Clock::time_point issued = Clock::now();
      WzEtcdWrite write;
      err = writer->Put("bench/watch/k", value, &write);
      if (err) break;
      std::unique_lock<std::mutex> lock(mu);
      if (!cv.wait_for(lock, std::chrono::seconds(5), [&] { return seenRevision >= write.revision; })) {
        err = FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 1460, "the watch missed revision %lld",
                                      static_cast<long long>(write.revision));
        break;
      }
      delays.push_back(std::chrono::duration<double, std::milli>(seenAt - issued).count());
    }
    const std::string label = "watch delivery (put issued to event)";
    if (err) {
      figures.push_back(Failed("etcd_watch_delay_p50_ms", label, err.AsString()));
      ok = false;
    } else {
      figures.push_back(Measured("etcd_watch_delay_p50_ms", label + ": p50", Percentile(delays, 50), "ms"));
      figures.push_back(Measured("etcd_watch_delay_p99_ms", label + ": p99", Percentile(delays, 99), "ms"));
    }
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{"the etcd client against a private 3-member etcd cluster"};
  app.add_option("--ops", options.ops, "operations per sequential measurement")->capture_default_str();
  app.add_option("--threads", options.threads, "threads of the shared-client measurement")->capture_default_str();
  app.add_option("--json", options.jsonOut, "write the figures here as JSON");
  CLI11_PARSE(app, argc, argv);
  if (options.ops < 8 || options.threads < 1) {
    fprintf(stderr, "etcd: --ops must be at least 8 and --threads positive\n");
    return 1;
  }
  std::vector<Figure> figures;
  const bool ok = Run(options, figures);
  PrintFigures(figures, 58, 0);
  if (!options.jsonOut.empty()) {
    std::ofstream out(options.jsonOut, std::ios::trunc);
    out << FiguresToJson(figures, {{"ops", std::to_string(options.ops)},
                                   {"threads", std::to_string(options.threads)},
                                   {"cluster", "3 etcd members on 127.0.0.1"},
                                   {"value_bytes", "600"}});
    if (!out) return 1;
  }
  return ok ? 0 : 1;
}
