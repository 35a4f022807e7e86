// Request context flags of LUN requests, and the thread-specific environment
// variables that tell the backing stores and the platform driver about them.
//
// A CreateLun whose context flags hold OpenOnly re-opens a closed DevSnap
// LUN; a DeleteLun whose flags hold CloseOnly closes one without deleting it,
// and one whose flags hold RemoveImage removes an RBD LUN's image with it.
// While a LunReqFlagHandler lives, the variable "<flag name>_<thread id>"
// (OpenOnly_140234..., the id as std::this_thread::get_id() prints it) holds
// "1"; the drivers run on the same thread and read it with getenv. After the
// handler it holds the empty value (the variable stays defined).
//
// The variables are set with setenv, which copies name and value into the
// environment, so nothing in the environment points into storage of a
// thread that may end.
//
// Thread safety: each object belongs to the thread that made it (its
// variable name carries that thread's id). The environment is process-wide
// and setenv is not safe against a concurrent getenv: every write here and
// every read by a driver goes through hostlib/util/wz_environment.h.
#pragma once

#include <cstdint>
#include <string>

// Bits of RequestContext.flags.
enum LunReqCtxFlags : int64_t {
  CloseOnly = 1,
  OpenOnly = 2,
  // A DeleteLun of an RBD LUN that removes its image too.
  RemoveImage = 4,
};

// Names of the flags, which are also the variables' name prefixes.
class LunReqCtxFlagHelper {
 public:
  // The name of exactly this value ("CloseOnly", "OpenOnly"); "" for any
  // other value, combinations such as 3 included.
  std::string FlagToStr(int64_t flag) const;
};

// The calling thread's id as text, taken when the object is built.
class CtxFlagEnvHelper {
 public:
  CtxFlagEnvHelper();
  // name + "_" + thread id.
  std::string GetThrSpecificEnvVarName(const std::string& name) const;
  const std::string& ThreadIdText() const { return m_sThreadId; }

 private:
  std::string m_sThreadId;
};

// Sets and resets the thread-specific variables.
class CtxFlagEnvSetter : public CtxFlagEnvHelper {
 public:
  // True when the variable now holds value.
  bool SetEnv(const std::string& name, const std::string& value) const;
  // Sets the variable to the empty value; true on success.
  bool ResetEnv(const std::string& name) const;

 private:
  bool SetEnvCopy(const std::string& varName, const std::string& value) const;
};

// Scoped export of one flag's variable: set to "1" at construction when the
// request's flags hold the flag (or when forced), reset to "" at
// destruction. A flag without a name, or a failing setenv, leaves the
// handler unset; the request then goes on without the variable.
class LunReqFlagHandler {
 public:
  LunReqFlagHandler(int64_t flag, int64_t requestFlags, bool force);
  ~LunReqFlagHandler();
  LunReqFlagHandler(const LunReqFlagHandler&) = delete;
  LunReqFlagHandler& operator=(const LunReqFlagHandler&) = delete;

  // Whether the variable was exported (and is "1" now).
  bool isSet() const { return m_bSet; }
  // Whether flags hold the OpenOnly bit.
  static bool isLunOpenOnlyFlagSet(int64_t flags) { return (flags & OpenOnly) != 0; }

 private:
  bool m_bSet = false;
  LunReqCtxFlagHelper m_helper;
  CtxFlagEnvSetter m_setter;
  std::string m_sName;
};
