// The flow control under contention (run under ThreadSanitizer): workers
// queue replies and free requests while the network thread pauses and
// resumes connections, readers pipeline past every limit, and clients that
// never read vanish with requests still in work. Every reader gets every
// reply, and the server's counts come back to zero.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "hostlib/net/asio_network_server.h"
#include "hostlib/net/client.h"
#include "messages/WzScsiServerMessages.h"
#include "tests/support/hostlib/net_test_support.h"

namespace {

using NetTest::FakeService;
using NetTest::WaitUntil;

std::unique_ptr<WzScsiServer::Ioctl> Request(const std::string& command, size_t padding) {
  auto r = std::make_unique<WzScsiServer::Ioctl>();
  r->setCommand(command);
  if (padding > 0) r->setArguments(std::string(padding, 'p'));
  return r;
}

// Sends `count` requests keeping `window` outstanding; the commands it got
// back, or why it stopped.
void Pipeline(const std::string& endpoint, int id, int count, int window, std::multiset<std::string>& got,
              std::string& failure) {
  CWzClient client;
  if (CRnError e = client.Connect(endpoint)) {
    failure = e.AsString();
    return;
  }
  std::mt19937 rng(static_cast<uint32_t>(id));
  for (int i = 0; i < count + window; ++i) {
    if (i >= window) {
      std::unique_ptr<CNMessageBase> reply;
      if (CRnError e = client.ReceiveReply(reply, 60000)) {
        failure = "reply " + std::to_string(i - window) + ": " + e.AsString();
        return;
      }
      auto* ioctl = dynamic_cast<WzScsiServer::Ioctl*>(reply.get());
      got.insert(ioctl != nullptr ? ioctl->command() : "?");
    }
    if (i < count) {
      const std::string command = std::to_string(id) + "-" + std::to_string(i);
      if (CRnError e = client.SendMessage(*Request(command, rng() % (20 * 1024)))) {
        failure = "request " + std::to_string(i) + ": " + e.AsString();
        return;
      }
    }
  }
}

TEST(NetServerConcurrencyTest, PausedAndResumedUnderContention) {
  WzScsiServer::RegisterMessages();
  char dir[] = "/tmp/wznetc_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  WznServerConfig config;
  config.unixPath = std::string(dir) + "/wz.sock";
  config.maxFrameBytes = 64 * 1024;
  config.maxRequestsPerConnection = 4;
  config.maxRequestsInFlight = 6;
  config.maxRequestBytesInFlight = 64 * 1024;
  // The service goes first: its workers may still free a request on the
  // (stopped) server.
  CWzAsioNetworkServer server;
  FakeService service(4);
  ASSERT_FALSE(server.Start(config, &service));

  constexpr int kReaders = 6;
  constexpr int kRequests = 150;
  std::vector<std::multiset<std::string>> got(kReaders);
  std::vector<std::string> failures(kReaders);
  std::vector<std::thread> threads;
  for (int r = 0; r < kReaders; ++r)
    threads.emplace_back(Pipeline, config.unixPath, r, kRequests, 8, std::ref(got[r]), std::ref(failures[r]));
  // Clients that pipeline, never read, and go away with work in progress.
  for (int s = 0; s < 3; ++s) {
    threads.emplace_back([&config, s] {
      for (int round = 0; round < 5; ++round) {
        CWzClient client;
        client.SetSendTimeoutMs(300);
        if (client.Connect(config.unixPath).IsError()) return;
        for (int i = 0; i < 40; ++i)
          if (client.SendMessage(*Request("stall-" + std::to_string(s), 16 * 1024)).IsError()) break;
      }
    });
  }
  for (std::thread& t : threads) t.join();

  for (int r = 0; r < kReaders; ++r) {
    EXPECT_EQ(failures[r], "") << "reader " << r;
    std::multiset<std::string> expected;
    for (int i = 0; i < kRequests; ++i) expected.insert(std::to_string(r) + "-" + std::to_string(i));
    EXPECT_EQ(got[r], expected) << "reader " << r;
  }
  EXPECT_TRUE(WaitUntil([&] { return server.RequestsInFlight() == 0 && server.ConnectionCount() == 0; }))
      << server.RequestsInFlight() << " requests, " << server.ConnectionCount() << " connections";
  server.Stop();
  ::rmdir(dir);
}

}  // namespace
