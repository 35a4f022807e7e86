// The kernel target driver against an in-memory configfs that behaves like
// the kernel's where the driver depends on it (default attributes and groups
// appear with their directory, rmdir refuses a directory that still holds
// what was made in it or that a link points at, the serial cannot change
// under an exported LUN). What the driver writes, and in which order, is
// checked line by line; the real kernel is met in the QEMU end-to-end tests.
#include "plugins/lio/lio_platform.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include "drivers/unit_serial.h"
#include "hostlib/config/WZPlatformInfo.h"
#include "plugins/lio/krbd.h"
#include "plugins/lio/lio_names.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"

namespace {

using Kind = WzLioConfigFs::Kind;

const std::string kRoot = "/cfg/target";
const std::string kTarget = "iqn.2024-01.com.example:disk";
const std::string kHostA = "iqn.2024-01.com.example:host-a";
const std::string kHostB = "iqn.2024-01.com.example:host-b";

// The tree, shared by the driver objects of one test (a restart of the
// service is a new driver on the same kernel).
struct Tree {
  struct Node {
    Kind kind = Kind::kNone;
    std::string value;   // file
    std::string target;  // link
    bool made = false;   // a directory made by mkdir (not a default group)
  };
  std::map<std::string, Node> nodes;
  std::vector<std::string> journal;      // changes that succeeded, paths below kRoot shortened
  std::map<std::string, int> faults;     // journal line prefix -> errno of the failure
  std::vector<std::string> rbdRequests;  // what the kernel's rbd driver was asked to map

