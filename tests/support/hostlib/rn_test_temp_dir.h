// For tests only: a fresh directory under TMPDIR (or /tmp), removed with its
// contents when the object goes.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "hostlib/util/RnFiles.h"

class CRnTempDirForTest {
 public:
  CRnTempDirForTest() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/wzhostlib-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = buf.data();
  }
  ~CRnTempDirForTest() {
    chmod(m_path.c_str(), 0700);
    (void)CRnDirectory::Remove(m_path, true, false);
  }
  CRnTempDirForTest(const CRnTempDirForTest&) = delete;
  CRnTempDirForTest& operator=(const CRnTempDirForTest&) = delete;

  const std::string& Path() const { return m_path; }
  std::string Join(const std::string& rel) const { return m_path + "/" + rel; }

  static void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
  }
  static std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // Bare names in a directory, "." and ".." left out, sorted.
  static std::vector<std::string> List(const std::string& dir);

 private:
  std::string m_path;
};

// Puts a file-system double in place for its lifetime, so that a failing
// assertion cannot leave it in place for later tests.
class CRnFileSystemForTest {
 public:
  explicit CRnFileSystemForTest(IRnFileSystem* fs) { RnFileSystem::SetForTest(fs); }
  ~CRnFileSystemForTest() { RnFileSystem::SetForTest(nullptr); }
  CRnFileSystemForTest(const CRnFileSystemForTest&) = delete;
  CRnFileSystemForTest& operator=(const CRnFileSystemForTest&) = delete;
};

inline std::vector<std::string> CRnTempDirForTest::List(const std::string& dir) {
  std::vector<std::string> names;
  CRnDirectory d;
  if (d.Open(dir, "*", true)) return names;
  CRnDirEntry e;
  bool end = false;
  while (!d.GetEntry(e, end) && !end) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  return names;
}
