#include "tests/support/hostlib/memory_log_writer.h"

#include "hostlib/errors/CRnError.h"

int CMemoryLogWriter::GetLevel() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_level;
}

void CMemoryLogWriter::SetLevel(int level) {
  std::lock_guard<std::mutex> g(m_lock);
  m_level = level;
}

void CMemoryLogWriter::VWrite(int level, const char* function, int line, const char* fmt, va_list args) {
  std::string text = FXErrorUtil::VFormat(fmt, args);
  std::lock_guard<std::mutex> g(m_lock);
  m_records.push_back(Record{level, function != nullptr ? function : "", line, std::move(text)});
}

std::vector<CMemoryLogWriter::Record> CMemoryLogWriter::Records() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_records;
}

std::vector<std::string> CMemoryLogWriter::Texts(int level) const {
  std::lock_guard<std::mutex> g(m_lock);
  std::vector<std::string> out;
  for (const Record& r : m_records)
    if (r.level == level) out.push_back(r.text);
  return out;
}

size_t CMemoryLogWriter::Count(const std::string& needle) const {
  std::lock_guard<std::mutex> g(m_lock);
  size_t n = 0;
  for (const Record& r : m_records)
    if (r.text.find(needle) != std::string::npos) ++n;
  return n;
}

void CMemoryLogWriter::Clear() {
  std::lock_guard<std::mutex> g(m_lock);
  m_records.clear();
}