  void File(const std::string& path, const std::string& value) { nodes[path] = Node{Kind::kFile, value, "", false}; }
  void Dir(const std::string& path, bool made) { nodes[path] = Node{Kind::kDir, "", "", made}; }
  bool Has(const std::string& path) const { return nodes.count(path) != 0; }
  std::string Value(const std::string& path) const {
    auto it = nodes.find(path);
    return it == nodes.end() ? "<none>" : it->second.value;
  }
  static std::string Short(const std::string& path) {
    return path.compare(0, kRoot.size(), kRoot) == 0 ? path.substr(kRoot.size()) : path;
  }
  // What configfs and the kernel target put into a new directory.
  void Defaults(const std::string& path) {
    std::vector<std::string> c;
    std::stringstream ss(Short(path).substr(1));
    for (std::string part; std::getline(ss, part, '/');) c.push_back(part);
    auto dir = [&](const std::string& rel) { Dir(path + "/" + rel, false); };
    auto file = [&](const std::string& rel, const std::string& v) { File(path + "/" + rel, v); };
    if (c.size() == 1 && c[0] == "iscsi") {
      dir("discovery_auth");
      file("lio_version", "Datera Inc. iSCSI Target v4.1.0");
    } else if (c.size() == 3 && c[0] == "iscsi") {
      for (const char* d : {"np", "lun", "acls", "attrib", "param", "auth"}) dir(d);
      file("enable", "0");
      file("attrib/authentication", "1");
      file("attrib/generate_node_acls", "0");
      file("attrib/demo_mode_write_protect", "1");
      file("param/TargetAlias", "LIO Target");
    } else if (c.size() == 5 && c[0] == "iscsi" && c[3] == "lun") {
      dir("statistics");
      file("alua_tg_pt_gp", "default_tg_pt_gp");
    } else if (c.size() == 5 && c[0] == "iscsi" && c[3] == "acls") {
      for (const char* d : {"attrib", "auth", "param"}) dir(d);
      file("info", "No active iSCSI Session");
      for (const char* f : {"userid", "password", "userid_mutual", "password_mutual"})
        file(std::string("auth/") + f, "");
    } else if (c.size() == 6 && c[0] == "iscsi" && c[3] == "acls") {
      dir("statistics");
      file("write_protect", "0");
    } else if (c.size() == 3 && c[0] == "core") {
      for (const char* d : {"wwn", "attrib", "statistics"}) dir(d);
      file("control", "");
      file("udev_path", "");
      file("enable", "0");
      file("wwn/vpd_unit_serial", "T10 VPD Unit Serial Number: ");
      file("attrib/block_size", "512");
    }
  }
  bool LinkedInto(const std::string& path) const {
    for (const auto& n : nodes) {
      if (n.second.kind == Kind::kLink && (n.second.target == path || n.second.target.rfind(path + "/", 0) == 0)) {
        return true;
      }
    }
    return false;
  }
};

const std::string kRbdBus = "/sys/bus/rbd";

void MapDevice(Tree& tree, int id, const std::string& pool, const std::string& image) {
  const std::string dev = kRbdBus + "/devices/" + std::to_string(id);
  tree.Dir(dev, false);
  tree.File(dev + "/pool", pool);
  tree.File(dev + "/name", image);
  tree.File(dev + "/current_snap", "-");
  tree.File(dev + "/pool_ns", "");
}

CRnError Errno(int err, const std::string& what) {
  return FXErrorUtil::ErrorErrNo(FX_HERE_IN("test"), err, "%s: %s", what.c_str(), strerror(err));
}

std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class FakeConfigFs : public WzLioConfigFs {
 public:
  explicit FakeConfigFs(std::shared_ptr<Tree> tree) : m_tree(std::move(tree)) {}

  CRnError MakeDir(const std::string& path) override {
    const std::string line = "mkdir " + Tree::Short(path);
    if (CRnError f = Fault(line)) return f;
    if (m_tree->Has(path)) return Errno(EEXIST, line);
    if (KindOf(Parent(path)) != Kind::kDir) return Errno(ENOENT, line);
    m_tree->Dir(path, true);
    m_tree->Defaults(path);
    return Done(line);
  }

  CRnError RemoveDir(const std::string& path) override {
    const std::string line = "rmdir " + Tree::Short(path);
    if (CRnError f = Fault(line)) return f;
    auto it = m_tree->nodes.find(path);
    if (it == m_tree->nodes.end()) return Errno(ENOENT, line);
    if (it->second.kind != Kind::kDir || !it->second.made) return Errno(EPERM, line);
    if (m_tree->LinkedInto(path)) return Errno(EBUSY, line);
    for (const auto& n : m_tree->nodes) {
      if (n.first.rfind(path + "/", 0) == 0 && (n.second.made || n.second.kind == Kind::kLink)) {
        return Errno(ENOTEMPTY, line);
      }
    }
    for (auto n = m_tree->nodes.begin(); n != m_tree->nodes.end();) {
      n = n->first == path || n->first.rfind(path + "/", 0) == 0 ? m_tree->nodes.erase(n) : std::next(n);
    }
    return Done(line);
  }

  CRnError WriteAttr(const std::string& path, const std::string& value) override {
    const std::string line = "write " + Tree::Short(path) + "=" + value;
    if (CRnError f = Fault(line)) return f;
    auto it = m_tree->nodes.find(path);
    if (it == m_tree->nodes.end() || it->second.kind != Kind::kFile) return Errno(ENOENT, line);
    const std::string store = Parent(Parent(path));
    if (path == kRbdBus + "/remove_single_major") {
      const std::string dev = kRbdBus + "/devices/" + value;
      if (!m_tree->Has(dev)) return Errno(ENOENT, line);
      for (const auto& n : m_tree->nodes) {
        if (n.second.value == "udev_path=/dev/rbd" + value) return Errno(EBUSY, line);  // iblock holds it
      }
      for (const char* f : {"", "/pool", "/name", "/current_snap", "/pool_ns"}) m_tree->nodes.erase(dev + f);
      return Done(line);
    }
    if (Tree::Short(path).rfind("/core/", 0) == 0) {
      if (EndsWith(path, "/enable") && value == "1" && m_tree->Value(Parent(path) + "/control").empty()) {
        return Errno(EINVAL, line);  // a backstore needs its control line first
      }
      if (EndsWith(path, "/wwn/vpd_unit_serial")) {
        if (m_tree->LinkedInto(store)) return Errno(EINVAL, line);
        it->second.value = "T10 VPD Unit Serial Number: " + value;
        return Done(line);
      }
    }
    it->second.value = value;
    return Done(line);
  }

  // Journalled without the value, as the driver's own texts keep it.
  CRnError WriteCredential(const std::string& path, const std::string& value) override {
    const std::string line = "credential " + Tree::Short(path);
    if (CRnError f = Fault(line)) return f;
    auto it = m_tree->nodes.find(path);
    if (it == m_tree->nodes.end() || it->second.kind != Kind::kFile) return Errno(ENOENT, line);
    it->second.value = value;
    if (path == kRbdBus + "/add_single_major") {  // the kernel maps "MONS OPTIONS POOL IMAGE" as the next id
      m_tree->rbdRequests.push_back(value);
      std::istringstream words(value);
      std::string mons, options, pool, image;
      words >> mons >> options >> pool >> image;
      int id = 0;
      while (m_tree->Has(kRbdBus + "/devices/" + std::to_string(id))) ++id;
      MapDevice(*m_tree, id, pool, image);
    }
    return Done(line);
  }

  CRnError ReadAttr(const std::string& path, std::string& value) override {
    auto it = m_tree->nodes.find(path);
    if (it == m_tree->nodes.end() || it->second.kind != Kind::kFile) return Errno(ENOENT, "read " + path);
    value = it->second.value;
    return CRnError();
  }

  CRnError Symlink(const std::string& target, const std::string& link) override {
    const std::string line = "symlink " + Tree::Short(link) + " -> " + Tree::Short(target);
    if (CRnError f = Fault(line)) return f;
    if (KindOf(Parent(link)) != Kind::kDir || !m_tree->Has(target)) return Errno(ENOENT, line);
    if (m_tree->Has(link)) return Errno(EEXIST, line);
    m_tree->nodes[link] = Tree::Node{Kind::kLink, "", target, false};
    return Done(line);
  }

  CRnError Unlink(const std::string& path) override {
    const std::string line = "unlink " + Tree::Short(path);
    if (CRnError f = Fault(line)) return f;
    if (KindOf(path) != Kind::kLink) return Errno(ENOENT, line);
    m_tree->nodes.erase(path);
    return Done(line);
  }

  CRnError List(const std::string& dir, std::vector<Entry>& entries) override {
    entries.clear();
    if (KindOf(dir) != Kind::kDir) return Errno(ENOENT, "list " + dir);
    for (const auto& n : m_tree->nodes) {
      if (n.first.size() > dir.size() + 1 && n.first.rfind(dir + "/", 0) == 0 &&
          n.first.find('/', dir.size() + 1) == std::string::npos) {
        entries.push_back(Entry{n.first.substr(dir.size() + 1), n.second.kind});
      }
    }
    return CRnError();
  }

  Kind KindOf(const std::string& path) override {
    auto it = m_tree->nodes.find(path);
    return it == m_tree->nodes.end() ? Kind::kNone : it->second.kind;
  }

 private:
  CRnError Fault(const std::string& line) {
    for (const auto& f : m_tree->faults) {
      if (line.rfind(f.first, 0) == 0) return Errno(f.second, "injected: " + line);
    }
    return CRnError();
  }
  CRnError Done(const std::string& line) {
    m_tree->journal.push_back(line);
    return CRnError();
  }

  std::shared_ptr<Tree> m_tree;
};

class LioPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_tree = std::make_shared<Tree>();
    m_tree->Dir(kRoot, false);
    m_tree->Dir(kRoot + "/core", false);
    m_tree->Dir(kRoot + "/core/alua", false);
    m_tree->File(kRoot + "/version", "Target Engine Core ConfigFS Infrastructure v5.0");
    m_tree->File(kRoot + "/dbroot", "/etc/target");
    for (const char* d : {"/etc", "/etc/target", "/etc/target/pr", "/var"}) m_tree->Dir(d, false);
    m_tree->File("/proc/sys/kernel/random/boot_id", "0c5e1f6a-35f4-4d0c-9f1e-3d1b1d2c9e01");
    m_tree->File("/proc/modules",
                 "configfs 57344 3 - Live 0xffffffffc0507000\n"
                 "target_core_mod 450560 3 iscsi_target_mod, Live 0xffffffffc0516000\n");
    m_file0 = m_dir.Join("lun0.img");
    m_file1 = m_dir.Join("lun1.img");
    for (const std::string& f : {m_file0, m_file1}) {
      CRnTempDirForTest::WriteText(f, "");
      ASSERT_EQ(0, ::truncate(f.c_str(), 1 << 20));
    }
    WZPlatformInfo::SetConfigFile(m_dir.Join("config.ini"));
    CRnTempDirForTest::WriteText(m_dir.Join("config.ini"), "[WzScsiSrvLio]\nConfigfsRoot=" + kRoot + "\n");
  }
  void TearDown() override { WZPlatformInfo::SetConfigFile(""); }

  std::unique_ptr<WzScsiSrvLioPlatform> NewDriver() {
    return std::unique_ptr<WzScsiSrvLioPlatform>(
        new WzScsiSrvLioPlatform(std::unique_ptr<WzLioConfigFs>(new FakeConfigFs(m_tree))));
  }
  // A new driver, initialised; the journal starts empty.
  std::unique_ptr<WzScsiSrvLioPlatform> Started() {
    auto driver = NewDriver();
    CRnError err = driver->Init();
    EXPECT_TRUE(err.IsSuccess()) << err.AsString();
    m_tree->journal.clear();
    return driver;
  }

  static WzScsiSrvModelLun Lun(const std::string& path, int32_t lunId, const std::string& prefix = "SP") {
    WzScsiSrvModelLun lun;
    lun.targetId = kTarget;
    lun.lunId = lunId;
    lun.path = path;
    lun.size = 1 << 20;
    lun.blockSize = 512;
    lun.serialPrefix = prefix;
    return lun;
  }
  static WzScsiSrvModelTarget Target() { return WzScsiSrvModelTarget(WzScsiSrvTarget(kTarget, "disk")); }
  static WzScsiSrvModelHost Host(const std::string& id) { return WzScsiSrvModelHost(id, ""); }

  // kTarget with LUN 0 on m_file0 mapped to host A and LUN 1 on m_file1
  // mapped to host B.
  void Populate(WzScsiSrvLioPlatform& d) {
    WzScsiSrvModelTarget t = Target();
    ASSERT_TRUE(d.CreateTarget(t).IsSuccess());
    WzScsiSrvModelLun l0 = Lun(m_file0, -1);
    WzScsiSrvModelLun l1 = Lun(m_file1, -1);
    ASSERT_TRUE(d.CreateLun(&l0).IsSuccess());
    ASSERT_TRUE(d.CreateLun(&l1).IsSuccess());
    ASSERT_EQ(0, l0.lunId);
    ASSERT_EQ(1, l1.lunId);
    WzScsiSrvModelHost a = Host(kHostA);
    WzScsiSrvModelHost b = Host(kHostB);
    ASSERT_TRUE(d.MapHost(l0, a).IsSuccess());
    ASSERT_TRUE(d.MapHost(l1, b).IsSuccess());
  }

  std::string Tpg() const { return "/iscsi/" + kTarget + "/tpgt_1"; }
  static std::string Store(int32_t lun) { return "/core/fileio_7700/" + wzlio::BackstoreName(kTarget, lun); }

  CRnTempDirForTest m_dir;
  std::shared_ptr<Tree> m_tree;
  std::string m_file0, m_file1;
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

