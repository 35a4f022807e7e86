// The edge of every driver entry point: a library exception (a failed
// allocation, a throwing standard container) becomes an error value instead
// of crossing into the service.
#pragma once

#include <exception>

#include "hostlib/errors/CRnError.h"

namespace wzplugin {

template <typename Body>
CRnError Guarded(const FXCodeLocation& where, const char* operation, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "%s failed: %s", operation, e.what());
  } catch (...) {
    return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "%s failed: unknown exception", operation);
  }
}

}  // namespace wzplugin
