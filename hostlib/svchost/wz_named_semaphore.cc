#include "hostlib/svchost/WzNamedSemaphore.h"

#include <fcntl.h>
#include <semaphore.h>
#include <time.h>

#include <cerrno>
#include <cstring>

namespace {

std::string ErrnoText(int err) {
  char buf[256];
  return std::string(strerror_r(err, buf, sizeof(buf)));
}

[[noreturn]] void ThrowErrno(const char* what, const std::string& name, int err) {
  throw WzException(std::string(what) + "(" + name + "): " + ErrnoText(err));
}

sem_t* AsSem(void* p) { return static_cast<sem_t*>(p); }

}  // namespace

WzNamedSemaphore::WzNamedSemaphore(const std::string& name, unsigned initialValue, bool* created, bool exclusive)
    : m_name(NormaliseName(name)) {
  if (created != nullptr) *created = false;
  // Creating exclusively first tells whether this call made it; when it
  // already exists it is opened as is (and may vanish in between: retry).
  for (int attempt = 0; attempt < 10; ++attempt) {
    sem_t* sem = sem_open(m_name.c_str(), O_CREAT | O_EXCL, 0600, initialValue);
    if (sem != SEM_FAILED) {
      m_sem = sem;
      if (created != nullptr) *created = true;
      return;
    }
    int err = errno;
    if (err != EEXIST || exclusive) ThrowErrno("sem_open", m_name, err);
    sem = sem_open(m_name.c_str(), 0);
    if (sem != SEM_FAILED) {
      m_sem = sem;
      return;
    }
    err = errno;
    if (err != ENOENT) ThrowErrno("sem_open", m_name, err);
  }
  ThrowErrno("sem_open", m_name, EAGAIN);
}

WzNamedSemaphore::~WzNamedSemaphore() { close(); }

void WzNamedSemaphore::release(unsigned count) {
  if (m_sem == nullptr) throw WzException("sem_post(" + m_name + "): semaphore is closed");
  for (unsigned i = 0; i < count; ++i)
    if (sem_post(AsSem(m_sem)) != 0) ThrowErrno("sem_post", m_name, errno);
}

bool WzNamedSemaphore::wait(int timeoutMs) {
  if (m_sem == nullptr) throw WzException("sem_wait(" + m_name + "): semaphore is closed");
  if (timeoutMs < 0) {
    while (sem_wait(AsSem(m_sem)) != 0)
      if (errno != EINTR) ThrowErrno("sem_wait", m_name, errno);
    return true;
  }
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += timeoutMs / 1000;
  deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  for (;;) {
    if (sem_timedwait(AsSem(m_sem), &deadline) == 0) return true;
    if (errno == ETIMEDOUT) return false;
    if (errno != EINTR) ThrowErrno("sem_timedwait", m_name, errno);
  }
}

int WzNamedSemaphore::value() const {
  if (m_sem == nullptr) throw WzException("sem_getvalue(" + m_name + "): semaphore is closed");
  int v = 0;
  if (sem_getvalue(AsSem(m_sem), &v) != 0) ThrowErrno("sem_getvalue", m_name, errno);
  return v;
}

void WzNamedSemaphore::close() {
  if (m_sem != nullptr) {
    sem_close(AsSem(m_sem));
    m_sem = nullptr;
  }
}

void WzNamedSemaphore::unlink(const std::string& name) {
  std::string normal = NormaliseName(name);
  // Removing a semaphore that is already gone is what the caller wanted.
  if (sem_unlink(normal.c_str()) != 0 && errno != ENOENT) ThrowErrno("sem_unlink", normal, errno);
}

std::string WzNamedSemaphore::NormaliseName(const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  return "/" + name;
}