TEST_F(LioPlatformTest, TargetLunAndMappingAreWrittenInOrderAndListedBack) {
  auto d = Started();
  WzScsiSrvModelTarget t = Target();
  ASSERT_TRUE(d->CreateTarget(t).IsSuccess());
  WzScsiSrvModelLun l0 = Lun(m_file0, -1);
  CRnError err = d->CreateLun(&l0);
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  EXPECT_EQ(0, l0.lunId) << "numbers start at 0 on the kernel target";
  WzScsiSrvModelHost a = Host(kHostA);
  ASSERT_TRUE(d->MapHost(l0, a).IsSuccess());

  const std::string serial = WzScsiSrvUnitSerial("SP", kTarget, 0);
  const std::string tpg = Tpg();
  EXPECT_EQ(Joined({
                "mkdir /iscsi/" + kTarget,
                "mkdir " + tpg,
                "write " + tpg + "/param/TargetAlias=WzScsi",
                "write " + tpg + "/attrib/authentication=0",
                "mkdir " + tpg + "/np/0.0.0.0:3260",
                "write " + tpg + "/enable=1",
                "mkdir /core/fileio_7700",
                "mkdir " + Store(0),
                "write " + Store(0) + "/control=fd_dev_name=" + m_file0 + ",fd_dev_size=1048576",
                "write " + Store(0) + "/udev_path=" + m_file0,
                "write " + Store(0) + "/wwn/vpd_unit_serial=" + serial,
                "write " + Store(0) + "/enable=1",
                "mkdir " + tpg + "/lun/lun_0",
                "symlink " + tpg + "/lun/lun_0/" + wzlio::BackstoreName(kTarget, 0) + " -> " + Store(0),
                "mkdir " + tpg + "/acls/" + kHostA,
                "mkdir " + tpg + "/acls/" + kHostA + "/lun_0",
                "symlink " + tpg + "/acls/" + kHostA + "/lun_0/lun -> " + tpg + "/lun/lun_0",
            }),
            Joined(m_tree->journal));
  EXPECT_EQ("0", m_tree->Value(kRoot + tpg + "/attrib/generate_node_acls")) << "no ACLs for unknown initiators";
  EXPECT_TRUE(std::regex_match(wzlio::BackstoreName(kTarget, 0), std::regex("wz_[0-9a-f]{32}_0")));

  // A second LUN takes the next number and is mapped to another host only.
  WzScsiSrvModelLun l1 = Lun(m_file1, -1, "OTHER");
  ASSERT_TRUE(d->CreateLun(&l1).IsSuccess());
  EXPECT_EQ(1, l1.lunId);
  WzScsiSrvModelHost b = Host(kHostB);
  ASSERT_TRUE(d->MapHost(l1, b).IsSuccess());

  WzScsiSrvEngineView view;
  ASSERT_TRUE(d->ListOwned(view).IsSuccess());
  EXPECT_TRUE(view.perLunAccess);
  ASSERT_EQ(1u, view.targets.size());
  const WzScsiSrvEngineTarget& owned = view.targets[kTarget];
  EXPECT_EQ(kTarget, owned.targetId);
  ASSERT_EQ(2u, owned.luns.size());
  EXPECT_EQ(m_file0, owned.luns.at(0).path);
  EXPECT_EQ(serial, owned.luns.at(0).serial);
  EXPECT_EQ(m_file1, owned.luns.at(1).path);
  EXPECT_EQ(WzScsiSrvUnitSerial("OTHER", kTarget, 1), owned.luns.at(1).serial);
  EXPECT_EQ((std::map<std::string, std::set<int32_t>>{{kHostA, {0}}, {kHostB, {1}}}), owned.hosts);
}

