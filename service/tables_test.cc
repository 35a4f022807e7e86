// The service's tables: every refusal has exactly one row, in order, with
// its next step filled in, and no tag id is dispatched twice.
#include <gtest/gtest.h>

#include <set>

#include "change/refusals.h"
#include "service/request_classes.h"

namespace {

TEST(Tables, EveryRefusalHasItsRowAndEveryTagIdOneHandler) {
  size_t count = 0;
  const WzScsiSrvRefusalRow* rows = WzScsiSrvRefusalRows(count);
  ASSERT_EQ(count, static_cast<size_t>(WzScsiSrvRefusal::END));
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(static_cast<size_t>(rows[i].id), i) << rows[i].text;
    EXPECT_NE(rows[i].code, WzScsiServer::RC_SUCCESS) << rows[i].text;
    EXPECT_NE(std::string(rows[i].text), "");
    // Every placeholder of a next step is filled, and with a name the row's
    // object gives: a LUN's number or hosts need a LUN (or host) object.
    WzScsiSrvRefusalNames names;
    names.target = "T";
    names.lun = 3;
    names.host = "H";
    names.luns = "0, 3";
    names.hosts = "H";
    const std::string lines = WzScsiSrvRefusalLines(rows[i], names);
    EXPECT_EQ(lines.find('{'), std::string::npos) << lines;
    const std::string next = rows[i].next != nullptr ? rows[i].next : "";
    const bool namesLun = next.find("{lun}") != std::string::npos || next.find("{hosts}") != std::string::npos;
    const bool namesTarget = next.find("{target}") != std::string::npos || next.find("{luns}") != std::string::npos;
    EXPECT_TRUE(!namesLun || rows[i].object == WzScsiSrvRefusalObject::LUN ||
                rows[i].object == WzScsiSrvRefusalObject::HOST)
        << rows[i].text;
    EXPECT_TRUE(!namesTarget || rows[i].object != WzScsiSrvRefusalObject::NONE) << rows[i].text;
  }

  const WzScsiSrvRequestClass* const* classes = WzScsiSrvRequestClasses(count);
  std::set<uint32_t> seen;
  for (size_t i = 0; i < count; ++i) {
    const WzScsiSrvRequestClass& row = *classes[i];
    // A row that records something says where, in the action log and in etcd.
    if (row.kind != WzScsiSrvChangeKind::QUERY) {
      EXPECT_NE(row.savedPath, nullptr) << row.cls->name;
      EXPECT_NE(row.cluster, nullptr) << row.cls->name;
    }
    if (row.worker == nullptr) {
      // A variant (the open) is reached through its class's dispatched row.
      EXPECT_NE(WzScsiSrvFindRequestClass(row.cls->tagId), nullptr) << row.cls->name;
      continue;
    }
    EXPECT_TRUE(seen.insert(row.cls->tagId).second) << "dispatched twice: " << row.cls->name;
    EXPECT_EQ(WzScsiSrvFindRequestClass(row.cls->tagId), &row);
  }
  EXPECT_EQ(WzScsiSrvFindRequestClass(WzScsiServer::kCreateTargetRsp.tagId), nullptr) << "replies are no requests";
}

}  // namespace
