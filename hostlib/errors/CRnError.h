// CRnError: the one error value that crosses every library boundary of the
// system (host, service, drivers). Success is a null pointer and costs one
// word; a failure carries a code, a text, the texts pushed by the callers it
// passed through, and the stack of code locations it was pushed through.
//
// Thread safety: a CRnError is a value; distinct objects may be used from
// distinct threads without synchronisation, a shared one only for reading.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#define WZ_EXPORT [[gnu::visibility("default")]]
#define WZ_PRINTF(fmt_idx, arg_idx) __attribute__((format(printf, fmt_idx, arg_idx)))

// Win32-style codes the service uses.
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BAD_ARGUMENTS 160L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_NOT_FOUND_OR_NOT_ALLOWED 774L
#define ERROR_INVALID_MESSAGE_CLASS 1627L

// Same arithmetic as the Windows macro: facility 7 (Win32), severity bit set;
// zero and negative values pass through unchanged.
constexpr uint32_t HRESULT_FROM_WIN32(long code) {
  return code <= 0 ? static_cast<uint32_t>(code)
                   : ((static_cast<uint32_t>(code) & 0x0000FFFFu) | (7u << 16) | 0x80000000u);
}

// Errors made from errno values use their own facility (0x0B0) so that they
// never compare equal to a Win32 code.
constexpr uint32_t HRESULT_FROM_ERRNO(int err) {
  return err <= 0 ? static_cast<uint32_t>(err)
                  : ((static_cast<uint32_t>(err) & 0x0000FFFFu) | (0xB0u << 16) | 0x80000000u);
}

// Where an error was made or passed through: a file (the service uses the
// name "WzScsiSrv" for all of its own locations), the function's full
// signature and a line. `function` must point to storage of static duration
// (__PRETTY_FUNCTION__ does).
struct WZ_EXPORT FXCodeLocation {
  const char* file;
  const char* function;
  int line;

  constexpr FXCodeLocation(const char* f, const char* fn, int l) : file(f), function(fn), line(l) {}
  std::string AsString() const;  // "file:function:line"
};

// "Here", as the service's own code location.
#define FX_HERE FXCodeLocation("WzScsiSrv", __PRETTY_FUNCTION__, __LINE__)
// "Here" in another library (host libraries, drivers, tools).
#define FX_HERE_IN(fileName) FXCodeLocation((fileName), __PRETTY_FUNCTION__, __LINE__)

class [[nodiscard]] WZ_EXPORT CRnError {
 public:
  CRnError() noexcept = default;  // success
  CRnError(const FXCodeLocation& where, uint32_t code, std::string text);
  CRnError(const CRnError& other);
  CRnError& operator=(const CRnError& other);
  CRnError(CRnError&&) noexcept = default;
  CRnError& operator=(CRnError&&) noexcept = default;
  ~CRnError() = default;

  bool IsSuccess() const noexcept { return !m_rep; }
  bool IsError() const noexcept { return static_cast<bool>(m_rep); }
  // 0 for success.
  uint32_t GetCode() const noexcept;
  // The text the error was made with ("" for success).
  const std::string& GetText() const noexcept;
  // The texts pushed on top of the original text, innermost first.
  const std::vector<std::string>& GetMessages() const noexcept;
  const std::vector<FXCodeLocation>& GetStack() const noexcept;

  // Push a caller's location, and optionally a printf-style text, onto the
  // error. Pushing onto success is a no-op (the result stays success).
  CRnError& Push(const FXCodeLocation& where);
  CRnError& Push(const FXCodeLocation& where, const char* fmt, ...) WZ_PRINTF(3, 4);

  // Readable rendering for log lines and replies: the pushed texts from the
  // outermost to the innermost, then the original text, joined with ": ";
  // a text that an outer text already quotes whole is left out. "" for
  // success.
  std::string AsString() const;
  // The code locations, innermost first, one per line (for debug logging).
  std::string StackAsString() const;

  // Allows `if (CRnError err = Foo()) { handle error }`.
  explicit operator bool() const noexcept { return IsError(); }

 private:
  struct Rep {
    uint32_t code;
    std::string text;
    std::vector<std::string> messages;
    std::vector<FXCodeLocation> stack;
  };
  std::unique_ptr<Rep> m_rep;
};

namespace FXErrorUtil {
// Code = HRESULT_FROM_WIN32(win32Code).
WZ_EXPORT CRnError ErrorWin32(const FXCodeLocation& where, long win32Code, const char* fmt, ...) WZ_PRINTF(3, 4);
// Code = HRESULT_FROM_ERRNO(err).
WZ_EXPORT CRnError ErrorErrNo(const FXCodeLocation& where, int err, const char* fmt, ...) WZ_PRINTF(3, 4);
// Code = the integer as given.
WZ_EXPORT CRnError ErrorInt(const FXCodeLocation& where, int code, const char* fmt, ...) WZ_PRINTF(3, 4);
// printf-style formatting helper shared by the error makers.
WZ_EXPORT std::string VFormat(const char* fmt, va_list args);
}  // namespace FXErrorUtil