TEST_F(LioPlatformTest, RemovalGoesInReverseOrderAndLeavesNothingOfTheService) {
  auto d = Started();
  ASSERT_NO_FATAL_FAILURE(Populate(*d));
  m_tree->journal.clear();

  WzScsiSrvModelLun l0 = Lun(m_file0, 0);
  WzScsiSrvModelHost a = Host(kHostA);
  ASSERT_TRUE(d->UnMapHost(l0, a).IsSuccess());
  ASSERT_TRUE(d->DeleteLun(&l0).IsSuccess());
  const std::string tpg = Tpg();
  EXPECT_EQ(Joined({
                "unlink " + tpg + "/acls/" + kHostA + "/lun_0/lun",
                "rmdir " + tpg + "/acls/" + kHostA + "/lun_0",
                "rmdir " + tpg + "/acls/" + kHostA,
                "unlink " + tpg + "/lun/lun_0/" + wzlio::BackstoreName(kTarget, 0),
                "rmdir " + tpg + "/lun/lun_0",
                "rmdir " + Store(0),
            }),
            Joined(m_tree->journal))
      << "the HBA stays while LUN 1's backstore is in it";

  // The target goes with what the configuration no longer holds under it:
  // ACLs (their sessions end), LUNs, then disabled, portal, portal group,
  // name.
  m_tree->journal.clear();
  WzScsiSrvOrphan orphan;
  orphan.kind = WzScsiSrvOrphan::TARGET;
  orphan.targetId = kTarget;
  ASSERT_TRUE(d->RemoveOrphan(orphan).IsSuccess());
  EXPECT_EQ(Joined({
                "unlink " + tpg + "/acls/" + kHostB + "/lun_1/lun",
                "rmdir " + tpg + "/acls/" + kHostB + "/lun_1",
                "rmdir " + tpg + "/acls/" + kHostB,
                "unlink " + tpg + "/lun/lun_1/" + wzlio::BackstoreName(kTarget, 1),
                "rmdir " + tpg + "/lun/lun_1",
                "rmdir " + Store(1),
                "rmdir /core/fileio_7700",
                "write " + tpg + "/enable=0",
                "rmdir " + tpg + "/np/0.0.0.0:3260",
                "rmdir " + tpg,
                "rmdir /iscsi/" + kTarget,
            }),
            Joined(m_tree->journal));
  WzScsiSrvEngineView view;
  ASSERT_TRUE(d->ListOwned(view).IsSuccess());
  EXPECT_TRUE(view.targets.empty());
  // Removing what is gone succeeds and changes nothing.
  m_tree->journal.clear();
  WzScsiSrvModelTarget t = Target();
  EXPECT_TRUE(d->RemoveOrphan(orphan).IsSuccess());
  EXPECT_TRUE(d->DeleteTarget(t).IsSuccess());
  EXPECT_TRUE(d->DeleteLun(&l0).IsSuccess());
  EXPECT_TRUE(m_tree->journal.empty()) << Joined(m_tree->journal);
}

