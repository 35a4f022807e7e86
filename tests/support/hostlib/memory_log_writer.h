// A log writer that keeps every record in memory, so that a test can check
// what was logged. Built only into the test-support library, never into the
// shipped host libraries.
//
// Thread safety: every operation may be called from any thread at once.
#pragma once

#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

#include "hostlib/log/LogWriter.h"

class CMemoryLogWriter : public CLogWriterInterface {
 public:
  struct Record {
    int level;
    std::string function;
    int line;
    std::string text;
  };
  explicit CMemoryLogWriter(int level = 6) : m_level(level) {}
  int GetLevel() const override;
  void SetLevel(int level) override;
  void VWrite(int level, const char* function, int line, const char* fmt, va_list args) override;

  std::vector<Record> Records() const;
  std::vector<std::string> Texts(int level) const;  // texts of records of exactly that level
  // Number of records whose text contains `needle` (any level).
  size_t Count(const std::string& needle) const;
  bool Contains(const std::string& needle) const { return Count(needle) > 0; }
  void Clear();

 private:
  mutable std::mutex m_lock;
  int m_level;
  std::vector<Record> m_records;
};
