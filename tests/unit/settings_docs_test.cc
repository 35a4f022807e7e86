// The shipped configuration file (packaging/wzscsi.conf) and the settings
// tables of docs/operations.md against the tables the code reads: the
// service's (section Quellport) and the daemon's (section wzscsid). Every key
// is in both, every key they name is real, and a default they state is the
// default the code uses; a service setting's range is the one it checks.
//
// A settings table of the docs follows a line "<!-- settings: [SECTION] -->";
// the drivers' sections are held to the file's keys of the same section.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "apps/wzscsid/daemon_options.h"
#include "hostlib/config/WZPlatformInfo.h"
#include "service/settings.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"

namespace {

const std::string kService = "Quellport";
const std::string kDaemon = "wzscsid";

// Their defaults depend on where the package puts the daemon and its state;
// the file and the docs give the package's.
const std::set<std::string> kInstalledDefaults = {"DriverDir", "ServiceLib", "sScsiSrvStagingLoc"};

std::string Read(const std::string& rel) {
  std::ifstream in(std::string(WZ_TEST_SOURCE_DIR) + "/" + rel);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Trim(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t");
  return first == std::string::npos ? std::string() : s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

std::string Unquoted(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), '`'), s.end());
  return Trim(s);
}

// A key where a file or a table names it.
struct Mention {
  std::string where;
  std::map<std::string, std::string> cells;  // docs: by column; the file: "value", and "default" when commented
};
typedef std::map<std::string, std::map<std::string, Mention>> BySection;  // section -> key -> mention

// Keys of the file: "KEY=VALUE" sets a value, ";KEY=VALUE" shows the default.
BySection ConfKeys(std::vector<std::string>& problems) {
  BySection out;
  std::string section;
  const std::vector<std::string> lines = Lines(Read("packaging/wzscsi.conf"));
  const std::regex header("^\\[([^\\]]+)\\]$"), setting("^(;?)([A-Za-z][A-Za-z0-9]*)=(.*)$");
  for (size_t i = 0; i < lines.size(); ++i) {
    std::smatch m;
    if (std::regex_match(lines[i], m, header)) {
      section = m[1];
    } else if (std::regex_match(lines[i], m, setting)) {
      Mention mention{"packaging/wzscsi.conf:" + std::to_string(i + 1), {{"value", m[3]}}};
      if (m[1] == ";") mention.cells["default"] = m[3];
      if (!out[section].emplace(m[2], mention).second) problems.push_back(mention.where + ": " + m[2].str() + " twice");
    }
  }
  return out;
}

std::vector<std::string> Cells(const std::string& row) {
  std::vector<std::string> cells;
  std::string cell;
  for (size_t i = 1; i < row.size(); ++i) {
    if (row[i] == '|') {
      cells.push_back(Trim(cell));
      cell.clear();
    } else {
      cell += row[i];
    }
  }
  return cells;
}

BySection DocKeys(std::vector<std::string>& problems) {
  BySection out;
  const std::vector<std::string> lines = Lines(Read("docs/operations.md"));
  const std::regex marker("^<!-- settings: \\[([^\\]]+)\\] -->$");
  std::string section;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string where = "docs/operations.md:" + std::to_string(i + 1);
    std::smatch m;
    if (std::regex_match(lines[i], m, marker)) {
      section = m[1];
      continue;
    }
    if (lines[i].rfind("| Key |", 0) != 0) continue;
    if (section.empty()) {
      problems.push_back(where + ": a settings table without a \"<!-- settings: [SECTION] -->\" line before it");
      continue;
    }
    const std::vector<std::string> columns = Cells(lines[i]);
    for (i += 2; i < lines.size() && lines[i].rfind("|", 0) == 0; ++i) {
      const std::vector<std::string> cells = Cells(lines[i]);
      Mention mention{"docs/operations.md:" + std::to_string(i + 1), {}};
      for (size_t c = 0; c < columns.size() && c < cells.size(); ++c) mention.cells[columns[c]] = cells[c];
      const std::string key = Unquoted(mention.cells["Key"]);
      if (!out[section].emplace(key, mention).second) problems.push_back(mention.where + ": " + key + " twice");
    }
    section.clear();
  }
  return out;
}

