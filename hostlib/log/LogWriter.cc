#include "hostlib/log/LogWriter.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <atomic>

std::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

CLogWriterInterface::~CLogWriterInterface() = default;

void CLogWriterInterface::Write(int level, const char* function, int line, int, int, const char* fmt, ...) {
  if (!IsEnabled(level)) return;
  va_list args;
  va_start(args, fmt);
  VWrite(level, function, line, fmt, args);
  va_end(args);
}

namespace {

// spdlog levels for ours: -1 error, 0 info (notices), 1..2 debug, 3+ trace.
spdlog::level::level_enum ToSpd(int level) {
  if (level < 0) return spdlog::level::err;
  if (level == 0) return spdlog::level::info;
  if (level <= 2) return spdlog::level::debug;
  return spdlog::level::trace;
}

class CSpdLogWriter : public CLogWriterInterface {
 public:
  CSpdLogWriter(std::shared_ptr<spdlog::logger> logger, int level) : m_logger(std::move(logger)), m_level(level) {
    m_logger->set_level(spdlog::level::trace);  // our own level decides
    m_logger->set_pattern("%Y-%m-%dT%H:%M:%S.%e %^%l%$ [%t] %v");
    m_logger->flush_on(spdlog::level::err);
  }
  ~CSpdLogWriter() override { m_logger->flush(); }
  int GetLevel() const override { return m_level.load(std::memory_order_relaxed); }
  void SetLevel(int level) override { m_level.store(level, std::memory_order_relaxed); }
  void VWrite(int level, const char* function, int line, const char* fmt, va_list args) override {
    std::string text = FXErrorUtil::VFormat(fmt, args);
    m_logger->log(ToSpd(level), "{}:{} {}", function != nullptr ? function : "", line, text);
    if (level <= 0) m_logger->flush();
  }

 private:
  std::shared_ptr<spdlog::logger> m_logger;
  std::atomic<int> m_level;
};

}  // namespace

std::shared_ptr<CLogWriterInterface> MakeSpdLogWriter(int level, const std::string& file, std::string* errorText) {
  try {
    std::shared_ptr<spdlog::logger> logger;
    if (file.empty()) {
      logger = std::make_shared<spdlog::logger>("wzscsi", std::make_shared<spdlog::sinks::stderr_sink_mt>());
    } else {
      logger = std::make_shared<spdlog::logger>("wzscsi",
                                                std::make_shared<spdlog::sinks::basic_file_sink_mt>(file, false));
    }
    return std::make_shared<CSpdLogWriter>(std::move(logger), level);
  } catch (const std::exception& e) {
    if (errorText != nullptr) *errorText = e.what();
    return nullptr;
  }
}

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

WZDebugFunction::WZDebugFunction(const std::shared_ptr<CLogWriterInterface>& writer, int level,
                                 const char* function, int line, int traceLevel)
    : m_writer(nullptr), m_function(function), m_line(line), m_traceLevel(traceLevel) {
  (void)level;
  if (writer && writer->GetLevel() >= traceLevel) {
    m_writer = writer.get();
    m_writer->Write(traceLevel, m_function, m_line, 0, 0, "Enter");
  }
}

WZDebugFunction::~WZDebugFunction() {
  if (m_writer != nullptr) m_writer->Write(m_traceLevel, m_function, m_line, 0, 0, "Leave");
}

void EvDebug(const char* fmt, ...) {
  CLogWriterInterface* w = g_ptrLogWriter.get();
  if (w == nullptr) return;
  va_list args;
  va_start(args, fmt);
  w->VWrite(-1, "EvDebug", 0, fmt, args);
  va_end(args);
}
