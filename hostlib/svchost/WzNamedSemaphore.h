// A POSIX named semaphore (sem_open). Names are given without or with the
// leading "/"; it is added when missing. Failures throw WzException.
#pragma once

#include <stdexcept>
#include <string>

#include "hostlib/errors/CRnError.h"

class WZ_EXPORT WzException : public std::runtime_error {
 public:
  explicit WzException(const std::string& what) : std::runtime_error(what) {}
};

class WZ_EXPORT WzNamedSemaphore {
 public:
  // Opens the semaphore, creating it with initialValue when it does not
  // exist. created (may be null) tells whether it was created. exclusive:
  // fail when it already exists.
  WzNamedSemaphore(const std::string& name, unsigned initialValue, bool* created, bool exclusive);
  ~WzNamedSemaphore();  // closes (never unlinks)
  WzNamedSemaphore(const WzNamedSemaphore&) = delete;
  WzNamedSemaphore& operator=(const WzNamedSemaphore&) = delete;

  void release(unsigned count);
  // Waits up to timeoutMs (negative: no limit); false on time-out.
  bool wait(int timeoutMs);
  int value() const;
  void close();  // later release, wait and value throw
  // Removes the name; a name that does not exist is not an error.
  static void unlink(const std::string& name);
  static std::string NormaliseName(const std::string& name);

 private:
  void* m_sem = nullptr;  // sem_t*
  std::string m_name;
};
