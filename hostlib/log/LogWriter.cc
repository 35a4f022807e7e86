#include "hostlib/log/LogWriter.h"

#include <spdlog/details/os.h>
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
// They only decide flushing; the words in a line are ours (WzLogLevelWord).
spdlog::level::level_enum ToSpd(int level) {
  if (level < 0) return spdlog::level::err;
  if (level == 0) return spdlog::level::info;
  if (level <= 2) return spdlog::level::debug;
  return spdlog::level::trace;
}

bool IsIdentifierChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

void EraseAll(std::string& s, const std::string& what) {
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at)) s.erase(at, what.size());
}

// Where the keyword "operator" starts in s at or after from, as a whole word.
size_t FindOperatorKeyword(const std::string& s, size_t from) {
  static const std::string kKeyword = "operator";
  for (size_t at = s.find(kKeyword, from); at != std::string::npos; at = s.find(kKeyword, at + 1)) {
    const size_t after = at + kKeyword.size();
    if ((at == 0 || !IsIdentifierChar(s[at - 1])) && (after >= s.size() || !IsIdentifierChar(s[after]))) return at;
  }
  return std::string::npos;
}

class CSpdLogWriter : public CLogWriterInterface {
 public:
  CSpdLogWriter(std::shared_ptr<spdlog::logger> logger, int level) : m_logger(std::move(logger)), m_level(level) {
    m_logger->set_level(spdlog::level::trace);  // our own level decides
    // UTC, so that lines of machines in different zones (and a log that
    // spans a change of daylight saving time) sort and compare as written.
    m_logger->set_pattern("%Y-%m-%dT%H:%M:%S.%eZ %v", spdlog::pattern_time_type::utc);
    m_logger->flush_on(spdlog::level::err);
  }
  ~CSpdLogWriter() override { m_logger->flush(); }
  int GetLevel() const override { return m_level.load(std::memory_order_relaxed); }
  void SetLevel(int level) override { m_level.store(level, std::memory_order_relaxed); }
  void VWrite(int level, const char* function, int line, const char* fmt, va_list args) override {
    std::string text = WzLogLevelWord(level);
    text += ' ';
    if (GetLevel() >= kWzLogDetailLevel) {
      text += '[';
      text += std::to_string(spdlog::details::os::thread_id());
      text += "] ";
      text += WzLogShortFunction(function);
      text += ':';
      text += std::to_string(line);
      text += ' ';
    }
    text += FXErrorUtil::VFormat(fmt, args);
    m_logger->log(ToSpd(level), spdlog::string_view_t(text));
    if (level <= 0) m_logger->flush();
  }

 private:
  std::shared_ptr<spdlog::logger> m_logger;
  std::atomic<int> m_level;
};

}  // namespace

const char* WzLogLevelWord(int level) {
  if (level < 0) return "ERROR";
  if (level == 0) return "NOTICE";
  if (level == 1) return "INFO";
  if (level < 6) return "DEBUG";
  return "TRACE";
}

std::string WzLogShortFunction(const char* signature) {
  if (signature == nullptr) return "";
  const std::string whole = signature;
  std::string s = whole;
  const size_t with = s.find(" [with ");  // GCC's template bindings
  if (with != std::string::npos) s.erase(with);
  // File-local functions are told apart by their names and lines already.
  EraseAll(s, "{anonymous}::");
  EraseAll(s, "(anonymous namespace)::");

  // The name ends where the parameter list opens: the first '(' outside
  // template arguments, or after an operator's own symbol.
  size_t end = std::string::npos;
  size_t scanBackFrom = std::string::npos;
  int angles = 0;
  const size_t op = FindOperatorKeyword(s, 0);
  for (size_t i = 0; i < s.size(); ++i) {
    if (i == op) {
      size_t j = i + 8;
      if (s.compare(j, 2, "()") == 0) j += 2;
      while (j < s.size() && s[j] != '(') ++j;
      end = j;
      scanBackFrom = i;  // "operator bool" and "operator<<" hold blanks and brackets
      break;
    }
    const char c = s[i];
    if (c == '<') {
      ++angles;
    } else if (c == '>' && angles > 0) {
      --angles;
    } else if (c == '(' && angles == 0) {
      end = i;
      scanBackFrom = i;
      break;
    }
  }
  if (end == std::string::npos) return whole;

  // It starts after the last blank outside template arguments: the return
  // type, "virtual" and "static" stand before it.
  size_t begin = 0;
  angles = 0;
  for (size_t i = scanBackFrom; i-- > 0;) {
    const char c = s[i];
    if (c == '>') {
      ++angles;
    } else if (c == '<' && angles > 0) {
      --angles;
    } else if (c == ' ' && angles == 0) {
      begin = i + 1;
      break;
    }
  }
  std::string name = s.substr(begin, end - begin);
  while (!name.empty() && (name[0] == '*' || name[0] == '&')) name.erase(0, 1);
  return name.empty() ? whole : name;
}

std::shared_ptr<CLogWriterInterface> MakeSpdLogWriter(int level, const std::string& file, std::string* errorText) {
  try {
    std::shared_ptr<spdlog::logger> logger;
    if (file.empty()) {
      logger = std::make_shared<spdlog::logger>("wzscsi", std::make_shared<spdlog::sinks::stderr_sink_mt>());
    } else {
      logger =
          std::make_shared<spdlog::logger>("wzscsi", std::make_shared<spdlog::sinks::basic_file_sink_mt>(file, false));
    }
    return std::make_shared<CSpdLogWriter>(std::move(logger), level);
  } catch (const std::exception& e) {
    if (errorText != nullptr) *errorText = e.what();
    return nullptr;
  }
}

WZDebugFunction::WZDebugFunction(const std::shared_ptr<CLogWriterInterface>& writer, int level, const char* function,
                                 int line, int traceLevel)
    : m_writer(nullptr), m_function(function), m_line(line), m_traceLevel(traceLevel) {
  (void)level;
  if (writer && writer->GetLevel() >= traceLevel) {
    m_writer = writer.get();
    m_writer->Write(traceLevel, m_function, m_line, 0, 0, "Enter %s", WzLogShortFunction(m_function).c_str());
  }
}

// The function is named in the text too: below the detail level the line
// carries no source location, and a bare "Leave" would say nothing.
WZDebugFunction::~WZDebugFunction() {
  if (m_writer != nullptr)
    m_writer->Write(m_traceLevel, m_function, m_line, 0, 0, "Leave %s", WzLogShortFunction(m_function).c_str());
}

void EvDebug(const char* fmt, ...) {
  CLogWriterInterface* w = g_ptrLogWriter.get();
  if (w == nullptr) return;
  va_list args;
  va_start(args, fmt);
  w->VWrite(-1, "EvDebug", 0, fmt, args);
  va_end(args);
}
