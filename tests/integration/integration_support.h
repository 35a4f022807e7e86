// Shared by the integration tests: each test gets its own temporary
// directory, starts wzscsid on it as a real process with the driver doubles,
// and drives it through wzscsictl (as a user would) or the client library.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "apps/launcher/daemon_launcher.h"
#include "apps/wzscsictl/ctl_lib.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"

namespace wzit {

// What the service holds, as its listings tell it (sorted lines).
struct Model {
  std::vector<std::string> targets;
  std::vector<std::string> luns;  // target#host#lun#creationTime
  bool operator==(const Model& o) const { return targets == o.targets && luns == o.luns; }
};

class IntegrationTest : public ::testing::Test {
 protected:
  IntegrationTest();

  std::string Dir() const { return m_dir.Path(); }
  std::string StateDir() const { return m_dir.Join("state"); }
  std::string Path(const std::string& rel) const { return m_dir.Join(rel); }
  // Writes <state>/wzscsi.conf (the daemon's default configuration file).
  void WriteConfig(const std::string& text);
  std::string ReadFile(const std::string& path) const;

  // The daemon on StateDir() with the doubles, logging at level 1 to
  // <state>/wzscsid.log; fake driver calls journalled to Path("journal").
  WzDaemonLaunch LaunchOptions(std::vector<std::string> extraArgs = {}) const;
  void StartDaemon(CWzDaemonProcess& daemon, std::vector<std::string> extraArgs = {});

  // wzscsictl against the daemon's Unix socket.
  WzCtlRunResult Ctl(const CWzDaemonProcess& daemon, std::vector<std::string> args) const;
  // The same with --json; the parsed reply view through the client library
  // would hide the printing, so tests read the JSON text.
  WzCtlRunResult CtlJson(const CWzDaemonProcess& daemon, std::vector<std::string> args) const;

  // One request through the client library; fails the test without a reply.
  WzCtl::ReplyView Call(const std::string& endpoint, const CNMessageBase& request, int timeoutMs = 60000) const;
  Model Snapshot(const std::string& endpoint) const;

 private:
  CRnTempDirForTest m_dir;
};

// Every saved request under dir (recursively).
std::vector<std::string> SavedFiles(const std::string& dir);
// The number of times needle occurs in text.
size_t CountOf(const std::string& text, const std::string& needle);

}  // namespace wzit
