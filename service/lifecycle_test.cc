// The service object's life: creation, Initialize with its configuration,
// the platform driver binding and its failures, the job-completed handshake.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <unistd.h>

#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/svchost/WzNamedSemaphore.h"
#include "tests/support/service_harness.h"
#include "tests/support/service_test_peer.h"

using wztest::HarnessOptions;
using wztest::ServiceHarness;

namespace {

HarnessOptions NotInitialized() {
  HarnessOptions o;
  o.initialize = false;
  return o;
}

HarnessOptions WithDriverDir(const std::string& dir) {
  HarnessOptions o = NotInitialized();
  o.driverDir = dir;
  return o;
}

std::string ConfigValue(const std::string& key) {
  std::string v;
  CRnError e = WZPlatformInfo::getString("Quellport", key, v);
  return e.IsSuccess() ? v : "<missing>";
}

}  // namespace

TEST(ServiceObject, EntryPointReturnsOneObjectWithAnEmptyModel) {
  void* lib = dlopen(WZ_TEST_LIB_DIR "/libWzScsiSrv.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto entry = reinterpret_cast<GetOnDemandSvcLibInstance_t>(dlsym(lib, "GetOnDemandSvcLibInstance"));
  ASSERT_NE(entry, nullptr) << "the entry must be exported unmangled";
  IOnDemandSvcInterface* first = entry();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, entry());
  // Nothing else of the service is visible from outside.
  EXPECT_EQ(dlsym(lib, "_ZN9WzScsiSrv8InstanceEv"), nullptr);
  dlclose(lib);
}

TEST(ServiceObject, FreshObjectIsNotStartedAndCleanUpWithoutDriverDoesNothing) {
  ServiceHarness h(NotInitialized());
  EXPECT_EQ(h.Service().GetStatus(), WzScsiSrv::SVC_NOT_INITIALIZED);
  EXPECT_TRUE(h.Service().SnapshotTargets().empty());
  EXPECT_TRUE(h.Service().LoadedBStorTypes().empty());
  h.Service().CleanUp();
  EXPECT_TRUE(h.Journal().empty());
}

TEST(ServiceObject, SubmitJobAlwaysAnswersStatusZero) {
  ServiceHarness h(NotInitialized());
  std::string job = "anything";
  CNSession::OnDemandServiceStatusType status = CNSession::ONDEMAND_SVC_STATUS_FAILED;
  EXPECT_TRUE(h.Service().SubmitJob(job, status, CNSession::ONDEMAND_SVC_MODE_ON_DEMAND).IsSuccess());
  EXPECT_EQ(status, 0);
}

TEST(Records, LunCreationTimeIsNowOrThePointedValue) {
  int64_t before = time(nullptr);
  WzScsiSrvLun now("iqn.2000-01.t:a", nullptr, WzScsiServer::BSTOR_BLKDEV, nullptr, nullptr, "SP", 3, "/p", 10, 512,
                   524288, false, nullptr);
  EXPECT_GE(now.creationTime, before);
  EXPECT_LE(now.creationTime, static_cast<int64_t>(time(nullptr)));
  int64_t given = 600;
  WzScsiSrvLun fixed("iqn.2000-01.t:a", nullptr, WzScsiServer::BSTOR_BLKDEV, nullptr, nullptr, "SP", 3, "/p", 10, 512,
                     524288, false, &given);
  EXPECT_EQ(fixed.creationTime, 600);
  EXPECT_EQ(fixed.lunId, 3);
  EXPECT_EQ(fixed.extParam, 524288u);
}

TEST(Records, CopyingATargetCopiesItsLunsAndHostsDeeply) {
  WzScsiSrv::Target a(WzScsiSrvTarget("iqn.2000-01.t:a", "Desc"));
  a.luns[0].hosts["Host1"] = WzScsiSrv::Host("Host1", "");
  WzScsiSrv::Target b = a;
  b.luns[0].hosts.erase("Host1");
  b.luns[1] = WzScsiSrv::Lun();
  EXPECT_EQ(a.luns.size(), 1u);
  EXPECT_EQ(a.luns[0].hosts.count("Host1"), 1u);
  WzScsiSrv::Target c;
  c = a;
  a.luns.clear();
  EXPECT_EQ(c.luns.size(), 1u);
  EXPECT_EQ(c.targetDesc, "Desc");
}

