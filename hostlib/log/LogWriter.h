// The process-wide, level-based log writer. Every library writes through
// g_ptrLogWriter, so one writer (and one file) serves the host, the service
// and the drivers.
//
// Levels: -1 errors (always written), 0 configuration facts and notices,
// 1 progress of operations, 2 received messages, 6 detail (whole XML texts,
// entry traces). A record of level N is written when the writer's level is at
// least N. Callers test the level before building costly arguments; the
// WZLOG macro does that.
//
// Thread safety: Write and GetLevel may be called from any thread at once.
// g_ptrLogWriter itself is set by the host (or a test) before other threads
// start and is not changed while they run.
#pragma once

#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"

class WZ_EXPORT CLogWriterInterface {
 public:
  virtual ~CLogWriterInterface();
  virtual int GetLevel() const = 0;
  virtual void SetLevel(int level) = 0;
  // (level, function signature, line, 0, 0, format, arguments)
  void Write(int level, const char* function, int line, int reserved1, int reserved2, const char* fmt, ...)
      WZ_PRINTF(7, 8);
  virtual void VWrite(int level, const char* function, int line, const char* fmt, va_list args) = 0;
  bool IsEnabled(int level) const { return level < 0 || GetLevel() >= level; }
};

WZ_EXPORT extern std::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

// Writes to stderr (file empty) or appends to a file, through spdlog. Lines
// are for the operator first:
//   2026-12-07T23:29:42.123Z NOTICE <text>
// with the time in UTC (milliseconds) and the record's level as a word:
// ERROR (-1), NOTICE (0), INFO (1), DEBUG (2 to 5), TRACE (6). While the
// writer's level is kWzLogDetailLevel or more, the thread id and the short
// source location come before the text, for whoever reads the code with it:
//   2026-12-07T23:29:42.123Z DEBUG [4711] WzScsiSrv::CreateTarget:87 <text>
WZ_EXPORT std::shared_ptr<CLogWriterInterface> MakeSpdLogWriter(int level, const std::string& file,
                                                                std::string* errorText = nullptr);

// From this writer level on, lines carry the thread id and the source
// location; below it (notices and the per-request lines) they do not.
constexpr int kWzLogDetailLevel = 2;

// The level word of a record level, as the lines show it ("ERROR", ...).
WZ_EXPORT const char* WzLogLevelWord(int level);

// A function's qualified name without its return type, parameters,
// qualifiers, template bindings and anonymous namespace, from a compiler's
// __PRETTY_FUNCTION__: "CRnError WzScsiSrv::Collect(std::vector<...>&)" gives
// "WzScsiSrv::Collect"; a lambda gives the function that holds it. Text it
// cannot take apart comes back whole.
WZ_EXPORT std::string WzLogShortFunction(const char* signature);

// Writes when the global writer exists and is enabled for the level; the
// arguments are not evaluated otherwise.
#define WZLOG(level, ...)                                                          \
  do {                                                                             \
    CLogWriterInterface* wzlog_w__ = g_ptrLogWriter.get();                         \
    if (wzlog_w__ != nullptr && wzlog_w__->IsEnabled(level))                       \
      wzlog_w__->Write((level), __PRETTY_FUNCTION__, __LINE__, 0, 0, __VA_ARGS__); \
  } while (0)

// True when the global writer would write a record of this level.
inline bool WzLogEnabled(int level) {
  CLogWriterInterface* w = g_ptrLogWriter.get();
  return w != nullptr && w->IsEnabled(level);
}

// Entry-trace scope: when the writer's level is at least traceLevel, writes
// "Enter <function>" at construction and "Leave <function>" at destruction
// at that level (the short name, WzLogShortFunction).
class WZ_EXPORT WZDebugFunction {
 public:
  WZDebugFunction(const std::shared_ptr<CLogWriterInterface>& writer, int level, const char* function, int line,
                  int traceLevel);
  ~WZDebugFunction();
  WZDebugFunction(const WZDebugFunction&) = delete;
  WZDebugFunction& operator=(const WZDebugFunction&) = delete;

 private:
  CLogWriterInterface* m_writer;  // null when tracing is off for this scope
  const char* m_function;
  int m_line;
  int m_traceLevel;
};

#define WZ_TRACE_SCOPE(traceLevel) \
  WZDebugFunction wz_trace_scope__(g_ptrLogWriter, 2, __PRETTY_FUNCTION__, __LINE__, (traceLevel))

// The host's debug log: an error-level record through g_ptrLogWriter.
WZ_EXPORT void EvDebug(const char* fmt, ...) WZ_PRINTF(1, 2);
