#include "actionlog/action_log_layout.h"

#include <cstdio>

#include "hostlib/util/FXString.h"
#include "hostlib/util/RnFiles.h"
#include "hostlib/util/WzScsiUtils.h"

namespace WzScsiSrvActionLog {

namespace {

const char* const kTargetsDir = "Targets";
const char* const kLunsDir = "Luns";
const char* const kMappingsDir = "Mappings";
const char* const kExt = ".wzf";
constexpr size_t kExtLen = 4;

std::string Join(const std::string& dir, const std::string& name) {
  std::string path = dir;
  CRnError ignored = FXPath::Append(path, name, 0);
  (void)ignored;
  return path;
}

std::string NameId(const std::string& name) {
  std::string id;
  CRnError ignored = GetGUID(name.data(), static_cast<int>(name.size()), id);
  (void)ignored;
  return id;
}

std::string Numbered(int32_t lunId) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d", lunId);
  return buf;
}

// "0007" -> 7: decimal digits only, within int32_t.
bool ParseNumber(const std::string& digits, int32_t& value) {
  if (digits.empty() || digits.size() > 10) return false;
  int64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > INT32_MAX) return false;
  value = static_cast<int32_t>(v);
  return true;
}

// The name without its ".wzf"; false when it is not a saved request's name.
bool StemOf(const std::string& name, std::string& stem) {
  if (!IsSavedRequestName(name)) return false;
  stem = name.substr(0, name.size() - kExtLen);
  return true;
}

}  // namespace

std::string TargetsDir(const std::string& root) { return Join(root, kTargetsDir); }

std::string GetTargetGUID(const std::string& name) { return NameId(name); }

std::string TargetDirName(const std::string& targetId) { return GetTargetGUID(targetId); }

std::string TargetDir(const std::string& root, const std::string& targetId) {
  return Join(TargetsDir(root), TargetDirName(targetId));
}

std::string TargetFile(const std::string& targetDir) { return Join(targetDir, CRnPath::GetBaseName(targetDir) + kExt); }

std::string ClusterMarkerFile(const std::string& root) { return Join(root, "Cluster.marker"); }

std::string AuthFile(const std::string& targetDir) { return Join(targetDir, std::string("Auth") + kExt); }

std::string LunsDir(const std::string& targetDir) { return Join(targetDir, kLunsDir); }

std::string MappingsDir(const std::string& targetDir) { return Join(targetDir, kMappingsDir); }

std::string LunFileName(int32_t lunId) { return Numbered(lunId) + kExt; }

std::string LunFile(const std::string& targetDir, int32_t lunId) {
  return Join(LunsDir(targetDir), LunFileName(lunId));
}

std::string MappingFileName(const std::string& hostId, int32_t lunId) {
  return NameId(hostId) + "_" + Numbered(lunId) + kExt;
}

std::string MappingFile(const std::string& targetDir, const std::string& hostId, int32_t lunId) {
  return Join(MappingsDir(targetDir), MappingFileName(hostId, lunId));
}

bool IsSavedRequestName(const std::string& name) {
  return name.size() > kExtLen && !IsTemporaryName(name) &&
         FXString::CompareNoCase(name.substr(name.size() - kExtLen), kExt) == 0;
}

bool IsTemporaryName(const std::string& name) { return FXFile::IsTempName(name); }

bool ParseLunFileName(const std::string& name, int32_t& lunId) {
  std::string stem;
  return StemOf(name, stem) && ParseNumber(stem, lunId);
}

bool ParseMappingFileName(const std::string& name, std::string& hostDirId, int32_t& lunId) {
  std::string stem;
  if (!StemOf(name, stem)) return false;
  const size_t sep = stem.rfind('_');
  if (sep == std::string::npos || sep == 0) return false;
  int32_t number = 0;
  if (!ParseNumber(stem.substr(sep + 1), number)) return false;
  hostDirId = stem.substr(0, sep);
  lunId = number;
  return true;
}

}  // namespace WzScsiSrvActionLog