TEST(Initialize, DefaultsWithoutAnyConfiguration) {
  ServiceHarness h(NotInitialized());
  std::string sem = "/wzscsi-init-test";
  int timeout = -5;
  ASSERT_TRUE(h.Service().Initialize(0, nullptr, sem, timeout, nullptr).IsSuccess());
  EXPECT_EQ(timeout, 300);
  EXPECT_EQ(WzScsiSrvTestPeer(h.Service()).ActionLogRoot(), h.StateDir() + "/jobresults/WzScsiSrvActionLogs");
  EXPECT_EQ(ConfigValue("WzScsiSrvInUse"), "Y");
  EXPECT_EQ(WzScsiSrvTestPeer(h.Service()).IdleSemName(), sem);
  EXPECT_TRUE(h.Log().Contains("WzScsiSrvActionLogsPath=" + h.StateDir() + "/jobresults/WzScsiSrvActionLogs"));
  EXPECT_EQ(h.Journal("platform.Init").size(), 1u);
}

TEST(Initialize, TimeoutZeroAndStagingLocationFromConfiguration) {
  ServiceHarness h(NotInitialized());
  h.SetConfig("nWzScsiSrvInactivityTimeOutInSecs", "0");
  h.SetConfig("sScsiSrvStagingLoc", h.Root() + "/staging");
  std::string sem = "/wzscsi-init-test";
  int timeout = -5;
  ASSERT_TRUE(h.Service().Initialize(0, nullptr, sem, timeout, nullptr).IsSuccess());
  EXPECT_EQ(timeout, 0);
  EXPECT_EQ(WzScsiSrvTestPeer(h.Service()).ActionLogRoot(), h.Root() + "/staging/WzScsiSrvActionLogs");
  EXPECT_TRUE(h.Log().Contains("RegKey=nWzScsiSrvInactivityTimeOutInSecs, value=0"));
}

TEST(Initialize, EmptyStagingLocationFallsBackToJobResults) {
  ServiceHarness h(NotInitialized());
  h.SetConfig("sScsiSrvStagingLoc", "");
  std::string sem = "/x";
  int timeout = 0;
  ASSERT_TRUE(h.Service().Initialize(0, nullptr, sem, timeout, nullptr).IsSuccess());
  EXPECT_EQ(WzScsiSrvTestPeer(h.Service()).ActionLogRoot(), h.StateDir() + "/jobresults/WzScsiSrvActionLogs");
}

// A wrong value stops the start before the pool or a driver is touched; it
// is never replaced by the default (these two once were, silently).
TEST(Initialize, AWrongSettingRefusesTheStartWithTheKeyAndTheRange) {
  struct Row {
    const char* key;
    const char* value;
    const char* text;
  } rows[] = {
      {"nMaxWorkerThreads", "2000",
       "setting nMaxWorkerThreads of section Quellport is \"2000\", not a number from 1 to 1024"},
      {"ClusterRequestTimeoutMs", "50",
       "setting ClusterRequestTimeoutMs of section Quellport is \"50\", not a number from 100 to 60000"},
  };
  for (const Row& r : rows) {
    ServiceHarness h(NotInitialized());
    h.SetConfig(r.key, r.value);
    std::string sem = "/x";
    int timeout = -5;
    CRnError e = h.Service().Initialize(0, nullptr, sem, timeout, nullptr);
    ASSERT_TRUE(e.IsError()) << r.key;
    EXPECT_EQ(e.AsString(), r.text);
    EXPECT_EQ(timeout, 300);
    EXPECT_EQ(ConfigValue("WzScsiSrvInUse"), "Y");
    EXPECT_TRUE(h.Journal().empty()) << "no driver was loaded";
    EXPECT_FALSE(WzScsiSrvTestPeer(h.Service()).Platform());
  }
}

TEST(Initialize, MissingDriverLibraryIsReportedAndLeavesNoDriver) {
  ServiceHarness h(WithDriverDir("/nonexistent-driver-dir"));
  h.SetConfig("sScsiEngine", "lio");
  CRnError e = h.Initialize();
  ASSERT_TRUE(e.IsError());
  EXPECT_NE(e.AsString().find("Initialization of platform library failed with error: ["), std::string::npos);
  EXPECT_NE(e.AsString().find("Failed to load platform library. Error["), std::string::npos);
  EXPECT_NE(e.AsString().find("libWzScsiSrvLio.so"), std::string::npos) << e.AsString();
  EXPECT_FALSE(WzScsiSrvTestPeer(h.Service()).Platform());
  h.Service().CleanUp();
  EXPECT_TRUE(h.Journal().empty());
}

