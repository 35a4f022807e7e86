// WzScopedFd: owns one file descriptor (or none, -1) and closes it when it
// goes out of scope or is reset. It moves and never copies, so a descriptor
// is closed exactly once by whoever owns it last.
//
// Thread safety: none; one owner at a time.
#pragma once

#include <unistd.h>

class WzScopedFd {
 public:
  WzScopedFd() = default;
  explicit WzScopedFd(int fd) : m_fd(fd) {}
  ~WzScopedFd() { Reset(); }
  WzScopedFd(const WzScopedFd&) = delete;
  WzScopedFd& operator=(const WzScopedFd&) = delete;
  WzScopedFd(WzScopedFd&& other) noexcept : m_fd(other.Release()) {}
  WzScopedFd& operator=(WzScopedFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  int Get() const { return m_fd; }
  bool Valid() const { return m_fd >= 0; }
  // Gives the descriptor up without closing it; -1 when none is held.
  int Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  // Closes the descriptor held, if any (never retried: Linux releases it
  // even when close fails), and takes fd.
  void Reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};
