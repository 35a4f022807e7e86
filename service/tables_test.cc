// The service's tables: every refusal has exactly one row, in order, and no
// tag id is dispatched twice.
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