TEST_F(LioPlatformTest, AfterARestartTheReplayAdoptsEverythingAndAConflictChangesNothing) {
  {
    auto first = Started();
    ASSERT_NO_FATAL_FAILURE(Populate(*first));
    ASSERT_TRUE(first->CleanUp().IsSuccess());
  }
  auto d = Started();
  WzScsiSrvModelTarget t = Target();
  WzScsiSrvModelLun l0 = Lun(m_file0, 0);
  WzScsiSrvModelLun l1 = Lun(m_file1, 1);
  WzScsiSrvModelHost a = Host(kHostA);
  WzScsiSrvModelHost b = Host(kHostB);
  ASSERT_TRUE(d->CreateTarget(t).IsSuccess());
  ASSERT_TRUE(d->CreateLun(&l0).IsSuccess());
  ASSERT_TRUE(d->CreateLun(&l1).IsSuccess());
  ASSERT_TRUE(d->MapHost(l0, a).IsSuccess());
  ASSERT_TRUE(d->MapHost(l1, b).IsSuccess());
  EXPECT_TRUE(m_tree->journal.empty()) << "a replay changes nothing the kernel holds:\n" << Joined(m_tree->journal);

  WzScsiSrvModelLun clash = Lun(m_file1, 0);
  CRnError err = d->CreateLun(&clash);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(err.AsString().find("LUN number conflict: kernel target " + kTarget + " already has LUN 0 on " + m_file0),
            std::string::npos)
      << err.AsString();
  err = d->DeleteLun(&clash);
  ASSERT_TRUE(err.IsError()) << "a LUN serving another file is never taken away";
  EXPECT_NE(err.AsString().find("is backed by " + m_file0 + ", not this LUN's file: left alone"), std::string::npos)
      << err.AsString();
  EXPECT_TRUE(m_tree->journal.empty()) << Joined(m_tree->journal);
}

// CHAP on the kernel target: credentials into every ACL before
// authentication goes on, off in the reverse order, credentials into the
// ACL of a host mapped later before its first LUN, nothing rewritten by a
// replay, and no secret in an error text.
TEST_F(LioPlatformTest, ChapCredentialsReachEveryAclBeforeAuthenticationGoesOn) {
  auto d = Started();
  ASSERT_NO_FATAL_FAILURE(Populate(*d));
  m_tree->journal.clear();
  const WzScsiSrvChap chap{true, "alice", "Sesame-0pen-12", "target-1", "Target-Secret9"};
  WzScsiSrvModelTarget t = Target();
  CRnError err = d->SetTargetAuth(t, chap);
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  const std::string tpg = Tpg();
  std::vector<std::string> on;
  for (const std::string& host : {kHostA, kHostB}) {
    for (const char* f : {"userid", "password", "userid_mutual", "password_mutual"}) {
      on.push_back("credential " + tpg + "/acls/" + host + "/auth/" + f);
    }
  }
  on.push_back("write " + tpg + "/attrib/authentication=1");
  EXPECT_EQ(Joined(on), Joined(m_tree->journal));
  const std::string authA = kRoot + tpg + "/acls/" + kHostA + "/auth/";
  EXPECT_EQ("alice", m_tree->Value(authA + "userid"));
  EXPECT_EQ("Sesame-0pen-12", m_tree->Value(authA + "password"));
  EXPECT_EQ("target-1", m_tree->Value(authA + "userid_mutual"));
  EXPECT_EQ("Target-Secret9", m_tree->Value(authA + "password_mutual"));

  // A host mapped later: its new ACL has the credentials before its LUN.
  const std::string hostC = "iqn.2024-01.com.example:host-c";
  WzScsiSrvModelLun l0 = Lun(m_file0, 0);
  WzScsiSrvModelHost c = Host(hostC);
  m_tree->journal.clear();
  ASSERT_TRUE(d->MapHost(l0, c).IsSuccess());
  ASSERT_LE(6u, m_tree->journal.size());
  EXPECT_EQ("mkdir " + tpg + "/acls/" + hostC, m_tree->journal[0]);
  EXPECT_EQ("credential " + tpg + "/acls/" + hostC + "/auth/userid", m_tree->journal[1]);
  EXPECT_EQ("mkdir " + tpg + "/acls/" + hostC + "/lun_0", m_tree->journal[5]);

  // A restart: the replay changes nothing, whether it passes the target's
  // CHAP with the creation or sets it afterwards.
  d = Started();
  ASSERT_TRUE(d->CreateTarget(t).IsSuccess());
  EXPECT_TRUE(m_tree->journal.empty()) << "CHAP turned off by a creation:\n" << Joined(m_tree->journal);
  t.chap = chap;
  WzScsiSrvModelLun l1 = Lun(m_file1, 1);
  WzScsiSrvModelHost a = Host(kHostA);
  WzScsiSrvModelHost b = Host(kHostB);
  ASSERT_TRUE(d->CreateTarget(t).IsSuccess());
  ASSERT_TRUE(d->CreateLun(&l0).IsSuccess());
  ASSERT_TRUE(d->CreateLun(&l1).IsSuccess());
  ASSERT_TRUE(d->MapHost(l0, a).IsSuccess());
  ASSERT_TRUE(d->MapHost(l1, b).IsSuccess());
  ASSERT_TRUE(d->MapHost(l0, c).IsSuccess());
  EXPECT_TRUE(m_tree->journal.empty()) << "the replay rewrote:\n" << Joined(m_tree->journal);

  // A failed write names the file, never the secret; the kernel keeps
  // asking for CHAP.
  WzScsiSrvChap renewed = chap;
  renewed.secret = "An0ther-Secret";
  m_tree->faults["credential " + tpg + "/acls/" + kHostB + "/auth/password"] = EIO;
  err = d->SetTargetAuth(t, renewed);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(std::string::npos, err.AsString().find(kHostB + "/auth/password")) << err.AsString();
  EXPECT_EQ(std::string::npos, err.AsString().find("An0ther")) << err.AsString();
  EXPECT_EQ("1", m_tree->Value(kRoot + tpg + "/attrib/authentication"));
  m_tree->faults.clear();

  // Off: authentication first, then the credentials are cleared.
  m_tree->journal.clear();
  ASSERT_TRUE(d->SetTargetAuth(t, WzScsiSrvChap()).IsSuccess());
  ASSERT_FALSE(m_tree->journal.empty());
  EXPECT_EQ("write " + tpg + "/attrib/authentication=0", m_tree->journal[0]);
  EXPECT_EQ("NULL", m_tree->Value(authA + "password"));
  EXPECT_EQ("NULL", m_tree->Value(authA + "password_mutual"));

  // What the kernel would take as "no credentials" is refused up front.
  WzScsiSrvChap nullish = chap;
  nullish.secret = "NULL-and-more";
  m_tree->journal.clear();
  err = d->SetTargetAuth(t, nullish);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(std::string::npos, err.AsString().find("beginning with \"NULL\"")) << err.AsString();
  EXPECT_EQ(std::string::npos, err.AsString().find("NULL-and-more")) << err.AsString();
  EXPECT_TRUE(m_tree->journal.empty());
}

