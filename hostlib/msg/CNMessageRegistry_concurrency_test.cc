// The registry and the XML code under several threads at once (run under
// ThreadSanitizer by `make tsan`).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "hostlib/msg/CNMessageBase.h"
#include "messages/WzScsiServerMessages.h"

namespace {

TEST(CNMessageRegistryConcurrency, EachClassIsRegisteredOnceWhileReadersRun) {
  constexpr int kThreads = 4;
  constexpr int kClasses = 64;
  std::atomic<int> accepted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int n = 0; n < kClasses; ++n) {
        if (CNMessageRegistry::Register(902, n, 0x38600000u + n, "Concurrent" + std::to_string(n), nullptr)) {
          ++accepted;
        }
        CNMessageBase m(902, n);
        EXPECT_EQ(m.getTagID(), 0x38600000u + n);
        EXPECT_NE(CNMessageRegistry::FindByName("Concurrent" + std::to_string(n)), nullptr);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(accepted.load(), kClasses);
  size_t found = 0;
  for (const CNMessageRegistry::ClassInfo& info : CNMessageRegistry::All()) found += info.group == 902 ? 1 : 0;
  EXPECT_EQ(found, static_cast<size_t>(kClasses));
}

TEST(CNMessageRegistryConcurrency, MessagesOnDistinctThreadsShareNothingMutable) {
  // Catalogue messages built, copied, written and read on every thread at
  // once; the first construction on each thread races to register.
  constexpr int kThreads = 4;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        WzScsiServer::CreateLun request;
        request.context().setFlags(t);
        request.setTargetId("iqn.t" + std::to_string(t));
        request.bstoreDesc().setArgs("-n " + std::to_string(i));
        WzScsiServer::CreateLun copy(request);
        std::string text;
        if (copy.serialize(text, false) != CNXML_OK) ++failures;
        int status = -1;
        std::unique_ptr<CNMessageBase> back = CNMessageBase::ParseXml(text.data(), text.size(), &status);
        auto* typed = dynamic_cast<WzScsiServer::CreateLun*>(back.get());
        if (typed == nullptr || typed->bstoreDesc().args() != "-n " + std::to_string(i)) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
