// CCommandLineArguments: reads option strings such as
//   " -ti iqn.a -path /p -sp AB12 -usesnapinfocache  -playback "
//
// Rules:
// - tokens are separated by blanks (spaces or tabs); a value may be written in
//   double quotes to hold blanks ("-path \"/a b\""), with \" and \\ escapes;
// - a token "-name" starts an option; the next token is its value unless it is
//   itself an option ("-" followed by a letter) or there is none, in which
//   case the option is a value-less flag (its value is "");
// - a token that is not an option and follows a flag or a value is ignored;
// - option names are compared exactly (case-sensitive);
// - when an option is repeated, the last occurrence wins (the service appends
//   options such as the creation time to strings that may already hold one).
//
// Thread safety: a parsed object is immutable.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "hostlib/errors/CRnError.h"

class WZ_EXPORT CCommandLineArguments {
 public:
  explicit CCommandLineArguments(const char* text);
  // Success with the value, or an error (Win32 code 160) when absent; value
  // is untouched on failure.
  CRnError GetOption(const std::string& name, std::string& value) const;
  bool HasOption(const std::string& name) const;
  const std::vector<std::pair<std::string, std::string>>& Options() const { return m_options; }
  // A value written so that this parser reads it back whole: in quotes when
  // it is empty, starts with '-' or holds a blank, a quote or a backslash.
  static std::string Quote(const std::string& value);

 private:
  std::vector<std::pair<std::string, std::string>> m_options;  // in order of appearance
};
