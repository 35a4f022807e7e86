#include "bench/bench_stats.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using wzbench::Figure;
using wzbench::TargetKind;

TEST(BenchStats, MedianAndPercentileOfUnsortedSamples) {
  EXPECT_EQ(0, wzbench::Median({}));
  EXPECT_EQ(3, wzbench::Median({5, 1, 3}));
  EXPECT_EQ(2.5, wzbench::Median({4, 1, 3, 2}));
  EXPECT_EQ(0, wzbench::Percentile({}, 99));
  const std::vector<double> hundred = [] {
    std::vector<double> v;
    for (int i = 100; i >= 1; --i) v.push_back(i);
    return v;
  }();
  EXPECT_EQ(99, wzbench::Percentile(hundred, 99));
  EXPECT_EQ(1, wzbench::Percentile(hundred, 0));
  EXPECT_EQ(100, wzbench::Percentile(hundred, 100));
}

TEST(BenchStats, TargetsAndUnmeasuredFigures) {
  Figure below;
  below.kind = TargetKind::kBelow;
  below.target = 2;
  below.value = 2;
  EXPECT_FALSE(below.Met()) << "the bound itself misses a strict target";
  below.value = 1.99;
  EXPECT_TRUE(below.Met());

  Figure atLeast;
  atLeast.kind = TargetKind::kAtLeast;
  atLeast.target = 80;
  atLeast.value = 80;
  EXPECT_TRUE(atLeast.Met());
  atLeast.measured = false;
  EXPECT_FALSE(atLeast.Met()) << "a measurement that did not run never meets its target";
}

TEST(BenchStats, JsonCarriesFailuresAndEscapes) {
  Figure ok;
  ok.name = "a";
  ok.label = "say \"hi\"\n";
  ok.value = 1.5;
  ok.kind = TargetKind::kBelow;
  ok.target = 2;
  Figure failed;
  failed.name = "b";
  failed.measured = false;
  failed.value = NAN;
  failed.note = std::string("tab\there \x01");
  const std::string json = wzbench::FiguresToJson({ok, failed}, {{"k", "v"}});
  EXPECT_NE(std::string::npos, json.find("\"label\": \"say \\\"hi\\\"\\n\""));
  EXPECT_NE(std::string::npos, json.find("\"value\": 1.5"));
  EXPECT_NE(std::string::npos, json.find("\"met\": true"));
  EXPECT_NE(std::string::npos, json.find("\"value\": null"));
  EXPECT_NE(std::string::npos, json.find("\"note\": \"tab\\there \\u0001\""));
  EXPECT_EQ(std::string::npos, json.find("nan"));
}

}  // namespace