TEST_F(LioPlatformTest, ObjectsOfOtherToolsAreLeftAloneAndLeftoversOfTheServiceAreCleared) {
  // targetcli's target of the same name, with its own backstore; and a
  // backstore of the service that no LUN links (a crash mid-creation).
  m_tree->Dir(kRoot + "/iscsi", true);
  m_tree->Defaults(kRoot + "/iscsi");
  for (const std::string& d : {"/iscsi/" + kTarget, "/iscsi/" + kTarget + "/tpgt_1", std::string("/core/fileio_0"),
                               std::string("/core/fileio_0/disk1"), "/iscsi/" + kTarget + "/tpgt_1/lun/lun_0",
                               std::string("/core/fileio_7700"), Store(3)}) {
    m_tree->Dir(kRoot + d, true);
    m_tree->Defaults(kRoot + d);
  }
  m_tree->nodes[kRoot + Tpg() + "/lun/lun_0/a1b2c3"] =
      Tree::Node{Kind::kLink, "", kRoot + "/core/fileio_0/disk1", false};

  auto d = NewDriver();
  ASSERT_TRUE(d->Init().IsSuccess());
  EXPECT_EQ(Joined({"rmdir " + Store(3), "rmdir /core/fileio_7700"}), Joined(m_tree->journal));
  m_tree->journal.clear();
  WzScsiSrvModelTarget t = Target();
  CRnError err = d->CreateTarget(t);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(err.AsString().find("exists in the kernel target but is not the service's"), std::string::npos)
      << err.AsString();
  EXPECT_TRUE(d->DeleteTarget(t).IsError());
  WzScsiSrvOrphan orphan;
  orphan.kind = WzScsiSrvOrphan::LUN;
  orphan.targetId = kTarget;
  orphan.lunId = 0;
  EXPECT_TRUE(d->RemoveOrphan(orphan).IsError());
  WzScsiSrvModelLun l0 = Lun(m_file0, -1);
  EXPECT_TRUE(d->CreateLun(&l0).IsError());
  WzScsiSrvEngineView view;
  ASSERT_TRUE(d->ListOwned(view).IsSuccess());
  EXPECT_TRUE(view.targets.empty());
  EXPECT_TRUE(m_tree->journal.empty()) << Joined(m_tree->journal);
}

TEST_F(LioPlatformTest, AFailedStepTakesBackWhatTheCallMade) {
  auto d = Started();
  const std::string tpg = Tpg();
  WzScsiSrvModelTarget t = Target();
  m_tree->faults["mkdir " + tpg + "/np/"] = EADDRINUSE;
  CRnError err = d->CreateTarget(t);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(err.AsString().find("cannot listen on portal 0.0.0.0:3260"), std::string::npos) << err.AsString();
  EXPECT_FALSE(m_tree->Has(kRoot + "/iscsi/" + kTarget));
  m_tree->faults.clear();
  ASSERT_TRUE(d->CreateTarget(t).IsSuccess()) << "the retry starts afresh";

  m_tree->faults["symlink " + tpg + "/lun/"] = ENOMEM;
  WzScsiSrvModelLun l0 = Lun(m_file0, -1);
  ASSERT_TRUE(d->CreateLun(&l0).IsError());
  EXPECT_EQ(-1, l0.lunId) << "a failed creation assigns no number";
  EXPECT_FALSE(m_tree->Has(kRoot + tpg + "/lun/lun_0"));
  EXPECT_FALSE(m_tree->Has(kRoot + "/core/fileio_7700")) << "backstore and emptied HBA taken back";

  m_tree->faults.clear();
  m_tree->faults["write " + Store(0) + "/enable"] = EINVAL;
  ASSERT_TRUE(d->CreateLun(&l0).IsError());
  EXPECT_FALSE(m_tree->Has(kRoot + Store(0)));

  m_tree->faults.clear();
  ASSERT_TRUE(d->CreateLun(&l0).IsSuccess());
  m_tree->faults["symlink " + tpg + "/acls/"] = EINVAL;
  WzScsiSrvModelHost a = Host(kHostA);
  ASSERT_TRUE(d->MapHost(l0, a).IsError());
  EXPECT_FALSE(m_tree->Has(kRoot + tpg + "/acls/" + kHostA)) << "no ACL without a mapped LUN";

  m_tree->faults.clear();
  WzScsiSrvModelLun dir = Lun(m_dir.Path(), -1);
  err = d->CreateLun(&dir);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(err.AsString().find("is neither a regular file nor a block device"), std::string::npos) << err.AsString();
  WzScsiSrvModelLun comma = Lun("/srv/a,b.img", -1);
  EXPECT_TRUE(d->CreateLun(&comma).IsError());
}

