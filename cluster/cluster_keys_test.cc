// The cluster's keys are a stored format shared by every gateway: pinned.
#include "cluster/cluster_keys.h"

#include <gtest/gtest.h>

namespace K = WzScsiSrvClusterKeys;

namespace {

TEST(ClusterKeys, NamesNeverChangeAndParseBack) {
  const std::string p = K::Prefix("prod");
  EXPECT_EQ(p, "/wzscsi/prod/");
  EXPECT_EQ(K::TargetKey(p, "iqn.a"), "/wzscsi/prod/t/69716e2e61/target");
  EXPECT_EQ(K::LunKey(p, "iqn.a", 7), "/wzscsi/prod/t/69716e2e61/lun/0000000007");
  EXPECT_EQ(K::MapKey(p, "iqn.a", 7, "H#1"), "/wzscsi/prod/t/69716e2e61/map/0000000007/482331");
  EXPECT_EQ(K::AuthKey(p, "iqn.a"), "/wzscsi/prod/t/69716e2e61/auth");

  const K::Parsed map = K::Parse(p, K::MapKey(p, "iqn.a", 2147483647, "Host/1"));
  EXPECT_EQ(map.kind, K::Parsed::MAP);
  EXPECT_EQ(map.target, "iqn.a");
  EXPECT_EQ(map.lun, 2147483647);
  EXPECT_EQ(map.host, "Host/1");
  EXPECT_EQ(K::Parse(p, K::LunKey(p, "iqn.a", 0)).kind, K::Parsed::LUN);
  EXPECT_EQ(K::Parse(p, K::SeqKey(p, "iqn.a")).kind, K::Parsed::SEQ);
  // Anything else is nobody's: another cluster, a bad number, bad hex.
  for (const std::string& key :
       {K::TargetKey(K::Prefix("other"), "iqn.a"), p + "t/69716e2e61/lun/7", p + "t/69716e2e61/lun/2147483648",
        p + "t/zz/target", p + "t/69716e2e6/target", p + "t/69716e2e61/map/0000000007/", p + "probe"})
    EXPECT_EQ(K::Parse(p, key).kind, K::Parsed::NONE) << key;
  EXPECT_FALSE(K::ValidName("a/b"));
  EXPECT_FALSE(K::ValidName(""));
  EXPECT_TRUE(K::ValidName("gw-pair_1.prod"));
}

}  // namespace
