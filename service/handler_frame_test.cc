// The audit line of the handler frame: exactly one line per change a client
// asks for, at the audit level, after the reply; none for listings, dry runs
// and the replay; no error-level line for a refused request.
#include <gtest/gtest.h>

#include "service/handler_frame.h"
#include "tests/support/service_harness.h"

using namespace wztest;

namespace {

// The audit lines, without "request from <peer>: ", which is checked once.
std::vector<std::string> AuditLines(ServiceHarness& h) {
  std::vector<std::string> out;
  for (const std::string& text : h.Log().Texts(kWzScsiSrvAuditLevel)) {
    if (text.compare(0, 13, "request from ") != 0) continue;
    const size_t colon = text.find(": ");
    out.push_back(colon == std::string::npos ? text : text.substr(colon + 2));
  }
  return out;
}

}  // namespace

TEST(Audit, OneLinePerChangeWithWhoAskedAndTheOutcome) {
  ServiceHarness h;
  h.Log().Clear();
  const std::string args = "-ti iqn.2000-01.t:a -path /dev/x -sp AB12";
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("IQN.2000-01.t:A", "desc"))), 0);
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 7);
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateLun("iqn.2000-01.t:a", 2, args))), 0);
  ASSERT_EQ(ReplyCode(h.Send(MakeMap("iqn.2000-01.t:a", 0, "iqn.2000-01.t:host\nrequest from root: forged"))), 4);
  ASSERT_EQ(ReplyCode(h.Send(MakeMap("iqn.2000-01.t:a", 0, "iqn.2000-01.t:host"))), 0);
  ASSERT_EQ(ReplyCode(h.Send(MakeUnMap("iqn.2000-01.t:a", 0, "iqn.2000-01.t:other"))), 8);
  ASSERT_EQ(ReplyCode(h.Send(MakeUnMap("iqn.2000-01.t:a", 0, "iqn.2000-01.t:host"))), 0);
  h.SetFaults({"platform.DeleteLun"});
  ASSERT_NE(ReplyCode(h.Send(MakeDeleteLun("iqn.2000-01.t:a", 0))), 0);
  h.SetFaults({});
  // Reads and dry runs change nothing: no line.
  for (const char* cmd : {"ll", "lt", "ls", "status"}) ASSERT_EQ(ReplyCode(h.Send(MakeIoctl(cmd))), 0) << cmd;
  ASSERT_EQ(ReplyCode(h.Send(MakeIoctl("reconcile", "-dry-run"))), 0);
  ASSERT_EQ(ReplyCode(h.Send(MakeIoctl("rc"))), 0);

  const std::vector<std::string> lines = AuditLines(h);
  ASSERT_EQ(lines.size(), 9u) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines[0], "create target iqn.2000-01.t:a: done");
  EXPECT_EQ(lines[1], "create target iqn.2000-01.t:a: refused (code 7): Target already exists!");
  EXPECT_EQ(lines[2], "create LUN 0 on iqn.2000-01.t:a: done");
  // A line end in a host id cannot start a line of its own.
  EXPECT_EQ(
      lines[3].rfind(
          "map LUN 0 of iqn.2000-01.t:a to host iqn.2000-01.t:host\\x0Arequest from root: forged: refused (code 4): ",
          0),
      0u)
      << lines[3];
  EXPECT_EQ(lines[4], "map LUN 0 of iqn.2000-01.t:a to host iqn.2000-01.t:host: done");
  EXPECT_EQ(lines[5].rfind("unmap LUN 0 of iqn.2000-01.t:a from host iqn.2000-01.t:other: refused (code 8): ", 0), 0u)
      << lines[5];
  EXPECT_EQ(lines[6], "unmap LUN 0 of iqn.2000-01.t:a from host iqn.2000-01.t:host: done");
  // A driver's failure names the driver's error besides the reply's text.
  EXPECT_EQ(lines[7].rfind("delete LUN 0 on iqn.2000-01.t:a: refused (code 2): ", 0), 0u) << lines[7];
  EXPECT_NE(lines[7].find(" [", lines[7].find("): ")), std::string::npos) << lines[7];
  EXPECT_NE(lines[7].find("injected fault: platform.DeleteLun"), std::string::npos) << lines[7];
  EXPECT_EQ(lines[8], "reload: done");
  for (const std::string& text : h.Log().Texts(kWzScsiSrvAuditLevel)) {
    if (text.compare(0, 13, "request from ") == 0) {
      EXPECT_EQ(text.rfind("request from test connection ", 0), 0u) << text;
    }
  }
  // Refusals are answers, not service errors.
  for (const std::string& text : h.Log().Texts(-1)) EXPECT_EQ(text.find("refused"), std::string::npos) << text;

  // The replay calls the handlers without a connection: nobody asked.
  h.Log().Clear();
  h.Restart();
  EXPECT_TRUE(AuditLines(h).empty()) << ::testing::PrintToString(AuditLines(h));
}
