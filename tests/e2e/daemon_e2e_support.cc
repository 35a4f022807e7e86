#include "tests/e2e/daemon_e2e_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "messages/WzScsiServerMessages.h"
#include "tests/e2e/driver_harness.h"

namespace wze2e {

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

void CollectSaved(const std::string& root, const std::string& rel, std::vector<std::string>& out) {
  for (const std::string& name : CRnTempDirForTest::List(rel.empty() ? root : root + "/" + rel)) {
    const std::string child = rel.empty() ? name : rel + "/" + name;
    struct stat st;
    if (::lstat((root + "/" + child).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      CollectSaved(root, child, out);
    } else {
      out.push_back(child);
    }
  }
}

}  // namespace

const char* const DaemonE2eTest::kTarget = "iqn.2024-01.com.example:e2e";
const char* const DaemonE2eTest::kHostA = "iqn.2024-01.com.example:host-a";
const char* const DaemonE2eTest::kHostB = "iqn.2024-01.com.example:host-b";
const char* const DaemonE2eTest::kPattern = "WzScsiE2e-";

std::map<std::string, TgtdTargetView> ParseTgtdShow(const std::string& text) {
  std::map<std::string, TgtdTargetView> targets;
  TgtdTargetView* current = nullptr;
  enum class Section { kOther, kNexus, kLuns, kAcls } section = Section::kOther;
  int lun = -1;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);) {
    if (StartsWith(line, "Target ")) {
      const size_t colon = line.find(": ");
      if (colon == std::string::npos) continue;
      current = &targets[line.substr(colon + 2)];
      current->tid = std::atoi(line.c_str() + 7);
      section = Section::kOther;
      continue;
    }
    if (current == nullptr) continue;
    if (line == "    I_T nexus information:") {
      section = Section::kNexus;
    } else if (line == "    LUN information:") {
      section = Section::kLuns;
    } else if (line == "    ACL information:") {
      section = Section::kAcls;
    } else if (StartsWith(line, "    ") && !StartsWith(line, "     ")) {
      section = Section::kOther;
    } else if (section == Section::kNexus && StartsWith(line, "        I_T nexus: ")) {
      ++current->sessions;
    } else if (section == Section::kLuns && StartsWith(line, "        LUN: ")) {
      lun = std::atoi(line.c_str() + 13);
    } else if (section == Section::kLuns && StartsWith(line, "            Backing store path: ") && lun > 0) {
      current->luns[lun] = line.substr(32);
    } else if (section == Section::kAcls && StartsWith(line, "        ")) {
      current->acls.push_back(line.substr(8));
    }
  }
  return targets;
}

void DaemonE2eTest::SetUp() {
  if (!TgtdInstalled()) GTEST_SKIP() << "tgtd is not installed";
  std::string error;
  ASSERT_TRUE(m_tgtd.Start(&error)) << error;
  ASSERT_EQ(0, ::mkdir(StateDir().c_str(), 0750));
  ASSERT_EQ(0, ::mkdir(SnapshotDir().c_str(), 0750));
  // The daemon's default configuration file, with the drivers' sections as
  // make run writes them.
  // The tgt engine by name: on a machine with the kernel target the
  // automatic choice would take that one.
  CRnTempDirForTest::WriteText(
      StateDir() + "/wzscsi.conf",
      "[Quellport]\nsScsiEngine=tgt\n[WzScsiSrvTgt]\nTgtdControlSocket=" + m_tgtd.ControlSocket() +
          "\nTgtdPortal=" + m_tgtd.Portal() + "\n[WzScsiSrvBStorDevSnap]\nSnapshotDir=" + SnapshotDir() + "\n");
  StartDaemon();
}

void DaemonE2eTest::TearDown() {
  if (HasFailure()) {
    std::printf("---- wzscsid log ----\n%s---- tgtd ----\n%s%s", DaemonLog().c_str(), m_tgtd.ShowTargets().c_str(),
                m_tgtd.LogText().c_str());
  }
  m_daemon.Stop();
  m_tgtd.Stop();
}