// The value a docs cell states as the default, or false when it describes
// one (prose, a placeholder) instead of giving it.
bool StatedDefault(const std::string& cell, std::string& value) {
  const std::string text = Unquoted(cell);
  if (text == "none" || text.rfind("(none", 0) == 0) {
    value.clear();
    return true;
  }
  if (text.find_first_of(" <(") != std::string::npos) return false;
  value = text;
  return true;
}

// The daemon's options as a parse of a configuration file holding body
// leaves them.
class DaemonParse {
 public:
  DaemonParse() { WZPlatformInfo::SetConfigFile(""); }
  ~DaemonParse() {
    WZPlatformInfo::SetConfigFile("");
    WZPlatformInfo::SetAdminConfigFile("");
  }
  // "" and the options as text, or the parse's complaint.
  std::string Options(const std::string& body, std::string& dump) {
    CRnTempDirForTest::WriteText(m_dir.Join("admin.conf"), body);
    const std::string state = m_dir.Join("state");
    const char* argv[] = {"wzscsid", "--config", nullptr, "--state-dir", state.c_str()};
    const std::string admin = m_dir.Join("admin.conf");
    argv[2] = admin.c_str();
    WzDaemonOptions o;
    std::ostringstream out, err;
    if (ParseDaemonOptions(5, argv, "/opt/wz/bin", o, out, err) != kDaemonRun) return err.str();
    std::ostringstream d;
    d << o.configFile << '|' << o.storeFile << '|' << o.stateDir << '|' << o.driverDir << '|' << o.serviceLib << '|'
      << o.socketPath << '|' << o.listen << '|' << o.logLevel << '|' << o.logFile << '|' << o.autoStart << '|'
      << o.onDemand << '|' << o.token << '|' << o.allowedGroup << '|' << o.maxFrameBytes << '|' << o.idleTimeoutSecs
      << '|' << o.maxConnections << '|' << o.maxTcpConnections << '|' << o.maxUnauthenticated << '|'
      << o.helloTimeoutSecs << '|' << o.maxRequestsPerConnection << '|' << o.maxRequestsInFlight << '|'
      << o.maxRequestBytesInFlight << '|' << o.maxUnsentBytes << '|' << o.refusalLogSecs << '|' << o.startTimeoutSecs
      << '|' << o.readyFd;
    dump = d.str();
    return "";
  }

 private:
  CRnTempDirForTest m_dir;
};

// Whether value, given for the daemon's key, leaves the options as its default does.
std::string DaemonDefaultDiffers(DaemonParse& parse, const std::string& key, const std::string& value) {
  // The command line's state directory wins over the file's.
  if (key == "StateDir") return value == WzDaemonOptions().stateDir ? "" : "the default is /var/lib/wzscsi";
  std::string base, given;
  std::string e = parse.Options("", base);
  if (e.empty()) e = parse.Options("[wzscsid]\n" + key + "=" + value + "\n", given);
  if (!e.empty()) return e;
  return base == given ? "" : "not the default";
}

std::string ServiceDefaultDiffers(const WzScsiSrvSettingDef& def, const std::string& value) {
  WzScsiSrvSettings s;
  if (CRnError e = def.Apply(s, value)) return e.AsString();
  return def.Show(s) == def.Show(WzScsiSrvSettings()) ? "" : "the default is \"" + def.Show(WzScsiSrvSettings()) + "\"";
}

