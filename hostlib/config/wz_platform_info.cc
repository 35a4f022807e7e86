#include "hostlib/config/WZPlatformInfo.h"

#include <limits.h>
#include <unistd.h>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>

#include "hostlib/util/FXString.h"
#include "hostlib/util/RnFiles.h"
#include "hostlib/util/wz_mutex.h"

#define CFG_HERE FX_HERE_IN("WzLib")

namespace {

namespace pt = boost::property_tree;

constexpr size_t kMaxConfigFileSize = 16 * 1024 * 1024;
constexpr const char* kDefaultStateDirectory = "/var/lib/wzscsi";

struct Settings {
  WzMutex lock;
  std::string configFile WZ_GUARDED_BY(lock);
  std::string adminConfigFile WZ_GUARDED_BY(lock);
  std::string stateDirectory WZ_GUARDED_BY(lock) = kDefaultStateDirectory;
  // Serialises the read-modify-write cycles of the file (it guards the
  // file, which the analysis cannot name).
  WzMutex writeLock;
};

Settings& GetSettings() {
  static Settings settings;
  return settings;
}

// Reads the whole store; a missing file is an empty store.
CRnError ReadStore(const std::string& path, pt::ptree& tree) {
  tree.clear();
  if (path.empty()) return CRnError();
  CRnFile file;
  if (CRnError err = file.Open(path, 0, 0x100)) {
    if (err.GetCode() == HRESULT_FROM_ERRNO(ENOENT)) return CRnError();
    return err.Push(CFG_HERE, "Failed to read configuration file [%s]", path.c_str());
  }
  std::string text;
  if (CRnError err = file.ReadAll(text, kMaxConfigFileSize))
    return err.Push(CFG_HERE, "Failed to read configuration file [%s]", path.c_str());
  try {
    std::istringstream in(text);
    pt::ini_parser::read_ini(in, tree);
  } catch (const pt::ini_parser_error& e) {
    return FXErrorUtil::ErrorWin32(CFG_HERE, ERROR_INVALID_PARAMETER,
                                   "Configuration file [%s] is malformed: %s (line %lu)", path.c_str(),
                                   e.message().c_str(), e.line());
  } catch (const std::exception& e) {
    return FXErrorUtil::ErrorWin32(CFG_HERE, ERROR_INVALID_PARAMETER, "Configuration file [%s] is malformed: %s",
                                   path.c_str(), e.what());
  }
  return CRnError();
}

// Direct look-ups by name: ptree paths would split names at '.'.
const pt::ptree* FindSection(const pt::ptree& tree, const std::string& section) {
  auto it = tree.find(section);
  return it == tree.not_found() ? nullptr : &it->second;
}

CRnError LookUp(const std::string& section, const std::string& key, std::string& value) {
  for (const std::string& path : {WZPlatformInfo::GetAdminConfigFile(), WZPlatformInfo::GetConfigFile()}) {
    pt::ptree tree;
    if (CRnError err = ReadStore(path, tree)) return err;
    const pt::ptree* sec = FindSection(tree, section);
    if (sec != nullptr) {
      auto it = sec->find(key);
      if (it != sec->not_found()) {
        value = it->second.data();
        return CRnError();
      }
    }
  }
  return FXErrorUtil::ErrorWin32(CFG_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Configuration key [%s] %s is not set",
                                 section.c_str(), key.c_str());
}

bool HasLineBreakOrNul(const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

}  // namespace

void WZPlatformInfo::SetConfigFile(const std::string& path) {
  Settings& s = GetSettings();
  WzMutexLock guard(&s.lock);
  s.configFile = path;
}

std::string WZPlatformInfo::GetConfigFile() {
  Settings& s = GetSettings();
  WzMutexLock guard(&s.lock);
  return s.configFile;
}

void WZPlatformInfo::SetAdminConfigFile(const std::string& path) {
  Settings& s = GetSettings();
  WzMutexLock guard(&s.lock);
  s.adminConfigFile = path;
}

std::string WZPlatformInfo::GetAdminConfigFile() {
  Settings& s = GetSettings();
  WzMutexLock guard(&s.lock);
  return s.adminConfigFile;
}

CRnError WZPlatformInfo::setString(const std::string& section, const std::string& key, const char* value,
                                   size_t length) {
  if (value == nullptr && length > 0)
    return FXErrorUtil::ErrorWin32(CFG_HERE, ERROR_INVALID_PARAMETER, "Null value for [%s] %s", section.c_str(),
                                   key.c_str());
  // A C string's terminator counted in the length is not part of the value.
  std::string text = value != nullptr ? std::string(value, strnlen(value, length)) : std::string();
  // What the INI form cannot hold is refused rather than written into a file
  // that would then read back differently (or not at all).
  if (section.empty() || key.empty() || section.find(']') != std::string::npos ||
      key.find_first_of("=[") != std::string::npos || key[0] == ';' || key[0] == '#' || HasLineBreakOrNul(section) ||
      HasLineBreakOrNul(key) || HasLineBreakOrNul(text))
    return FXErrorUtil::ErrorWin32(CFG_HERE, ERROR_INVALID_PARAMETER,
                                   "Cannot store [%s] %s: the name or value does not fit an INI file", section.c_str(),
                                   key.c_str());

  std::string path = GetConfigFile();
  if (path.empty()) return FXErrorUtil::ErrorWin32(CFG_HERE, ERROR_INVALID_PARAMETER, "No configuration file is set");

  WzMutexLock writeGuard(&GetSettings().writeLock);
  pt::ptree tree;
  if (CRnError err = ReadStore(path, tree))
    return err.Push(CFG_HERE, "Not writing [%s] %s", section.c_str(), key.c_str());

  std::string content;
  try {
    auto sec = tree.find(section);
    pt::ptree* sectionTree;
    if (sec == tree.not_found()) {
      sectionTree = &tree.push_back(pt::ptree::value_type(section, pt::ptree()))->second;
    } else {
      sectionTree = &sec->second;
    }
    auto it = sectionTree->find(key);
    if (it == sectionTree->not_found()) {
      sectionTree->push_back(pt::ptree::value_type(key, pt::ptree(text)));
    } else {
      it->second.put_value(text);
    }
    std::ostringstream out;
    pt::ini_parser::write_ini(out, tree);
    content = out.str();
  } catch (const std::exception& e) {
    return FXErrorUtil::ErrorWin32(CFG_HERE, ERROR_INVALID_PARAMETER, "Failed to store [%s] %s in [%s]: %s",
                                   section.c_str(), key.c_str(), path.c_str(), e.what());
  }

  // Keep the permissions an administrator gave the file.
  mode_t mode = 0644;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;

  CRnAtomicFile file;
  CRnError err = file.Open(path, mode);
  if (!err) err = file.File().Write(content.data(), content.size());
  if (!err) err = file.Commit();
  if (err) return err.Push(CFG_HERE, "Failed to write configuration file [%s]", path.c_str());
  return CRnError();
}

CRnError WZPlatformInfo::getNumber(const std::string& section, const std::string& key, uint64_t& out) {
  std::string text;
  if (CRnError err = LookUp(section, key, text)) return err;
  uint64_t number = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  // from_chars accepts no sign and no blanks: exactly an unsigned decimal.
  auto result = std::from_chars(first, last, number, 10);
  if (text.empty() || result.ec != std::errc() || result.ptr != last)
    return FXErrorUtil::ErrorWin32(CFG_HERE, ERROR_INVALID_PARAMETER,
                                   "Configuration key [%s] %s holds [%s], not an unsigned decimal number",
                                   section.c_str(), key.c_str(), text.c_str());
  out = number;
  return CRnError();
}

CRnError WZPlatformInfo::getString(const std::string& section, const std::string& key, std::string& out) {
  return LookUp(section, key, out);
}

std::string WZPlatformInfo::getPhysicalMachine() {
  char name[HOST_NAME_MAX + 1];
  if (::gethostname(name, sizeof(name)) != 0) return "localhost";
  name[sizeof(name) - 1] = '\0';
  return name;
}

void WZPI_CommClient::SetStateDirectory(const std::string& dir) {
  Settings& s = GetSettings();
  WzMutexLock guard(&s.lock);
  s.stateDirectory = dir.empty() ? std::string(kDefaultStateDirectory) : dir;
}

std::string WZPI_CommClient::GetStateDirectory() {
  Settings& s = GetSettings();
  WzMutexLock guard(&s.lock);
  return s.stateDirectory;
}

std::string WZPI_CommClient::getJobResultsDirectory(const std::string& machineName) {
  (void)machineName;
  std::string dir = GetStateDirectory();
  (void)FXPath::Append(dir, "jobresults", 0);
  return dir;
}
