// The import and export of other tools' configurations: what each format's
// parser makes of a file (objects, and every part that cannot be carried
// over with its line), the import's walk against what the service holds
// (order, existing objects, a failure part-way and the run that finishes
// it), and an export read back by the import.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "apps/wzscsictl/ctl_lib.h"
#include "apps/wzscsictl/export_config.h"
#include "apps/wzscsictl/import_lio.h"
#include "apps/wzscsictl/import_tgt.h"
#include "apps/wzscsictl/migrate_plan.h"
#include "drivers/unit_serial.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"

namespace {

using namespace WzCtl;

// The plan in a few lines: targets with their CHAP, LUNs with their source
// number, path, serial prefix and hosts.
std::string Describe(const ImportPlan& plan) {
  std::string out;
  for (const PlannedTarget& t : plan.targets) {
    out += "target " + t.name;
    if (t.hasChap) out += " chap " + t.chap.user + ":" + t.chap.secret;
    if (!t.chap.mutualUser.empty()) out += "/" + t.chap.mutualUser + ":" + t.chap.mutualSecret;
    out += "\n";
    for (const PlannedLun& l : t.luns) {
      out += "  lun " + std::to_string(l.sourceLun) + " " + l.path + " " + l.serialPrefix;
      for (const std::string& h : l.hosts) out += " " + h;
      out += "\n";
    }
  }
  return out;
}

struct Expected {
  IssueKind kind;
  int line;
  std::string fragment;
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Every expected issue is there; errors and objects left out are exactly
// those expected.
void ExpectIssues(const ImportPlan& plan, const std::vector<Expected>& expected, const std::string& name) {
  for (const Expected& e : expected) {
    const bool found = std::any_of(plan.issues.begin(), plan.issues.end(), [&](const ImportIssue& i) {
      return i.kind == e.kind && i.where.line == e.line && i.text.find(e.fragment) != std::string::npos;
    });
    EXPECT_TRUE(found) << name << ": no " << IssueKindName(e.kind) << " at line " << e.line << " with \"" << e.fragment
                       << "\" in\n"
                       << FormatIssues(plan);
  }
  for (IssueKind kind : {IssueKind::kError, IssueKind::kSkipped}) {
    const auto want =
        std::count_if(expected.begin(), expected.end(), [&](const Expected& e) { return e.kind == kind; });
    const auto got =
        std::count_if(plan.issues.begin(), plan.issues.end(), [&](const ImportIssue& i) { return i.kind == kind; });
    EXPECT_EQ(want, got) << name << ": " << IssueKindName(kind) << " issues:\n" << FormatIssues(plan);
  }
}

ImportOptions Options(std::vector<std::pair<std::string, std::string>> pathMap = {}, std::string prefix = "TGT") {
  ImportOptions o;
  o.serialPrefix = std::move(prefix);
  o.pathMap = std::move(pathMap);
  return o;
}

const IssueKind kError = IssueKind::kError;
const IssueKind kSkipped = IssueKind::kSkipped;
const IssueKind kIgnored = IssueKind::kIgnored;
const IssueKind kNote = IssueKind::kNote;

// ------------------------------------------------------------------ tgt

struct TgtCase {
  const char* name;
  std::map<std::string, std::string> files;  // relative to the test directory; "main.conf" is imported
  std::string plan;
  std::vector<Expected> issues;
  std::vector<std::pair<std::string, std::string>> pathMap = {};
};

TEST(TgtImport, WhatEachPartOfTargetsConfBecomes) {
  const std::string blk = "iqn.2024-01.com.example:blk";
  const std::vector<TgtCase> cases = {
      {"what tgt-admin --dump writes: placeholders and open targets",
       {{"main.conf",
         "default-driver iscsi\n\n<target iqn.2024-01.com.example:t2>\n\tbacking-store /srv/c.img\n</target>\n\n"
         "<target iqn.2024-01.com.example:t1>\n\tbacking-store /srv/b.img\n\tbacking-store /srv/a.img\n"
         "\tincominguser alice PLEASE_CORRECT_THE_PASSWORD\n\toutgoinguser tgt1 PLEASE_CORRECT_THE_PASSWORD\n"
         "\tinitiator-address 192.168.1.5\n\tinitiator-name iqn.2024-01.com.example:host-a\n</target>\n"
         "<target iqn.2024-01.com.example:t3>\n\tbacking-store /srv/d.img\n\tinitiator-name 192.168.10.0/24\n"
         "</target>\n"}},
       "target iqn.2024-01.com.example:t2\n  lun 1 /srv/c.img TGT\n"
       "target iqn.2024-01.com.example:t3\n  lun 1 /srv/d.img TGT\n",
       {{kSkipped, 3, "lets every initiator in"},
        {kSkipped, 10, "PLEASE_CORRECT_THE_PASSWORD"},
        {kNote, 17, "read as an address rule"},
        {kSkipped, 17, "initiator-address 192.168.10.0/24: the service has no address rules: nobody is mapped"}}},
      {"the same dump with its secrets written in: tgt's numbering, mappings on every LUN",
       {{"main.conf",
         "<target iqn.2024-01.com.example:t1>\n\tbacking-store /srv/b.img\n\tbacking-store /srv/a.img\n"
         "\tincominguser alice secret123456\n\toutgoinguser tgt1 tsecret123456\n"
         "\tinitiator-address 192.168.1.5\n\tinitiator-name ALL\n\tinitiator-name iqn.2024-01.com.example:host-a\n"
         "</target>\n"}},
       "target iqn.2024-01.com.example:t1 chap alice:secret123456/tgt1:tsecret123456\n"
       "  lun 1 /srv/a.img TGT iqn.2024-01.com.example:host-a\n"
       "  lun 2 /srv/b.img TGT iqn.2024-01.com.example:host-a\n",
       {{kSkipped, 6, "192.168.1.5: the service has no address rules: initiators not named here lose the target"},
        {kSkipped, 7, "the address rule ALL lets every initiator in"},
        {kNote, 7, "tgt-admin --dump writes for the address rule ALL"},
        {kNote, 0, "mapped to every LUN of that target (2 mappings in 1 target)"}}},
      {"backing-store blocks: lun numbers, the service's serials kept, paths mapped",
       {{"main.conf", "<target " + blk + ">\n  <backing-store /dev/sdb>\n    lun 3\n    scsi_sn " +
                          WzScsiSrvUnitSerial("DISK1", blk, 3) +
                          "\n  </backing-store>\n  <backing-store /dev/sda>\n    scsi_sn beaf11\n    vendor_id ACME\n"
                          "  </backing-store>\n  backing-store /srv/z.img\n  initiator-name iqn.h1\n"
                          "  initiator-name iqn.h1\n</target>\n"}},
       "target " + blk +
           "\n  lun 1 /dev/sda TGT iqn.h1\n  lun 2 /srv/z.img TGT iqn.h1\n"
           "  lun 3 /dev/disk/by-id/wwn-1 DISK1 iqn.h1\n",
       {{kIgnored, 8, "vendor_id"},
        {kSkipped, 1, "no initiator-address line, so tgt-admin adds the address rule ALL"},
        {kNote, 0, "new serials and device identifiers for 2 LUNs"}},
       {{"/dev/sdb", "/dev/disk/by-id/wwn-1"}}},
      {"what the service cannot carry, each with its line",
       {{"main.conf",
         "<target iqn.2024-01.com.example:odd>\n  driver iser\n  direct-store /dev/sg1\n  <backing-store /srv/rbd>\n"
         "    bs-type rbd\n  </backing-store>\n  <backing-store /srv/cd.iso>\n    device-type cd\n"
         "  </backing-store>\n  <backing-store /srv/big.img>\n    block-size 4096\n  </backing-store>\n"
         "  <backing-store /srv/ro.img>\n    readonly 1\n  </backing-store>\n  backing-store relative.img\n"
         "  backing-store /srv/ok.img\n  initiator-address ALL\n  initiator-name iqn.*\n"
         "  initiator-name iqn.2024-01.com.example:h\n  incominguser alice secret123456\n"
         "  incominguser bob secret654321\n  HeaderDigest CRC32C\n  frobnicate yes\n</target>\n"
         "<target iqn.2024-01.com.example:weak>\n  backing-store /srv/w.img\n  incominguser carol short\n"
         "  initiator-name iqn.h\n</target>\n<target iqn.2024-01.com.example:all>\n  backing-store /srv/all.img\n"
         "  initiator-address ALL\n</target>\n<target iqn.2024-01.com.example:dumped>\n"
         "  backing-store /srv/d.img\n  initiator-name ALL\n</target>\n"}},
       "target iqn.2024-01.com.example:odd chap alice:secret123456\n"
       "  lun 3 /srv/ok.img TGT iqn.2024-01.com.example:h\n"
       "target iqn.2024-01.com.example:all\n  lun 1 /srv/all.img TGT\n"
       "target iqn.2024-01.com.example:dumped\n  lun 1 /srv/d.img TGT\n",
       {{kNote, 1, "iSER"},
        {kSkipped, 3, "passed through"},
        {kSkipped, 4, "bs-type rbd"},
        {kSkipped, 7, "device-type cd"},
        {kSkipped, 10, "block-size 4096"},
        {kSkipped, 13, "read-only"},
        {kSkipped, 16, "not an absolute path"},
        {kSkipped, 18,
         "the address rule ALL lets every initiator in; the service maps named initiators only: initiators not named"},
        {kSkipped, 19, "wildcard"},
        {kSkipped, 22, "one CHAP user per target"},
        {kIgnored, 23, "iSCSI parameter"},
        {kIgnored, 24, "not an option tgt-admin knows"},
        {kSkipped, 28, "has 5 characters; the service takes 12 to 16"},
        {kSkipped, 33, "the address rule ALL lets every initiator in; the service maps named initiators only: nobody"},
        {kSkipped, 37, "the address rule ALL lets every initiator in"},
        {kNote, 37, "read as that, not as an initiator"}}},
      {"includes: globs in order, a directory, nothing for no match, blocks of one name merged",
       {{"main.conf",
         "include conf.d/*.conf\ninclude extra\ninclude none/*.conf\n<target iqn.m>\n  backing-store /srv/m1.img\n"
         "</target>\n"},
        {"conf.d/b.conf", "<target iqn.m>\n  initiator-name iqn.h\n</target>\n"},
        {"conf.d/a.conf", "<target iqn.a>\n  backing-store /srv/a.img\n  initiator-name iqn.h\n</target>\n"},
        {"conf.d/skip.txt", "this is not read\n"},
        {"extra/x", "<target iqn.x>\n  backing-store /srv/x.img\n  initiator-name iqn.h\n</target>\n"}},
       "target iqn.a\n  lun 1 /srv/a.img TGT iqn.h\ntarget iqn.m\n  lun 1 /srv/m1.img TGT iqn.h\n"
       "target iqn.x\n  lun 1 /srv/x.img TGT iqn.h\n",
       {{kSkipped, 1, "adds the address rule ALL"},
        {kSkipped, 1, "adds the address rule ALL"},
        {kSkipped, 1, "adds the address rule ALL"}}},
      {"comments, continued lines, key = value, an escaped #",
       {{"main.conf",
         "# a comment\n<target iqn.2024-01.com.example:c>   # and another\n  backing-store = /srv/a\\#1.img\n"
         "  initiator-name \\\n      iqn.h\n</target>\n"}},
       "target iqn.2024-01.com.example:c\n  lun 1 /srv/a#1.img TGT iqn.h\n",
       {{kSkipped, 2, "adds the address rule ALL"}}},
      {"a malformed file: every line that is wrong, and nothing to import",
       {{"main.conf",
         "<target iqn.a>\n  incominguser <<EOF\n  <backing-store /y>\n    lun 1\n</target>\n</foo>\n"
         "include missing.conf\n"}},
       "",
       {{kError, 2, "here-documents"},
        {kError, 5, "does not close <backing-store> of line 3"},
        {kError, 6, "does not close <backing-store> of line 3"},
        {kError, 7, "cannot read"},
        {kError, 1, "never closed"},
        {kError, 3, "never closed"}}},
      {"a LUN number that is none",
       {{"main.conf",
         "<target iqn.a>\n  <backing-store /y>\n    lun x\n  </backing-store>\n  initiator-name iqn.h\n</target>\n"}},
       "",
       {{kError, 3, "not a LUN number"}, {kSkipped, 1, "adds the address rule ALL"}}},
      {"an include that includes itself",
       {{"main.conf", "include loop.conf\n"}, {"loop.conf", "include main.conf\n"}},
       "",
       {{kError, 1, "includes itself"}}},
  };
  for (const TgtCase& c : cases) {
    CRnTempDirForTest dir;
    for (const auto& f : c.files) {
      const size_t slash = f.first.rfind('/');
      if (slash != std::string::npos) ::mkdir(dir.Join(f.first.substr(0, slash)).c_str(), 0700);
      CRnTempDirForTest::WriteText(dir.Join(f.first), f.second);
    }
    const ImportPlan plan = ParseTgtConfig(dir.Join("main.conf"), Options(c.pathMap));
    EXPECT_EQ(c.plan, Describe(plan)) << c.name << "\n" << FormatIssues(plan);
    ExpectIssues(plan, c.issues, c.name);
  }
}

TEST(TgtImport, IssuesOfAnIncludedFileNameThatFile) {
  CRnTempDirForTest dir;
  ::mkdir(dir.Join("conf.d").c_str(), 0700);
  CRnTempDirForTest::WriteText(dir.Join("targets.conf"), "# tgt\ninclude conf.d/*.conf\n");
  CRnTempDirForTest::WriteText(
      dir.Join("conf.d/a.conf"),
      "<target iqn.a>\n  backing-store /srv/a.img\n  initiator-address 10.0.0.0/8\n</target>\n");
  const ImportPlan plan = ParseTgtConfig(dir.Join("targets.conf"), Options());
  ASSERT_EQ(1u, plan.targets.size());
  EXPECT_TRUE(plan.targets[0].luns[0].hosts.empty());
  const std::string text = FormatIssues(plan);
  EXPECT_NE(std::string::npos, text.find(dir.Join("conf.d/a.conf") + ":3: not imported: initiator-address 10.0.0.0/8"))
      << text;
}

// ------------------------------------------------------------------ lio

struct LioCase {
  const char* name;
  std::string json;  // $D: the test directory
  std::string plan;
  std::vector<Expected> issues;
};

TEST(LioImport, WhatEachPartOfSaveconfigBecomes) {
  const std::string t = "iqn.2024-01.com.example:lio";
  const std::string acl =
      R"("attributes": {"authentication": -1}, "chap_userid": "alice", "chap_password": "secret123456", "chap_mutual_userid": "target1", "chap_mutual_password": "tsecret123456")";
  const std::vector<LioCase> cases = {
      {"what targetcli writes: fileio and block, ACLs with mapped LUNs and CHAP",
       "{\n \"fabric_modules\": [],\n \"storage_objects\": [\n"
       "  {\"name\": \"blk0\", \"plugin\": \"block\", \"dev\": \"/dev/vda\", \"readonly\": false, \"write_back\": "
       "false,"
       " \"wwn\": \"4048d4be-9c66-4917-af5d-df2229e97545\", \"attributes\": {\"block_size\": 512}},\n"
       "  {\"name\": \"file0\", \"plugin\": \"fileio\", \"dev\": \"/srv/f0.img\", \"size\": 16777216, \"wwn\": \"" +
           WzScsiSrvUnitSerial("DISK1", t, 0) + "\"}\n ],\n \"targets\": [{\"fabric\": \"iscsi\", \"wwn\": \"" + t +
           "\", \"tpgs\": [{\n  \"tag\": 1, \"enable\": true,"
           " \"attributes\": {\"authentication\": 1, \"generate_node_acls\": 0},\n"
           "  \"portals\": [{\"ip_address\": \"0.0.0.0\", \"port\": 3260, \"iser\": false}],\n"
           "  \"luns\": [{\"index\": 1, \"storage_object\": \"/backstores/block/blk0\"},"
           " {\"index\": 0, \"storage_object\": \"/backstores/fileio/file0\"}],\n"
           "  \"node_acls\": [\n   {" +
           acl +
           ", \"node_wwn\": \"iqn.h-b\", \"mapped_luns\": [{\"index\": 1, \"tpg_lun\": 1, \"write_protect\": "
           "false}]},\n"
           "   {" +
           acl +
           ", \"node_wwn\": \"iqn.h-a\", \"mapped_luns\": [{\"index\": 1, \"tpg_lun\": 1}, {\"index\": 0, \"tpg_lun\": "
           "0}]}\n  ]\n }]}]\n}\n",
       "target " + t +
           " chap alice:secret123456/target1:tsecret123456\n  lun 0 /srv/f0.img DISK1 iqn.h-a\n"
           "  lun 1 /images/vda.img LIO iqn.h-b iqn.h-a\n",
       {{kNote, 0, "new serials and device identifiers for 1 LUN "}}},
      {"ACLs with different credentials: the target is left out",
       "{\"storage_objects\": [{\"name\": \"f\", \"plugin\": \"fileio\", \"dev\": \"/srv/f.img\"}],\n"
       "\"targets\": [{\"fabric\": \"iscsi\", \"wwn\": \"iqn.x\", \"tpgs\": [{\"tag\": 1, \"attributes\": "
       "{\"authentication\": 1},\n\"luns\": [{\"index\": 0, \"storage_object\": \"/backstores/fileio/f\"}],\n"
       "\"node_acls\": [\n{\"node_wwn\": \"iqn.a\", \"chap_userid\": \"u\", \"chap_password\": \"secret123456\"},\n"
       "{\"node_wwn\": \"iqn.b\", \"chap_userid\": \"u\", \"chap_password\": \"secret654321\"},\n"
       "{\"node_wwn\": \"iqn.c\"}]}]}]}\n",
       "",
       {{kSkipped, 7, "could not log in"}, {kSkipped, 6, "different CHAP credentials"}}},
      {"what the service cannot carry, each with its line",
       "{\n \"storage_objects\": [\n"
       "  {\"name\": \"p\", \"plugin\": \"pscsi\", \"dev\": \"/dev/sg0\"},\n"
       "  {\"name\": \"r\", \"plugin\": \"rd_mcp\"},\n"
       "  {\"name\": \"u\", \"plugin\": \"user:rbd\", \"dev\": \"/x\"},\n"
       "  {\"name\": \"ro\", \"plugin\": \"block\", \"dev\": \"/dev/sdc\", \"readonly\": true},\n"
       "  {\"name\": \"bs\", \"plugin\": \"block\", \"dev\": \"/dev/sdd\", \"attributes\": {\"block_size\": 4096}},\n"
       "  {\"name\": \"big\", \"plugin\": \"fileio\", \"dev\": \"$D/small.img\", \"size\": 1048576},\n"
       "  {\"name\": \"part\", \"plugin\": \"fileio\", \"dev\": \"$D/large.img\", \"size\": 4096},\n"
       "  {\"name\": \"ok\", \"plugin\": \"block\", \"dev\": \"/dev/sde\"},\n"
       "  {\"name\": \"spare\", \"plugin\": \"block\", \"dev\": \"/dev/sdf\"}\n"
       " ],\n \"targets\": [\n"
       "  {\"wwn\": \"iqn.loop\", \"fabric\": \"loopback\", \"tpgs\": []},\n"
       "  {\"wwn\": \"iqn.off\", \"fabric\": \"iscsi\", \"tpgs\": [{\"tag\": 1, \"enable\": false}]},\n"
       "  {\"wwn\": \"iqn.odd\", \"fabric\": \"iscsi\", \"tpgs\": [\n"
       "   {\"tag\": 1, \"enable\": true, \"attributes\": {\"generate_node_acls\": 1, \"authentication\": 0},\n"
       "    \"portals\": [{\"ip_address\": \"10.0.0.1\", \"port\": 3261}],\n"
       "    \"luns\": [\n"
       "     {\"index\": 0, \"storage_object\": \"/backstores/pscsi/p\"},\n"
       "     {\"index\": 1, \"storage_object\": \"/backstores/rd_mcp/r\"},\n"
       "     {\"index\": 2, \"storage_object\": \"/backstores/user:rbd/u\"},\n"
       "     {\"index\": 3, \"storage_object\": \"/backstores/block/ro\"},\n"
       "     {\"index\": 4, \"storage_object\": \"/backstores/block/bs\"},\n"
       "     {\"index\": 5, \"storage_object\": \"/backstores/fileio/big\"},\n"
       "     {\"index\": 6, \"storage_object\": \"/backstores/fileio/part\"},\n"
       "     {\"index\": 7, \"storage_object\": \"/backstores/block/ok\"},\n"
       "     {\"index\": 8, \"storage_object\": \"/backstores/block/gone\"}\n"
       "    ],\n"
       "    \"node_acls\": [\n"
       "     {\"node_wwn\": \"iqn.*\", \"mapped_luns\": []},\n"
       "     {\"node_wwn\": \"iqn.h1\", \"mapped_luns\": [\n"
       "      {\"index\": 0, \"tpg_lun\": 7, \"write_protect\": false},\n"
       "      {\"index\": 6, \"tpg_lun\": 6, \"write_protect\": true}]},\n"
       "     {\"node_wwn\": \"iqn.h2\", \"chap_userid\": \"x\", \"chap_password\": \"y\", \"mapped_luns\": "
       "[{\"index\": 7, \"tpg_lun\": 7}]}\n"
       "    ]},\n"
       "   {\"tag\": 2}\n"
       "  ]}\n"
       " ]\n}\n",
       "target iqn.odd\n  lun 6 $D/large.img LIO\n  lun 7 /dev/sde LIO iqn.h1 iqn.h2\n",
       {{kIgnored, 11, "used by no LUN"},
        {kSkipped, 14, "fabric loopback"},
        {kSkipped, 15, "disabled"},
        {kSkipped, 17, "generate_node_acls=1"},
        {kIgnored, 18, "portal 10.0.0.1:3261"},
        {kSkipped, 20, "passes a SCSI device through"},
        {kSkipped, 21, "RAM disk"},
        {kSkipped, 22, "tcmu-runner"},
        {kSkipped, 23, "read-only"},
        {kSkipped, 24, "4096-byte blocks"},
        {kSkipped, 25, "grow it (truncate -s 1048576)"},
        {kNote, 26, "served the first 4096 bytes"},
        {kSkipped, 28, "not in the file"},
        {kSkipped, 31, "wildcard"},
        {kNote, 33, "saw it as LUN 0"},
        {kSkipped, 34, "read-only"},
        {kIgnored, 35, "does not ask for"},
        {kSkipped, 37, "a second portal group"}}},
      {"not JSON", "{\n \"targets\": [\n  {\"wwn\": \"iqn.x\",, }\n", "", {{kError, 3, "not valid JSON"}}},
      {"JSON of the wrong shape, every place named",
       "{\n \"targets\": [\n  {\"wwn\": \"iqn.x\", \"fabric\": \"iscsi\",\n   \"tpgs\": [ {\"tag\": 1, \"luns\": 5} ]\n"
       "  },\n  {\"fabric\": \"iscsi\"}\n ],\n \"storage_objects\": [ {\"name\": 1} ]\n}\n",
       "",
       {{kError, 4, "\"luns\" must be an array"},
        {kError, 6, "\"wwn\" is missing"},
        {kError, 8, "\"name\" must be a string"},
        {kError, 8, "\"plugin\" is missing"}}},
  };
  for (const LioCase& c : cases) {
    CRnTempDirForTest dir;
    CRnTempDirForTest::WriteText(dir.Join("small.img"), std::string(4096, 'x'));
    CRnTempDirForTest::WriteText(dir.Join("large.img"), std::string(8192, 'x'));
    const ImportPlan plan = ParseLioConfigText("saveconfig.json", Replace(c.json, "$D", dir.Path()),
                                               Options({{"/dev/vda", "/images/vda.img"}}, "LIO"));
    EXPECT_EQ(Replace(c.plan, "$D", dir.Path()), Describe(plan)) << c.name << "\n" << FormatIssues(plan);
    ExpectIssues(plan, c.issues, c.name);
  }
}

// ------------------------------------------------------------------ the walk

// The service as the import sees it: a model that the calls change, a
// journal of the calls, and a call that fails on demand.
class FakeService : public ImportService {
 public:
  CRnError CreateTarget(const std::string& target) override {
    if (CRnError e = Log("target " + target)) return e;
    state.targets[LowerName(target)].name = LowerName(target);
    return CRnError();
  }
  CRnError SetChap(const std::string& target, const PlannedChap& chap) override {
    if (CRnError e = Log("chap " + target + " " + chap.user)) return e;
    ServiceTarget& t = state.targets.at(LowerName(target));
    t.chap = true;
    t.chapUser = chap.user;
    t.mutualUser = chap.mutualUser;
    return CRnError();
  }
  CRnError CreateLun(const std::string& target, const PlannedLun& lun, int64_t& number) override {
    if (CRnError e = Log("lun " + target + " " + lun.path)) return e;
    ServiceTarget& t = state.targets.at(LowerName(target));
    // Lowest free from 1, as on tgtd.
    number = 1;
    while (std::any_of(t.luns.begin(), t.luns.end(), [&](const ServiceLun& l) { return l.number == number; })) ++number;
    ServiceLun l;
    l.number = number;
    l.path = lun.path;
    t.luns.push_back(l);
    return CRnError();
  }
  CRnError MapHost(const std::string& target, int64_t lun, const std::string& host) override {
    if (CRnError e = Log("map " + target + " " + std::to_string(lun) + " " + host)) return e;
    for (ServiceLun& l : state.targets.at(LowerName(target)).luns)
      if (l.number == lun) l.hosts.insert(host);
    return CRnError();
  }

