#include "hostlib/log/LogWriter.h"

#include <gtest/gtest.h>

#include <vector>

#include "hostlib/util/rn_test_temp_dir.h"

namespace {

// Installs a memory writer as the process-wide writer for one test.
class LogWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memory = std::make_shared<CMemoryLogWriter>(1);
    g_ptrLogWriter = memory;
  }
  void TearDown() override { g_ptrLogWriter.reset(); }
  std::shared_ptr<CMemoryLogWriter> memory;
};

int g_evaluations = 0;
const char* Costly() {
  ++g_evaluations;
  return "costly";
}

TEST_F(LogWriterTest, LevelsDecideWhatIsWrittenAndEvaluated) {
  g_evaluations = 0;
  WZLOG(-1, "error %d", 1);
  WZLOG(0, "notice");
  WZLOG(1, "progress %s", Costly());
  WZLOG(2, "message %s", Costly());
  WZLOG(6, "detail %s", Costly());
  EXPECT_EQ(g_evaluations, 1);  // arguments of disabled records are never built
  EXPECT_EQ(memory->Texts(-1), std::vector<std::string>{"error 1"});
  EXPECT_EQ(memory->Texts(1), std::vector<std::string>{"progress costly"});
  EXPECT_FALSE(memory->Contains("message"));
  EXPECT_TRUE(WzLogEnabled(1));
  EXPECT_FALSE(WzLogEnabled(2));

  // Errors are written even at the lowest level.
  memory->SetLevel(-5);
  WZLOG(-1, "still written");
  EXPECT_TRUE(memory->Contains("still written"));
  EXPECT_FALSE(WzLogEnabled(0));

  std::vector<CMemoryLogWriter::Record> records = memory->Records();
  ASSERT_FALSE(records.empty());
  EXPECT_NE(records[0].function.find("LevelsDecideWhatIsWrittenAndEvaluated"), std::string::npos);
  EXPECT_GT(records[0].line, 0);
  memory->Clear();
  EXPECT_TRUE(memory->Records().empty());
}

TEST_F(LogWriterTest, NoWriterMeansNothingHappens) {
  g_ptrLogWriter.reset();
  g_evaluations = 0;
  WZLOG(-1, "dropped %s", Costly());
  EvDebug("dropped too");
  { WZ_TRACE_SCOPE(1); }
  EXPECT_EQ(g_evaluations, 0);
  EXPECT_FALSE(WzLogEnabled(-1));
}

void TracedAt(int level) { WZ_TRACE_SCOPE(level); }

TEST_F(LogWriterTest, TraceScopesWriteEnterAndLeaveOnlyWhenEnabled) {
  TracedAt(6);
  EXPECT_TRUE(memory->Records().empty());
  TracedAt(1);
  std::vector<CMemoryLogWriter::Record> records = memory->Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text, "Enter");
  EXPECT_EQ(records[1].text, "Leave");
  EXPECT_EQ(records[0].level, 1);
  EXPECT_NE(records[0].function.find("TracedAt"), std::string::npos);
}

TEST_F(LogWriterTest, EvDebugWritesAnErrorRecord) {
  memory->SetLevel(-1);
  EvDebug("Error while releasing semaphore(%s):(%s) ", "/sem", "why");
  std::vector<CMemoryLogWriter::Record> records = memory->Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, -1);
  EXPECT_EQ(records[0].function, "EvDebug");
  EXPECT_EQ(records[0].text, "Error while releasing semaphore(/sem):(why) ");
}

TEST(SpdLogWriterTest, WritesLinesToAFile) {
  CRnTempDirForTest tmp;
  std::string path = tmp.Join("wz.log");
  std::string errorText;
  std::shared_ptr<CLogWriterInterface> writer = MakeSpdLogWriter(1, path, &errorText);
  ASSERT_NE(writer, nullptr) << errorText;
  EXPECT_EQ(writer->GetLevel(), 1);
  writer->Write(1, "void Fn()", 42, 0, 0, "Creating Target: TargetID [%s]", "iqn.a");
  writer->Write(2, "void Fn()", 43, 0, 0, "hidden");
  writer->Write(-1, "void Fn()", 44, 0, 0, "failed");
  writer.reset();  // flushes
  std::string text = CRnTempDirForTest::ReadText(path);
  EXPECT_NE(text.find("void Fn():42 Creating Target: TargetID [iqn.a]"), std::string::npos) << text;
  EXPECT_NE(text.find("void Fn():44 failed"), std::string::npos) << text;
  EXPECT_EQ(text.find("hidden"), std::string::npos);
}

TEST(SpdLogWriterTest, UnwritableFileGivesNoWriterAndAReason) {
  std::string errorText;
  EXPECT_EQ(MakeSpdLogWriter(0, "/proc/wz-no-such-dir/x.log", &errorText), nullptr);
  EXPECT_FALSE(errorText.empty());
}

}  // namespace