TEST(SettingsDocs, TheShippedFileAndTheDocsListEveryKeyWithItsDefault) {
  std::vector<std::string> problems;
  BySection conf = ConfKeys(problems);
  BySection docs = DocKeys(problems);
  DaemonParse daemon;

  // The code's keys.
  std::map<std::string, const WzScsiSrvSettingDef*> service;
  for (const WzScsiSrvSettingDef& def : WzScsiSrvSettingsTable()) service[def.key] = &def;
  std::map<std::string, const char*> daemonKeys;  // key -> option
  for (const WzDaemonSettingKey& k : WzDaemonSettingKeys()) daemonKeys[k.key] = k.option;
  ASSERT_EQ(service.size(), WzScsiSrvSettingsTable().size());
  ASSERT_EQ(daemonKeys.size(), WzDaemonSettingKeys().size());

  const struct {
    const char* name;
    BySection& keys;
  } sources[] = {{"packaging/wzscsi.conf", conf}, {"docs/operations.md", docs}};
  for (const auto& source : sources) {
    for (const auto& def : service)
      if (source.keys[kService].count(def.first) == 0)
        problems.push_back(std::string(source.name) + ": [Quellport] " + def.first + " is missing (" +
                           def.second->Values() + ", default \"" + def.second->Show(WzScsiSrvSettings()) +
                           "\": " + def.second->doc + ")");
    for (const auto& key : daemonKeys)
      if (source.keys[kDaemon].count(key.first) == 0)
        problems.push_back(std::string(source.name) + ": [wzscsid] " + key.first + " is missing");
  }

  for (const auto& source : sources) {
    for (const auto& entry : source.keys[kService]) {
      const Mention& m = entry.second;
      auto def = service.find(entry.first);
      if (def == service.end()) {
        problems.push_back(m.where + ": [Quellport] " + entry.first + " is no setting of the service");
        continue;
      }
      std::string stated;
      if (m.cells.count("default") != 0 && kInstalledDefaults.count(entry.first) == 0) {
        const std::string d = ServiceDefaultDiffers(*def->second, m.cells.at("default"));
        if (!d.empty()) problems.push_back(m.where + ": " + entry.first + "=" + m.cells.at("default") + ": " + d);
      }
      if (m.cells.count("value") != 0 && m.cells.count("default") == 0) {
        WzScsiSrvSettings s;
        if (CRnError e = def->second->Apply(s, m.cells.at("value")))
          problems.push_back(m.where + ": " + entry.first + " holds a value the service refuses: " + e.AsString());
      }
      if (m.cells.count("Default") != 0 && StatedDefault(m.cells.at("Default"), stated) &&
          kInstalledDefaults.count(entry.first) == 0) {
        const std::string d = ServiceDefaultDiffers(*def->second, stated);
        if (!d.empty()) problems.push_back(m.where + ": " + entry.first + " default " + stated + ": " + d);
      }
      if (source.name == std::string("docs/operations.md") &&
          (m.cells.count("Values") == 0 || Unquoted(m.cells.at("Values")) != def->second->Values()))
        problems.push_back(m.where + ": " + entry.first + " must list its values as \"" + def->second->Values() + "\"");
    }
    for (const auto& entry : source.keys[kDaemon]) {
      const Mention& m = entry.second;
      auto key = daemonKeys.find(entry.first);
      if (key == daemonKeys.end()) {
        problems.push_back(m.where + ": [wzscsid] " + entry.first + " is no setting of the daemon");
        continue;
      }
      std::string stated;
      const bool fileDefault = m.cells.count("default") != 0;
      const bool docDefault = m.cells.count("Default") != 0 && StatedDefault(m.cells.at("Default"), stated);
      if (fileDefault) stated = m.cells.at("default");
      if ((fileDefault || docDefault) && kInstalledDefaults.count(entry.first) == 0) {
        const std::string d = DaemonDefaultDiffers(daemon, entry.first, stated);
        if (!d.empty()) problems.push_back(m.where + ": " + entry.first + " default " + stated + ": " + d);
      }
      if (key->second != nullptr && m.cells.count("Option") != 0 &&
          m.cells.at("Option").find(key->second) == std::string::npos)
        problems.push_back(m.where + ": " + entry.first + " is option " + key->second);
    }
  }

  // The drivers' sections: the docs and the file name the same keys.
  for (const auto& section : docs) {
    if (section.first == kService || section.first == kDaemon) continue;
    std::set<std::string> inDocs, inFile;
    for (const auto& k : section.second) inDocs.insert(k.first);
    for (const auto& k : conf[section.first]) inFile.insert(k.first);
    if (inDocs != inFile) problems.push_back("[" + section.first + "]: the docs and the file name different keys");
  }

  // The file as shipped is one the daemon and the service start with.
  {
    std::string dump;
    const std::string e = daemon.Options(Read("packaging/wzscsi.conf"), dump);
    if (!e.empty()) problems.push_back("packaging/wzscsi.conf: the daemon refuses it: " + e);
  }
  for (const std::string& p : problems) ADD_FAILURE() << p;
}

}  // namespace