// An RBD LUN: the kernel maps the image with the gateway's identity (v1
// monitor addresses, the key of the user's keyring), iblock serves the
// device, the backstore names the image; a replay or another LUN reuses the
// mapping; deleting the LUN unmaps; a failure takes back only its own
// mapping; no error shows the key.
TEST_F(LioPlatformTest, AnRbdLunIsTheKernelsMappingOfItsImageServedThroughIblock) {
  const std::string key = "AQBvkxZmAAAAABAAc2VjcmV0LWtleS1vZi13emd3Cg==";
  CRnTempDirForTest::WriteText(m_dir.Join("ceph.conf"),
                               "[global]\nmon host = [v2:127.0.0.1:20000,v1:127.0.0.1:20001]"
                               "\n[client.wzgw]\n  keyring = " +
                                   m_dir.Join("gw.keyring") + "\n");
  CRnTempDirForTest::WriteText(m_dir.Join("gw.keyring"), "[client.wzgw]\n\tkey = " + key + "\n");
  m_tree->Dir(kRbdBus, false);
  m_tree->Dir(kRbdBus + "/devices", false);
  for (const char* f : {"/add_single_major", "/remove_single_major"}) m_tree->File(kRbdBus + f, "");
  auto rbdLun = [&](const std::string& image, int32_t id, const std::string& user) {
    WzScsiSrvModelLun lun = Lun(image, id);
    lun.bstorType = WzScsiServer::BSTOR_RBD;
    lun.extData = "conf=" + m_dir.Join("ceph.conf") + ";id=" + user;
    return lun;
  };
  auto d = Started();
  WzScsiSrvModelTarget t = Target();
  ASSERT_TRUE(d->CreateTarget(t).IsSuccess());
  m_tree->journal.clear();
  WzScsiSrvModelLun l0 = rbdLun("rbd/disk1", -1, "wzgw");
  CRnError err = d->CreateLun(&l0);
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  const std::string store = "/core/iblock_7700/" + wzlio::BackstoreName(kTarget, 0);
  ASSERT_LE(5u, m_tree->journal.size());
  EXPECT_EQ("credential /sys/bus/rbd/add_single_major", m_tree->journal[0]);
  EXPECT_EQ("write " + store + "/control=udev_path=/dev/rbd0", m_tree->journal[3]);
  EXPECT_EQ("write " + store + "/udev_path=rbd/disk1", m_tree->journal[4]);
  EXPECT_EQ(std::vector<std::string>{"127.0.0.1:20001 name=wzgw,secret=" + key + " rbd disk1"}, m_tree->rbdRequests);
  WzScsiSrvEngineView view;
  ASSERT_TRUE(d->ListOwned(view).IsSuccess());
  EXPECT_EQ("rbd/disk1", view.targets[kTarget].luns.at(0).path) << "the reconcile compares the image";

  // A restart's replay adopts the LUN; a LUN on an image mapped already
  // (by hand, or before a crash) reuses the mapping.
  d = Started();
  ASSERT_TRUE(d->CreateTarget(t).IsSuccess());
  ASSERT_TRUE(d->CreateLun(&l0).IsSuccess());
  EXPECT_TRUE(m_tree->journal.empty()) << Joined(m_tree->journal);
  MapDevice(*m_tree, 5, "rbd", "disk2");
  WzScsiSrvModelLun l1 = rbdLun("rbd/disk2", -1, "wzgw");
  ASSERT_TRUE(d->CreateLun(&l1).IsSuccess());
  EXPECT_EQ(1u, m_tree->rbdRequests.size());
  EXPECT_EQ("udev_path=/dev/rbd5",
            m_tree->Value(kRoot + "/core/iblock_7700/" + wzlio::BackstoreName(kTarget, 1) + "/control"));

  // Deleting unmaps; the delete of what is gone succeeds and changes nothing.
  m_tree->journal.clear();
  ASSERT_TRUE(d->DeleteLun(&l1).IsSuccess());
  EXPECT_EQ("write /sys/bus/rbd/remove_single_major=5", m_tree->journal.back());
  ASSERT_TRUE(d->DeleteLun(&l0).IsSuccess());
  EXPECT_FALSE(m_tree->Has(kRbdBus + "/devices/0"));
  m_tree->journal.clear();
  ASSERT_TRUE(d->DeleteLun(&l0).IsSuccess());
  EXPECT_TRUE(m_tree->journal.empty()) << Joined(m_tree->journal);

  // Failures: the mapping this call made goes back; texts name the image
  // and the user, never the key.
  const std::string next = "/core/iblock_7700/" + wzlio::BackstoreName(kTarget, 0);
  m_tree->faults["write " + next + "/control"] = EINVAL;
  WzScsiSrvModelLun l2 = rbdLun("rbd/disk3", -1, "wzgw");
  ASSERT_TRUE(d->CreateLun(&l2).IsError());
  EXPECT_FALSE(m_tree->Has(kRbdBus + "/devices/0")) << "the new mapping was taken back";
  m_tree->faults.clear();
  m_tree->faults["credential /sys/bus/rbd/add_single_major"] = ENOENT;
  err = d->CreateLun(&l2);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(err.AsString().find("cannot map rbd/disk3 as client.wzgw from monitors 127.0.0.1:20001"), std::string::npos)
      << err.AsString();
  EXPECT_EQ(std::string::npos, err.AsString().find(key));
  m_tree->faults.clear();
  const size_t asked = m_tree->rbdRequests.size();
  l2 = rbdLun("rbd/disk3", -1, "other");
  err = d->CreateLun(&l2);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(err.AsString().find("no key of client.other"), std::string::npos) << err.AsString();
  EXPECT_EQ(asked, m_tree->rbdRequests.size()) << "nothing asked of the kernel";
  EXPECT_FALSE(m_tree->Has(kRoot + next));

  // "mon host" as Ceph writes it, as the kernel takes it.
  const struct {
    const char* monHost;
    const char* monitors;  // nullptr: refused
    bool msgr2;
  } cases[] = {
      {"[v2:10.0.0.1:3300,v1:10.0.0.1:6789],[v2:10.0.0.2:3300,v1:10.0.0.2:6789]", "10.0.0.1:6789,10.0.0.2:6789", false},
      {"10.0.0.1; 10.0.0.2:6790 v1:10.0.0.3", "10.0.0.1:6789,10.0.0.2:6790,10.0.0.3:6789", false},
      {"[v2:10.0.0.1:3300] 10.0.0.2:3300", "10.0.0.1:3300,10.0.0.2:3300", true},
      {"[v2:[::1]:3300,v1:[::1]:6789]", "[::1]:6789", false},
      {"[v2:10.0.0.1:3300] 10.0.0.2:6789", nullptr, false},
      {"[v2:10.0.0.1:3300", nullptr, false},
      {" ", nullptr, false},
  };
  for (const auto& c : cases) {
    std::string monitors;
    bool msgr2 = false;
    err = wzkrbd::ParseMonHost(c.monHost, monitors, msgr2);
    EXPECT_EQ(c.monitors == nullptr, err.IsError()) << c.monHost << ": " << err.AsString();
    if (c.monitors == nullptr) continue;
    EXPECT_EQ(std::make_pair(std::string(c.monitors), c.msgr2), std::make_pair(monitors, msgr2));
  }
}

