#include "hostlib/util/CCommandLineArguments.h"

namespace {

struct Token {
  std::string text;
  bool quoted;  // began with a quote: never an option, whatever it holds
};

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }
inline bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Splits on blanks. Quotes may open and close anywhere in a token; inside
// them blanks are kept and \" and \\ stand for " and \. An unterminated quote
// runs to the end of the text.
std::vector<Token> Tokenise(const char* text) {
  std::vector<Token> tokens;
  if (text == nullptr) return tokens;
  const char* p = text;
  for (;;) {
    while (IsBlank(*p)) ++p;
    if (*p == '\0') break;
    Token tok{std::string(), *p == '"'};
    bool inQuotes = false;
    for (; *p != '\0' && (inQuotes || !IsBlank(*p)); ++p) {
      if (*p == '"') {
        inQuotes = !inQuotes;
      } else if (inQuotes && *p == '\\' && (p[1] == '"' || p[1] == '\\')) {
        tok.text += p[1];
        ++p;
      } else {
        tok.text += *p;
      }
    }
    tokens.push_back(std::move(tok));
  }
  return tokens;
}

// "-" followed by a letter: "-5" is a (negative) value, not an option.
bool IsOption(const Token& tok) {
  return !tok.quoted && tok.text.size() >= 2 && tok.text[0] == '-' && IsAsciiLetter(tok.text[1]);
}

}  // namespace

CCommandLineArguments::CCommandLineArguments(const char* text) {
  std::vector<Token> tokens = Tokenise(text);
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (!IsOption(tokens[i])) continue;  // a stray value
    std::string name = tokens[i].text.substr(1);
    std::string value;
    if (i + 1 < tokens.size() && !IsOption(tokens[i + 1])) value = tokens[++i].text;
    m_options.emplace_back(std::move(name), std::move(value));
  }
}

CRnError CCommandLineArguments::GetOption(const std::string& name, std::string& value) const {
  for (auto it = m_options.rbegin(); it != m_options.rend(); ++it) {
    if (it->first == name) {
      value = it->second;
      return CRnError();
    }
  }
  return FXErrorUtil::ErrorWin32(FX_HERE_IN("RnUtils"), ERROR_BAD_ARGUMENTS, "Option -%s is not set", name.c_str());
}

bool CCommandLineArguments::HasOption(const std::string& name) const {
  for (const auto& option : m_options)
    if (option.first == name) return true;
  return false;
}

std::string CCommandLineArguments::Quote(const std::string& value) {
  bool quote = value.empty() || value[0] == '-';
  for (char c : value)
    if (c == ' ' || c == '\t' || c == '"' || c == '\\') quote = true;
  if (!quote) return value;
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}
