#include "hostlib/util/wz_environment.h"

#include <cstdlib>

#include "hostlib/util/wz_mutex.h"

namespace {
// Guards the process environment, which the analysis cannot name.
WzMutex g_environmentLock;
}  // namespace

namespace WzEnvironment {

std::string Get(const std::string& name) {
  WzMutexLock lock(&g_environmentLock);
  const char* value = std::getenv(name.c_str());
  return value != nullptr ? value : std::string();
}

bool Has(const std::string& name) {
  WzMutexLock lock(&g_environmentLock);
  return std::getenv(name.c_str()) != nullptr;
}

bool Set(const std::string& name, const std::string& value) {
  WzMutexLock lock(&g_environmentLock);
  return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

bool Unset(const std::string& name) {
  WzMutexLock lock(&g_environmentLock);
  return ::unsetenv(name.c_str()) == 0;
}

}  // namespace WzEnvironment
