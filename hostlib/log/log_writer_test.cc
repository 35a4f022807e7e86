#include "hostlib/log/LogWriter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <sstream>
#include <vector>

#include "tests/support/hostlib/memory_log_writer.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"

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
  EXPECT_EQ(records[0].text, "Enter TracedAt");
  EXPECT_EQ(records[1].text, "Leave TracedAt");
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

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Seconds between a line's "YYYY-MM-DDTHH:MM:SS" read as UTC and now.
long SecondsFromNow(const std::string& line) {
  struct tm t {};
  if (strptime(line.c_str(), "%Y-%m-%dT%H:%M:%S", &t) == nullptr) return 1000000;
  return static_cast<long>(timegm(&t) - time(nullptr));
}

// Lines are "time level text" at the operator's levels; the thread and the
// short source location appear only once the writer is at the detail level,
// and a change of level takes effect on the next line.
TEST(SpdLogWriterTest, OperatorLinesThenDetailLinesInUtc) {
  // A zone far from UTC, so that a line in local time would show.
  const char* oldTz = getenv("TZ");
  const std::string savedTz = oldTz != nullptr ? oldTz : "";
  setenv("TZ", "WZT-9", 1);
  tzset();

  CRnTempDirForTest tmp;
  const std::string path = tmp.Join("wz.log");
  std::string errorText;
  g_ptrLogWriter = MakeSpdLogWriter(1, path, &errorText);
  ASSERT_NE(g_ptrLogWriter, nullptr) << errorText;
  const char* const signature =
      "CRnError WzScsiSrv::CollectTargetDirs(std::vector<std::__cxx11::basic_string<char> >&)";
  g_ptrLogWriter->Write(1, signature, 87, 0, 0, "Creating Target: TargetID [%s]", "iqn.a");
  g_ptrLogWriter->Write(0, signature, 88, 0, 0, "notice");
  g_ptrLogWriter->Write(-1, signature, 89, 0, 0, "failed");
  g_ptrLogWriter->Write(2, signature, 90, 0, 0, "hidden");
  g_ptrLogWriter->SetLevel(kWzLogDetailLevel);
  g_ptrLogWriter->Write(2, signature, 91, 0, 0, "received");
  WZLOG(6, "not at this level");
  WZLOG(-1, "through the macro");
  g_ptrLogWriter.reset();  // flushes

  if (oldTz != nullptr) {
    setenv("TZ", savedTz.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();

  const std::string text = CRnTempDirForTest::ReadText(path);
  const std::vector<std::string> lines = Lines(text);
  const std::string time = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )";
  const std::vector<std::string> expected = {
      time + R"(INFO Creating Target: TargetID \[iqn\.a\])",
      time + "NOTICE notice",
      time + "ERROR failed",
      time + R"(DEBUG \[\d+\] WzScsiSrv::CollectTargetDirs:91 received)",
      time + R"(ERROR \[\d+\] SpdLogWriterTest_OperatorLinesThenDetailLinesInUtc_Test::TestBody:\d+ through the macro)",
  };
  ASSERT_EQ(lines.size(), expected.size()) << text;
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i]))) << lines[i];
    EXPECT_LE(std::labs(SecondsFromNow(lines[i])), 600) << "not UTC: " << lines[i];
  }
}

TEST(LogShortFunctionTest, KeepsTheQualifiedNameOnly) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"CRnError WzScsiSrv::CollectTargetDirs(std::vector<std::__cxx11::basic_string<char> >&)",
       "WzScsiSrv::CollectTargetDirs"},
      {"virtual CRnError WzScsiSrvTgtPlatform::CreateTarget(const string&, const string&) const",
       "WzScsiSrvTgtPlatform::CreateTarget"},
      {"WzScsiSrv::WzScsiSrv()", "WzScsiSrv::WzScsiSrv"},
      {"virtual WzScsiSrv::~WzScsiSrv()", "WzScsiSrv::~WzScsiSrv"},
      {"static void WzScsiSrv::Callback(void*)", "WzScsiSrv::Callback"},
      {"std::map<std::__cxx11::basic_string<char>, int> {anonymous}::Index(const Table&)", "Index"},
      {"int (anonymous namespace)::Helper(int)", "Helper"},
      {"WzScsiSrv::Start(CNSession*, CNMessageBase*)::<lambda()>", "WzScsiSrv::Start"},
      {"{anonymous}::Run(int)::<lambda(const string&)> [with auto:1 = int]", "Run"},
      {"void WzPool<T>::Run(T) [with T = std::pair<int, int>]", "WzPool<T>::Run"},
      {"bool operator==(const Foo&, const Foo&)", "operator=="},
      {"std::ostream& operator<<(std::ostream&, const Foo&)", "operator<<"},
      {"Foo::operator bool() const", "Foo::operator bool"},
      {"void Foo::operator()(int) const", "Foo::operator()"},
      {"const char *Foo::Name() const", "Foo::Name"},
      {"int main(int, char**)", "main"},
      {"EvDebug", "EvDebug"},
  };
  for (const auto& c : cases) EXPECT_EQ(WzLogShortFunction(c.first), c.second) << c.first;
  EXPECT_EQ(WzLogShortFunction(nullptr), "");
}

TEST(SpdLogWriterTest, UnwritableFileGivesNoWriterAndAReason) {
  std::string errorText;
  EXPECT_EQ(MakeSpdLogWriter(0, "/proc/wz-no-such-dir/x.log", &errorText), nullptr);
  EXPECT_FALSE(errorText.empty());
}

}  // namespace
