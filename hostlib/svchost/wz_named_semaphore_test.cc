#include "hostlib/svchost/WzNamedSemaphore.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

namespace {

// A semaphore name of its own per test, removed at the end.
class WzNamedSemaphoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name = "wztest-" + std::to_string(getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  void TearDown() override {
    try {
      WzNamedSemaphore::unlink(name);
    } catch (const WzException&) {
    }
  }
  std::string name;
};

TEST_F(WzNamedSemaphoreTest, CreateOpenReleaseWait) {
  bool created = false;
  WzNamedSemaphore first(name, 2, &created, false);
  EXPECT_TRUE(created);
  EXPECT_EQ(first.value(), 2);
  // The same name with or without the leading slash is the same semaphore.
  WzNamedSemaphore second("/" + name, 9, &created, false);
  EXPECT_FALSE(created);
  EXPECT_EQ(second.value(), 2);  // the initial value applies on creation only
  second.release(3);
  EXPECT_EQ(first.value(), 5);
  EXPECT_TRUE(first.wait(0));
  EXPECT_EQ(second.value(), 4);
  EXPECT_THROW(WzNamedSemaphore(name, 0, nullptr, true), WzException);
}

TEST_F(WzNamedSemaphoreTest, WaitTimesOutOrIsReleased) {
  WzNamedSemaphore sem(name, 0, nullptr, true);
  EXPECT_FALSE(sem.wait(10));
  std::thread poster([this] {
    WzNamedSemaphore other(name, 0, nullptr, false);
    other.release(1);
  });
  EXPECT_TRUE(sem.wait(-1));
  poster.join();
  EXPECT_EQ(sem.value(), 0);
}

TEST_F(WzNamedSemaphoreTest, FailuresThrowWithTheReason) {
  try {
    WzNamedSemaphore bad("a/b", 0, nullptr, false);
    FAIL() << "a name with an inner slash opened";
  } catch (const WzException& e) {
    EXPECT_NE(std::string(e.what()).find("/a/b"), std::string::npos) << e.what();
  }
  WzNamedSemaphore sem(name, 0, nullptr, false);
  sem.close();
  sem.close();  // twice is harmless
  EXPECT_THROW(sem.release(1), WzException);
  EXPECT_THROW(sem.value(), WzException);
  WzNamedSemaphore::unlink(name);
  EXPECT_NO_THROW(WzNamedSemaphore::unlink(name)) << "removing a name already gone is what the caller wanted";
  EXPECT_EQ(WzNamedSemaphore::NormaliseName("x"), "/x");
  EXPECT_EQ(WzNamedSemaphore::NormaliseName("/x"), "/x");
}

}  // namespace
