#include "hostlib/util/CRnLibrary.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include "tests/support/hostlib/rn_test_temp_dir.h"

namespace {

// A real shared library to load: a private copy of libm, so that whether it
// is loaded is ours alone to decide.
class CRnLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    void* h = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr);
    struct link_map* map = nullptr;
    ASSERT_EQ(dlinfo(h, RTLD_DI_LINKMAP, &map), 0);
    std::string libm = map->l_name;
    dlclose(h);
    copy = tmp.Join("libWzCopyForTest.so");
    CRnTempDirForTest::WriteText(copy, CRnTempDirForTest::ReadText(libm));
    CRnLibrary::SetSearchDirectory(tmp.Path());
  }
  void TearDown() override { CRnLibrary::SetSearchDirectory(""); }

  bool CopyIsLoaded() {
    void* h = dlopen(copy.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h == nullptr) return false;
    dlclose(h);
    return true;
  }

  CRnTempDirForTest tmp;
  std::string copy;
};

TEST_F(CRnLibraryTest, BareNameIsTakenFromTheSearchDirectoryFirst) {
  {
    CRnLibrary lib;
    ASSERT_FALSE(lib.Load("libWzCopyForTest.so", false));
    EXPECT_EQ(lib.GetPath(), copy);
    EXPECT_TRUE(CopyIsLoaded());
    void* fn = nullptr;
    ASSERT_FALSE(lib.GetAddress("cos", &fn));
    ASSERT_NE(fn, nullptr);
    EXPECT_DOUBLE_EQ(reinterpret_cast<double (*)(double)>(fn)(0.0), 1.0);
  }
  EXPECT_FALSE(CopyIsLoaded());  // autoFree

  // Not in the directory: the system loader's search.
  CRnLibrary sys;
  ASSERT_FALSE(sys.Load("libm.so.6", true));
  EXPECT_EQ(sys.GetPath(), "libm.so.6");
  EXPECT_FALSE(sys.Free());
  EXPECT_FALSE(sys.IsLoaded());
  EXPECT_FALSE(sys.Free());  // nothing loaded: success
}

TEST_F(CRnLibraryTest, LoadAndLookUpErrorsCarryTheLoaderText) {
  CRnLibrary lib;
  CRnError err = lib.Load("libWzNoSuchLibrary.so", false);
  ASSERT_TRUE(err);
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_WIN32(126));
  EXPECT_NE(err.AsString().find("libWzNoSuchLibrary.so"), std::string::npos) << err.AsString();
  EXPECT_FALSE(lib.IsLoaded());

  CRnTempDirForTest::WriteText(tmp.Join("libWzGarbage.so"), "not an ELF file");
  err = lib.Load("libWzGarbage.so", false);
  ASSERT_TRUE(err);
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_WIN32(126));
  EXPECT_NE(err.AsString().find(tmp.Join("libWzGarbage.so")), std::string::npos) << err.AsString();

  void* fn = reinterpret_cast<void*>(&fn);
  err = lib.GetAddress("cos", &fn);
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_WIN32(127));
  EXPECT_EQ(fn, nullptr);

  ASSERT_FALSE(lib.Load(copy, false));
  fn = reinterpret_cast<void*>(&fn);
  err = lib.GetAddress("GetWZScsiPlatformObj", &fn);
  ASSERT_TRUE(err);
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_WIN32(127));
  EXPECT_NE(err.AsString().find("GetWZScsiPlatformObj"), std::string::npos) << err.AsString();
  EXPECT_EQ(fn, nullptr);
}

TEST_F(CRnLibraryTest, OwnershipFollowsMovesAndAutoFree) {
  {
    CRnLibrary kept(false);
    ASSERT_FALSE(kept.Load(copy, false));
  }
  // Not unloaded by its handle: unload it here, twice (our look-up, its load).
  void* h = dlopen(copy.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(h, nullptr);
  dlclose(h);
  dlclose(h);
  EXPECT_FALSE(CopyIsLoaded());

  CRnLibrary a;
  ASSERT_FALSE(a.Load(copy, false));
  CRnLibrary b(std::move(a));
  // The moved-from library is checked on purpose: it must hold nothing.
  EXPECT_FALSE(a.IsLoaded());  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(b.IsLoaded());
  EXPECT_EQ(b.GetPath(), copy);
  CRnLibrary c;
  ASSERT_FALSE(c.Load("libm.so.6", false));
  c = std::move(b);  // c's own library goes, b's is now c's
  EXPECT_TRUE(CopyIsLoaded());
  void* fn = nullptr;
  EXPECT_FALSE(c.GetAddress("cos", &fn));
  ASSERT_FALSE(c.Load("libm.so.6", false));  // loading over a handle frees the old library
  EXPECT_FALSE(CopyIsLoaded());
}

}  // namespace