  ServiceState state;
  std::vector<std::string> calls;
  int failAt = -1;  // the call (from 0) that fails

 private:
  CRnError Log(const std::string& call) {
    if (static_cast<int>(calls.size()) == failAt) {
      failAt = -1;
      return FXErrorUtil::ErrorInt(FX_HERE_IN("test"), 3, "injected failure of %s", call.c_str());
    }
    calls.push_back(call);
    return CRnError();
  }
};

ImportPlan TwoTargets() {
  ImportPlan plan;
  plan.format = "tgt";
  plan.file = "targets.conf";
  PlannedTarget a;
  a.name = "iqn.A";
  a.hasChap = true;
  a.chap = PlannedChap{"alice", "secret123456", "", ""};
  PlannedLun l1;
  l1.path = "/srv/a1.img";
  l1.serialPrefix = "TGT";
  l1.hosts = {"iqn.h1", "iqn.h2"};
  PlannedLun l2 = l1;
  l2.path = "/srv/a2.img";
  a.luns = {l1, l2};
  PlannedTarget b;
  b.name = "iqn.b";
  PlannedLun l3 = l1;
  l3.path = "/srv/b1.img";
  l3.hosts = {"iqn.h3"};
  b.luns = {l3};
  plan.targets = {a, b};
  return plan;
}

TEST(ImportWalk, ADryRunSendsNothingAndARunCreatesInAnOrderThatKeepsHostsBehindChap) {
  const ImportPlan plan = TwoTargets();
  FakeService fake;
  const ImportOutcome dry = RunImport(plan, fake.state, nullptr);
  EXPECT_TRUE(fake.calls.empty());
  EXPECT_EQ(2u, dry.Count(ImportStep::Object::kTarget, ImportStep::State::kToCreate));
  EXPECT_EQ(5u, dry.Count(ImportStep::Object::kMapping, ImportStep::State::kToCreate));
  EXPECT_NE(std::string::npos,
            FormatImport(plan, dry, "").find("Would create 2 targets, 1 CHAP setting, 3 LUNs and 5 host mappings."));

  const ImportOutcome run = RunImport(plan, fake.state, &fake);
  EXPECT_FALSE(run.failed);
  const std::vector<std::string> expected = {"target iqn.A",          "chap iqn.A alice",   "lun iqn.A /srv/a1.img",
                                             "map iqn.A 1 iqn.h1",    "map iqn.A 1 iqn.h2", "lun iqn.A /srv/a2.img",
                                             "map iqn.A 2 iqn.h1",    "map iqn.A 2 iqn.h2", "target iqn.b",
                                             "lun iqn.b /srv/b1.img", "map iqn.b 1 iqn.h3"};
  EXPECT_EQ(expected, fake.calls);

  // Everything exists now: a second run sends nothing and says so.
  fake.calls.clear();
  const ImportOutcome again = RunImport(plan, fake.state, &fake);
  EXPECT_TRUE(fake.calls.empty());
  EXPECT_EQ(5u, again.Count(ImportStep::Object::kMapping, ImportStep::State::kExists));
  EXPECT_EQ(1u, again.Count(ImportStep::Object::kChap, ImportStep::State::kExists));
}

TEST(ImportWalk, AFailurePartWayListsWhatWasCreatedAndTheSameRunFinishesIt) {
  const ImportPlan plan = TwoTargets();
  FakeService complete;
  (void)RunImport(plan, complete.state, &complete);
  for (int failAt = 0; failAt < static_cast<int>(complete.calls.size()); ++failAt) {
    FakeService fake;
    fake.failAt = failAt;
    const ImportOutcome first = RunImport(plan, fake.state, &fake);
    ASSERT_TRUE(first.failed) << failAt;
    const std::string text = FormatImport(plan, first, "");
    EXPECT_NE(std::string::npos, text.find("Stopped at")) << text;
    EXPECT_NE(std::string::npos, text.find("injected failure of " + complete.calls[failAt])) << text;
    EXPECT_NE(std::string::npos, text.find("run the same command again")) << text;
    const auto created = std::count_if(first.steps.begin(), first.steps.end(),
                                       [](const ImportStep& s) { return s.state == ImportStep::State::kCreated; });
    EXPECT_EQ(failAt, created) << text;
    // Nothing after the failure was tried.
    bool after = false;
    for (const ImportStep& s : first.steps) {
      if (after) {
        EXPECT_EQ(ImportStep::State::kNotReached, s.state) << failAt;
      }
      if (s.state == ImportStep::State::kFailed) after = true;
    }

    // The same import again creates exactly what is missing, once.
    const ImportOutcome second = RunImport(plan, fake.state, &fake);
    EXPECT_FALSE(second.failed) << failAt;
    EXPECT_EQ(complete.calls, fake.calls) << failAt;
  }
}

TEST(ImportWalk, WhatExistsIsLeftAsItIsAndTheRestIsAddedToIt) {
  ImportPlan plan = TwoTargets();
  FakeService fake;
  ServiceTarget& a = fake.state.targets["iqn.a"];
  a.name = "iqn.a";
  a.chap = true;
  a.chapUser = "bob";
  ServiceLun l;
  l.number = 4;
  l.path = "/srv/a2.img";
  l.hosts = {"iqn.h1"};
  a.luns.push_back(l);
  ServiceTarget& b = fake.state.targets["iqn.b"];
  b.name = "iqn.b";  // without CHAP: the plan's is set before any mapping
  plan.targets[1].hasChap = true;
  plan.targets[1].chap = PlannedChap{"carol", "secret123456", "", ""};

  const ImportOutcome run = RunImport(plan, fake.state, &fake);
  EXPECT_FALSE(run.failed);
  const std::vector<std::string> expected = {"lun iqn.A /srv/a1.img", "map iqn.A 1 iqn.h1", "map iqn.A 1 iqn.h2",
                                             "map iqn.A 4 iqn.h2",    "chap iqn.b carol",   "lun iqn.b /srv/b1.img",
                                             "map iqn.b 1 iqn.h3"};
  EXPECT_EQ(expected, fake.calls);
  EXPECT_EQ(1u, run.Count(ImportStep::Object::kChap, ImportStep::State::kDiffers));
  const std::string text = FormatImport(plan, run, "");
  EXPECT_NE(std::string::npos, text.find("differs, left as is: the target has CHAP user bob")) << text;
  EXPECT_NE(std::string::npos, text.find("Already there: 2 targets, 1 LUN and 1 host mapping.")) << text;
}

// ------------------------------------------------------------------ export

ServiceState ExportedState() {
  ServiceState s;
  const std::string t1 = "iqn.2024-01.com.example:one", t2 = "iqn.2024-01.com.example:two";
  ServiceTarget& a = s.targets[t1];
  a.name = t1;
  a.chap = true;
  a.chapUser = "alice";
  a.mutualUser = "target1";
  ServiceLun l1;
  l1.number = 1;
  l1.type = "blkdev";
  l1.path = "/srv/a.img";
  l1.size = "1048576";
  l1.serial = WzScsiSrvUnitSerial("DISK", t1, 1);
  l1.hosts = {"iqn.h1", "iqn.h2"};
  ServiceLun l2 = l1;
  l2.number = 2;
  l2.path = "/dev/wz-test-sdb";
  l2.serial = WzScsiSrvUnitSerial("DISK", t1, 2);
  l2.hosts = {"iqn.h1"};
  a.luns = {l1, l2};
  ServiceTarget& b = s.targets[t2];
  b.name = t2;
  ServiceLun l0 = l1;
  l0.number = 0;
  l0.path = "/srv/c.img";
  l0.serial = WzScsiSrvUnitSerial("SNAPX", t2, 0);
  l0.hosts.clear();
  ServiceLun snap = l0;
  snap.number = 3;
  snap.path.clear();
  snap.type = "devsnap";
  b.luns = {l0, snap};
  return s;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

TEST(Export, ReadBackByTheImportItGivesTheSameConfiguration) {
  const ServiceState state = ExportedState();
  const std::map<std::string, PlannedChap> secrets = {
      {"iqn.2024-01.com.example:one", PlannedChap{"alice", "secret123456", "target1", "tsecret123456"}}};
  ExportOptions options;
  options.source = "test";
  options.time = "now";

  // tgt grants whole targets: host h2 reaches LUN 2 there, and LUN 0 moves.
  const ExportResult tgt = ExportTgt(state, &secrets, options);
  const ImportPlan fromTgt = ParseTgtConfigText("exported.conf", tgt.text, Options());
  EXPECT_EQ(
      "target iqn.2024-01.com.example:one chap alice:secret123456/target1:tsecret123456\n"
      "  lun 1 /srv/a.img DISK iqn.h1 iqn.h2\n  lun 2 /dev/wz-test-sdb DISK iqn.h1 iqn.h2\n"
      "target iqn.2024-01.com.example:two\n  lun 1 /srv/c.img SNAPX\n",
      Describe(fromTgt))
      << tgt.text << FormatIssues(fromTgt);
  ExpectIssues(fromTgt, {}, "tgt");
  const std::string warnings = Joined(tgt.warnings);
  for (const char* w :
       {"host iqn.h2 is not mapped to LUN 2", "LUN 0 of target iqn.2024-01.com.example:two: tgtd's LUN 0",
        "LUN 3 of target iqn.2024-01.com.example:two has no backing path"})
    EXPECT_NE(std::string::npos, warnings.find(w)) << warnings;

  // The kernel target keeps mappings per LUN and LUN 0.
  const ExportResult lio = ExportLio(state, &secrets, options);
  const ImportPlan fromLio = ParseLioConfigText("exported.json", lio.text, Options({}, "LIO"));
  EXPECT_EQ(
      "target iqn.2024-01.com.example:one chap alice:secret123456/target1:tsecret123456\n"
      "  lun 1 /srv/a.img DISK iqn.h1 iqn.h2\n  lun 2 /dev/wz-test-sdb DISK iqn.h1\n"
      "target iqn.2024-01.com.example:two\n  lun 0 /srv/c.img SNAPX\n",
      Describe(fromLio))
      << lio.text << FormatIssues(fromLio);
  ExpectIssues(fromLio, {}, "lio");
  EXPECT_NE(std::string::npos, lio.text.find("\"plugin\": \"block\"")) << lio.text;
}

TEST(Export, WithoutSecretsATargetWithChapCannotComeBackWithoutThem) {
  const ServiceState state = ExportedState();
  const ExportResult tgt = ExportTgt(state, nullptr, ExportOptions());
  EXPECT_EQ(std::string::npos, tgt.text.find("secret123456"));
  const ImportPlan fromTgt = ParseTgtConfigText("exported.conf", tgt.text, Options());
  ExpectIssues(fromTgt, {{kSkipped, 18, "PLEASE_CORRECT_THE_PASSWORD"}}, "tgt");

  const ExportResult lio = ExportLio(state, nullptr, ExportOptions());
  const ImportPlan fromLio = ParseLioConfigText("exported.json", lio.text, Options({}, "LIO"));
  ASSERT_EQ(1u, fromLio.targets.size());
  EXPECT_EQ("iqn.2024-01.com.example:two", fromLio.targets[0].name);
  EXPECT_NE(std::string::npos, Joined(lio.warnings).find("refuses its logins until they are set"));
}

TEST(Export, SavedSecretsAreReadOnlyWhenTheyMatchTheListing) {
  CRnTempDirForTest dir;
  ServiceState state = ExportedState();
  const std::string name = "iqn.2024-01.com.example:one";
  std::string id;
  ASSERT_TRUE(GetGUID(name.data(), static_cast<int>(name.size()), id).IsSuccess());
  ::mkdir(dir.Join("Targets").c_str(), 0700);
  ::mkdir(dir.Join("Targets/" + id).c_str(), 0700);
  std::string xml;
  ASSERT_EQ(0, MakeSetTargetAuth(name, "alice", "secret123456", "target1", "tsecret123456", 0)->serialize(xml, false));
  CRnTempDirForTest::WriteText(dir.Join("Targets/" + id + "/Auth.wzf"), xml);
  std::map<std::string, PlannedChap> secrets;
  ASSERT_TRUE(ReadSavedSecrets(dir.Path(), state, secrets).IsSuccess());
  EXPECT_EQ("tsecret123456", secrets.at(name).mutualSecret);

  state.targets.at(name).chapUser = "mallory";
  secrets.clear();
  CRnError e = ReadSavedSecrets(dir.Path(), state, secrets);
  EXPECT_TRUE(e.IsError());
  EXPECT_NE(std::string::npos, e.AsString().find("not the ones the service reports")) << e.AsString();
  EXPECT_TRUE(ReadSavedSecrets(dir.Join("elsewhere"), state, secrets).IsError());
}

}  // namespace
