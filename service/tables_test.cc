// The service's tables: every refusal has exactly one row, in order, and no
// tag id is dispatched twice.
#include <gtest/gtest.h>

#include <set>

#include "service/dispatch_table.h"
#include "service/refusals.h"

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

  const WzScsiSrvDispatchRow* dispatch = WzScsiSrvDispatchRows(count);
  std::set<uint32_t> seen;
  for (size_t i = 0; i < count; ++i) {
    EXPECT_TRUE(seen.insert(dispatch[i].cls->tagId).second) << "dispatched twice: " << dispatch[i].cls->name;
    EXPECT_EQ(WzScsiSrvFindDispatchRow(dispatch[i].cls->tagId), &dispatch[i]);
  }
  EXPECT_EQ(WzScsiSrvFindDispatchRow(WzScsiServer::kCreateTargetRsp.tagId), nullptr) << "replies are no requests";
}

}  // namespace
