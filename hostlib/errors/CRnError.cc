#include "hostlib/errors/CRnError.h"

#include <cstdio>

std::string FXCodeLocation::AsString() const {
  std::string s = file != nullptr ? file : "?";
  s += ':';
  s += function != nullptr ? function : "?";
  s += ':';
  s += std::to_string(line);
  return s;
}

CRnError::CRnError(const FXCodeLocation& where, uint32_t code, std::string text)
    : m_rep(new Rep{code, std::move(text), {}, {where}}) {}

CRnError::CRnError(const CRnError& other) : m_rep(other.m_rep ? new Rep(*other.m_rep) : nullptr) {}

CRnError& CRnError::operator=(const CRnError& other) {
  if (this != &other) m_rep.reset(other.m_rep ? new Rep(*other.m_rep) : nullptr);
  return *this;
}

uint32_t CRnError::GetCode() const noexcept { return m_rep ? m_rep->code : 0; }

const std::string& CRnError::GetText() const noexcept {
  static const std::string empty;
  return m_rep ? m_rep->text : empty;
}

const std::vector<std::string>& CRnError::GetMessages() const noexcept {
  static const std::vector<std::string> empty;
  return m_rep ? m_rep->messages : empty;
}

const std::vector<FXCodeLocation>& CRnError::GetStack() const noexcept {
  static const std::vector<FXCodeLocation> empty;
  return m_rep ? m_rep->stack : empty;
}

CRnError& CRnError::Push(const FXCodeLocation& where) {
  if (m_rep) m_rep->stack.push_back(where);
  return *this;
}

CRnError& CRnError::Push(const FXCodeLocation& where, const char* fmt, ...) {
  if (!m_rep) return *this;
  m_rep->stack.push_back(where);
  if (fmt != nullptr) {
    va_list args;
    va_start(args, fmt);
    std::string text = FXErrorUtil::VFormat(fmt, args);
    va_end(args);
    if (!text.empty()) m_rep->messages.push_back(std::move(text));
  }
  return *this;
}

std::string CRnError::AsString() const {
  if (!m_rep) return std::string();
  // Outermost first; an inner text already quoted by the text just outside
  // it is not repeated.
  std::vector<const std::string*> parts;
  for (auto it = m_rep->messages.rbegin(); it != m_rep->messages.rend(); ++it) parts.push_back(&*it);
  parts.push_back(&m_rep->text);
  std::string out;
  const std::string* outer = nullptr;
  for (const std::string* p : parts) {
    if (p->empty()) continue;
    if (outer != nullptr && outer->find(*p) != std::string::npos) continue;
    if (!out.empty()) out += ": ";
    out += *p;
    outer = p;
  }
  return out;
}

std::string CRnError::StackAsString() const {
  std::string out;
  if (!m_rep) return out;
  for (const FXCodeLocation& loc : m_rep->stack) {
    out += loc.AsString();
    out += '\n';
  }
  return out;
}

namespace FXErrorUtil {

// The format comes from the callers, which are themselves checked as
// printf-style functions.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
std::string VFormat(const char* fmt, va_list args) {
  if (fmt == nullptr) return std::string();
  char small[256];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof(small), fmt, copy);
  va_end(copy);
  if (n < 0) return std::string(fmt);
  if (static_cast<size_t>(n) < sizeof(small)) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(&out[0], out.size(), fmt, args);
  out.resize(static_cast<size_t>(n));
  return out;
}
#pragma GCC diagnostic pop

#define WZ_MAKE_ERROR(code_expr)         \
  va_list args;                          \
  va_start(args, fmt);                   \
  std::string text = VFormat(fmt, args); \
  va_end(args);                          \
  return CRnError(where, (code_expr), std::move(text))

CRnError ErrorWin32(const FXCodeLocation& where, long win32Code, const char* fmt, ...) {
  WZ_MAKE_ERROR(HRESULT_FROM_WIN32(win32Code));
}

CRnError ErrorErrNo(const FXCodeLocation& where, int err, const char* fmt, ...) {
  WZ_MAKE_ERROR(HRESULT_FROM_ERRNO(err));
}

CRnError ErrorInt(const FXCodeLocation& where, int code, const char* fmt, ...) {
  WZ_MAKE_ERROR(static_cast<uint32_t>(code));
}

}  // namespace FXErrorUtil