TEST_F(LioPlatformTest, EngineInstanceChangesWithABootOrAModuleReloadAndInitNeedsTheKernelTarget) {
  auto d = Started();
  const uint64_t first = d->EngineInstance();
  EXPECT_NE(0u, first);
  EXPECT_EQ(first, d->EngineInstance());
  m_tree->File("/proc/modules", "target_core_mod 450560 3 iscsi_target_mod, Live 0xffffffffc0a00000\n");
  const uint64_t reloaded = d->EngineInstance();
  EXPECT_NE(first, reloaded);
  m_tree->File("/proc/sys/kernel/random/boot_id", "5b0e1f6a-0000-4d0c-9f1e-3d1b1d2c9e01");
  EXPECT_NE(reloaded, d->EngineInstance());

  m_tree->nodes.erase(kRoot);
  EXPECT_EQ(0u, d->EngineInstance());
  CRnError err = NewDriver()->Init();
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(err.AsString().find("the kernel target is not available: " + kRoot + " does not exist"), std::string::npos)
      << err.AsString();

  m_tree->Dir(kRoot, false);
  CRnTempDirForTest::WriteText(m_dir.Join("config.ini"),
                               "[WzScsiSrvLio]\nConfigfsRoot=" + kRoot + "\nPortal=0.0.0.0\n");
  err = NewDriver()->Init();
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(err.AsString().find("is \"0.0.0.0\", not address:port"), std::string::npos) << err.AsString();
}

// The kernel refuses an APTPL reservation without <dbroot>/pr: Init makes
// it, or moves dbroot to where it can, or says why not and starts anyway.
TEST_F(LioPlatformTest, InitPreparesTheReservationDirectoryOrSaysWhyItCannot) {
  const std::string var = "mkdir /var/target\nmkdir /var/target/pr\n";
  const struct {
    const char* dbroot;  // nullptr: a kernel without the attribute
    std::map<std::string, int> faults;
    std::string journal, fact;
  } cases[] = {
      {"/etc/target", {}, "mkdir /etc/target/pr\n", "ready: /etc/target/pr"},
      {nullptr, {}, var, "ready: /var/target/pr"},
      {"/etc/target/",
       {{"mkdir /etc/target/pr", EROFS}},
       var + "write /dbroot=/var/target\n",
       "ready: /var/target/pr (dbroot moved from /etc/target)"},
      {"/etc/target",
       {{"mkdir /etc/target/pr", EROFS}, {"write /dbroot", EINVAL}},
       var,
       "unavailable: injected: mkdir /etc/target/pr: Read-only file system; and dbroot cannot move to /var/target: "
       "injected: write /dbroot=/var/target: Invalid argument"},
      {nullptr, {{"mkdir /var/target", EACCES}}, "", "unavailable: injected: mkdir /var/target: Permission denied"},
  };
  for (const auto& c : cases) {
    for (const char* dir : {"/etc/target/pr", "/var/target/pr", "/var/target"}) m_tree->nodes.erase(dir);
    m_tree->File(kRoot + "/dbroot", c.dbroot ? c.dbroot : "");
    if (!c.dbroot) m_tree->nodes.erase(kRoot + "/dbroot");
    m_tree->faults = c.faults;
    m_tree->journal.clear();
    auto d = NewDriver();
    ASSERT_TRUE(d->Init().IsSuccess()) << "the service starts without reservations";
    auto& j = m_tree->journal;
    j.erase(std::remove(j.begin(), j.end(), "mkdir /iscsi"), j.end());
    EXPECT_EQ(c.journal, Joined(m_tree->journal)) << c.fact;
    std::vector<std::string> facts;
    d->EngineFacts(facts);
    EXPECT_EQ(std::vector<std::string>{"engine.reservations=" + c.fact}, facts);
  }
}

}  // namespace
