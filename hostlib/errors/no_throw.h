// The edge where exceptions stop: runs a function that returns a CRnError
// and turns whatever it throws into an error value, so nothing escapes a
// thread body, a replay or a library boundary.
//
// Thread safety: as the function it runs.
#pragma once

#include <exception>

#include "hostlib/errors/CRnError.h"

template <class Function>
CRnError WzNoThrow(const FXCodeLocation& where, const char* what, Function&& function) {
  try {
    return function();
  } catch (const std::exception& ex) {
    return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "%s stopped by exception: %s", what,
                                   ex.what());
  } catch (...) {
    return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "%s stopped by an unknown exception", what);
  }
}
