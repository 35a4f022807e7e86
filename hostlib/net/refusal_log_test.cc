#include "hostlib/net/refusal_log.h"

#include <gtest/gtest.h>

namespace {

using std::chrono::seconds;
using Wzn::CRefusalLog;

TEST(RefusalLog, OneLinePerSourceAndIntervalThenACount) {
  CRefusalLog log(seconds(60), 2);
  const CRefusalLog::Clock::time_point t0 = CRefusalLog::Clock::now();
  EXPECT_EQ(log.Note("10.0.0.1", "wrong token", t0),
            std::vector<std::string>{"Refused a connection from 10.0.0.1: wrong token"});
  for (int i = 0; i < 1000; ++i) EXPECT_TRUE(log.Note("10.0.0.1", "wrong token", t0 + seconds(1)).empty());
  EXPECT_TRUE(log.Note("10.0.0.1", "no hello within 5 s", t0 + seconds(59)).empty());
  // Another source is not held back by the first.
  EXPECT_EQ(log.Note("10.0.0.2", "wrong token", t0 + seconds(2)).size(), 1u);

  // The next refusal after the interval brings the count along.
  EXPECT_EQ(log.Note("10.0.0.1", "wrong token", t0 + seconds(61)),
            (std::vector<std::string>{
                "Refused 1001 more connections from 10.0.0.1 in the last 60 s (last: no hello within 5 s)",
                "Refused a connection from 10.0.0.1: wrong token"}));

  // A source that falls silent is summed up by the periodic flush, once.
  EXPECT_TRUE(log.Note("10.0.0.1", "wrong token", t0 + seconds(62)).empty());
  EXPECT_TRUE(log.Flush(t0 + seconds(100)).empty()) << "its interval still runs";
  EXPECT_EQ(log.Flush(t0 + seconds(122)),
            std::vector<std::string>{"Refused 1 more connection from 10.0.0.1 in the last 60 s (last: wrong token)"});
  EXPECT_EQ(log.SourceCount(), 0u) << "quiet sources are forgotten";
}

TEST(RefusalLog, SourcesBeyondTheTableAreCountedTogether) {
  CRefusalLog log(seconds(60), 2);
  const CRefusalLog::Clock::time_point t0 = CRefusalLog::Clock::now();
  size_t lines = 0;
  for (int i = 0; i < 500; ++i) lines += log.Note("2001:db8::" + std::to_string(i), "wrong token", t0).size();
  EXPECT_EQ(lines, 3u) << "two sources of their own and one line for the others";
  EXPECT_LE(log.SourceCount(), 3u);
  EXPECT_EQ(
      log.Flush(t0, true),
      std::vector<std::string>{"Refused 497 more connections from other sources in the last 60 s (last: wrong token)"});
}

}  // namespace