TEST(Initialize, MissingEntrySymbolUnloadsTheLibraryAgain) {
  ServiceHarness h(WithDriverDir(WZ_TEST_FAKES_DIR "-nosym"));
  CRnError e = h.Initialize();
  ASSERT_TRUE(e.IsError());
  EXPECT_NE(e.AsString().find("Initialization of platform library failed with error: ["), std::string::npos);
  EXPECT_TRUE(h.Log().Contains("Failed to GetAddress of GetWZScsiPlatformObj function"));
  EXPECT_FALSE(WzScsiSrvTestPeer(h.Service()).PlatformLib().IsLoaded());
  EXPECT_FALSE(WzScsiSrvTestPeer(h.Service()).Platform());
}

TEST(Initialize, EntryReturningNoObjectIsAFailedInitialisation) {
  ServiceHarness h(WithDriverDir(WZ_TEST_FAKES_DIR "-null"));
  CRnError e = h.Initialize();
  ASSERT_TRUE(e.IsError());
  EXPECT_NE(e.AsString().find("returned no platform object"), std::string::npos) << e.AsString();
  EXPECT_FALSE(WzScsiSrvTestPeer(h.Service()).Platform());
}

TEST(Initialize, FailingDriverInitIsReportedWithTheDriversText) {
  ServiceHarness h(NotInitialized());
  h.SetFaults({"platform.Init"});
  CRnError e = h.Initialize();
  ASSERT_TRUE(e.IsError());
  EXPECT_NE(e.AsString().find("Initialization of platform library failed with error: [injected fault: platform.Init]"),
            std::string::npos)
      << e.AsString();
  // The object stays; the host decides what to do with a failed start.
  EXPECT_TRUE(WzScsiSrvTestPeer(h.Service()).Platform());
}

class IdleSemaphore : public ::testing::Test {
 protected:
  void SetUp() override {
    name = "/wzscsi-idle-" + std::to_string(getpid());
    WzNamedSemaphore::unlink(name);
    sem = sem_open(name.c_str(), O_CREAT, 0600, 0);
    ASSERT_NE(sem, SEM_FAILED);
  }
  void TearDown() override {
    if (sem != nullptr && sem != SEM_FAILED) sem_close(sem);
    WzNamedSemaphore::unlink(name);
  }
  int Value() {
    int v = -1;
    sem_getvalue(sem, &v);
    return v;
  }
  std::string name;
  sem_t* sem = nullptr;
};

TEST_F(IdleSemaphore, ReleasedOncePerCompletedJobWhileNoTargetExists) {
  ServiceHarness h(NotInitialized());
  int timeout = 0;
  ASSERT_TRUE(h.Service().Initialize(0, nullptr, name, timeout, nullptr).IsSuccess());
  EXPECT_TRUE(h.Service().UpdateJobCompletedStatus().IsSuccess());
  EXPECT_EQ(Value(), 1);
  EXPECT_TRUE(h.Log().Contains("JobCompleted!"));
  EXPECT_TRUE(h.Service().UpdateJobCompletedStatus().IsSuccess());
  EXPECT_EQ(Value(), 2);

  auto request = wztest::MakeCreateTarget("iqn.2000-01.t:a");
  ASSERT_TRUE(h.Service().CreateTarget(nullptr, request.get()).IsSuccess());
  EXPECT_TRUE(h.Service().UpdateJobCompletedStatus().IsSuccess());
  EXPECT_EQ(Value(), 2);
}

TEST_F(IdleSemaphore, FailureToReleaseIsLoggedAndReturned) {
  ServiceHarness h(NotInitialized());
  std::string bad = "/no/such/semaphore";
  int timeout = 0;
  ASSERT_TRUE(h.Service().Initialize(0, nullptr, bad, timeout, nullptr).IsSuccess());
  CRnError e = h.Service().UpdateJobCompletedStatus();
  ASSERT_TRUE(e.IsError());
  EXPECT_EQ(e.GetCode(), 1u);
  EXPECT_TRUE(h.Log().Contains("Error while releasing semaphore(/no/such/semaphore)"));
  EXPECT_TRUE(h.Log().Contains("Failed to start idle timer. Error [Failed to release semaphore]"));
}
