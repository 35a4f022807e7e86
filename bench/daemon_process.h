// A child process for the end-to-end benchmark (the daemon under test, or a
// tool it runs): started with posix_spawn, its output sent to a file, ended
// with SIGTERM and, after a time-out, SIGKILL. The object owns the child: it
// is ended and reaped at destruction at the latest.
//
// Thread safety: one thread at a time per object.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"

namespace wzbench {

class ChildProcess {
 public:
  ChildProcess() = default;
  // Kills (SIGKILL) and reaps a child that still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // argv[0] is the program's path. outputFile receives stdout and stderr
  // (appended); empty: /dev/null. env: extra NAME=VALUE entries on top of
  // this process's environment.
  CRnError Start(const std::vector<std::string>& argv, const std::string& outputFile,
                 const std::vector<std::string>& env = {});
  pid_t Pid() const { return m_pid; }
  // True while the child has not exited (reaps it when it has).
  bool Running();
  // Waits for the child to exit on its own; false on time-out.
  bool Wait(int timeoutMs, int& exitStatus);
  // SIGTERM, then SIGKILL when it has not exited within timeoutMs. Fails when
  // the kill was needed or the exit status is not 0.
  CRnError Stop(int timeoutMs);
  void Kill();

 private:
  pid_t m_pid = -1;
  int m_status = 0;  // wait status once reaped
};

// Peak resident set (VmHWM) and current resident set (VmRSS) of a live
// process, in KiB, from /proc/<pid>/status.
CRnError ReadMemoryKib(pid_t pid, uint64_t& peakKib, uint64_t& currentKib);

}  // namespace wzbench