void DaemonE2eTest::StartDaemon(const std::vector<std::pair<std::string, std::string>>& env,
                                const std::vector<std::string>& args) {
  WzDaemonLaunch cfg;
  cfg.stateDir = StateDir();
  cfg.driverDir = WzBuildPaths::RealDrivers();
  cfg.logLevel = 1;
  cfg.env.insert(cfg.env.end(), env.begin(), env.end());
  cfg.extraArgs = args;
  CRnError err = m_daemon.Start(cfg);
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();
}

std::string DaemonE2eTest::MakeFile(const std::string& name, long long size) const {
  const std::string path = Path(name);
  std::ofstream(path, std::ios::trunc).close();
  EXPECT_EQ(0, ::truncate(path.c_str(), size));
  return path;
}

void DaemonE2eTest::StopDaemon() { ASSERT_EQ(0, m_daemon.Stop()) << DaemonLog(); }

WzCtlRunResult DaemonE2eTest::Ctl(std::vector<std::string> args) const {
  WzCtlRun cfg;
  cfg.args = {"--socket", m_daemon.UnixEndpoint()};
  cfg.args.insert(cfg.args.end(), args.begin(), args.end());
  return RunCtlProcess(cfg);
}

std::string DaemonE2eTest::CtlOk(std::vector<std::string> args) const {
  std::string line;
  for (const std::string& a : args) line += " " + a;
  WzCtlRunResult r = Ctl(std::move(args));
  EXPECT_EQ(0, r.exitCode) << "wzscsictl" << line << ": " << r.out << r.err;
  return r.out;
}

std::string DaemonE2eTest::Refusal(const std::string& object, int code, const std::string& message) {
  return "wzscsictl: " + message + " (" + (object.empty() ? std::string() : object + "; ") + "error " +
         std::to_string(code) + ", " + WzScsiServer::ResultCodeText(code) + ")\n";
}

int DaemonE2eTest::CreateMappedBlockLun(const std::string& file) {
  std::ofstream(file, std::ios::trunc).close();
  if (::truncate(file.c_str(), k64MiB) != 0) {
    ADD_FAILURE() << "cannot make " << file;
    return -1;
  }
  CtlOk({"target", "create", kTarget, "--desc", "end-to-end"});
  const std::string created = CtlOk({"lun", "create", kTarget, "--type", "blkdev", "--path", file, "--serial", "E2E"});
  const std::string prefix = "LUN ";
  if (!StartsWith(created, prefix)) {
    ADD_FAILURE() << "no LUN number in: " << created;
    return -1;
  }
  const int lun = std::atoi(created.c_str() + prefix.size());
  CtlOk({"host", "map", kTarget, std::to_string(lun), kHostA});
  return HasFailure() ? -1 : lun;
}

CommandResult DaemonE2eTest::ProbeAs(const std::string& host, int lun, std::vector<std::string> args) const {
  return RunProbe(m_tgtd.Portal(), kTarget, host, lun, args);
}

void DaemonE2eTest::HoldSession(ChildProcess& session, int lun, long long lba) const {
  std::string why;
  ASSERT_TRUE(HoldProbeSession(session, m_tgtd.Portal(), kTarget, kHostA, lun, lba, kPattern, &why)) << why;
}

std::string DaemonE2eTest::RequestRead(ChildProcess& session) { return RequestProbeRead(session); }

void DaemonE2eTest::TgtdAdmin(const std::vector<std::string>& args) const {
  CommandResult r = m_tgtd.Tgtadm(args);
  EXPECT_EQ(0, r.exitCode) << r.output;
}

std::vector<std::string> DaemonE2eTest::SavedFiles() const {
  std::vector<std::string> files;
  CollectSaved(ActionLogRoot(), "", files);
  std::sort(files.begin(), files.end());
  return files;
}

std::string DaemonE2eTest::DaemonLog() const { return CRnTempDirForTest::ReadText(m_daemon.LogFile()); }

}  // namespace wze2e
