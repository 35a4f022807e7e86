#include "tests/integration/integration_support.h"

#include "actionlog/action_log_layout.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace wzit {

IntegrationTest::IntegrationTest() { mkdir(StateDir().c_str(), 0750); }

void IntegrationTest::WriteConfig(const std::string& text) {
  CRnTempDirForTest::WriteText(StateDir() + "/wzscsi.conf", text);
}

std::string IntegrationTest::ReadFile(const std::string& path) const {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

WzDaemonLaunch IntegrationTest::LaunchOptions(std::vector<std::string> extraArgs) const {
  WzDaemonLaunch cfg;
  cfg.stateDir = StateDir();
  cfg.logLevel = 1;
  cfg.extraArgs = std::move(extraArgs);
  cfg.env = {{"WZSCSI_FAKE_JOURNAL", Path("journal")}, {"WZSCSI_FAKE_FAULTS", Path("faults")}};
  return cfg;
}

void IntegrationTest::StartDaemon(CWzDaemonProcess& daemon, std::vector<std::string> extraArgs) {
  CRnError e = daemon.Start(LaunchOptions(std::move(extraArgs)));
  ASSERT_TRUE(e.IsSuccess()) << e.AsString();
}

WzCtlRunResult IntegrationTest::Ctl(const CWzDaemonProcess& daemon, std::vector<std::string> args) const {
  WzCtlRun cfg;
  cfg.args = {"--socket", daemon.UnixEndpoint()};
  cfg.args.insert(cfg.args.end(), args.begin(), args.end());
  return RunCtlProcess(cfg);
}

WzCtlRunResult IntegrationTest::CtlJson(const CWzDaemonProcess& daemon, std::vector<std::string> args) const {
  args.insert(args.begin(), "--json");
  return Ctl(daemon, std::move(args));
}

WzCtl::ReplyView IntegrationTest::Call(const std::string& endpoint, const CNMessageBase& request, int timeoutMs) const {
  WzCtl::CallResult r = WzCtl::CallOnce(endpoint, "", request, timeoutMs);
  EXPECT_TRUE(r.reply) << request.getTagName() << ": " << r.errorText;
  if (!r.reply) return WzCtl::ReplyView();
  return WzCtl::ViewReply(*r.reply);
}

Model IntegrationTest::Snapshot(const std::string& endpoint) const {
  Model m;
  WzCtl::ReplyView t = Call(endpoint, *WzCtl::MakeListTargets(0));
  WzCtl::ReplyView l = Call(endpoint, *WzCtl::MakeListLuns("", "", 0));
  EXPECT_EQ(t.errorCode, 0);
  EXPECT_EQ(l.errorCode, 0);
  m.targets = t.results;
  m.luns = l.results;
  std::sort(m.targets.begin(), m.targets.end());
  std::sort(m.luns.begin(), m.luns.end());
  return m;
}

std::vector<std::string> SavedFiles(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = dir + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      std::vector<std::string> sub = SavedFiles(path);
      out.insert(out.end(), sub.begin(), sub.end());
    } else if (WzScsiSrvActionLog::IsSavedRequestName(name)) {
      out.push_back(path);
    }
  }
  closedir(d);
  return out;
}

size_t CountOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size())) ++n;
  return n;
}

}  // namespace wzit
