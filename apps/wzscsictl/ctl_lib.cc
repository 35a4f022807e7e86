#include "apps/wzscsictl/ctl_lib.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "apps/wzscsictl/wwid.h"
#include "hostlib/net/client.h"
#include "hostlib/util/CCommandLineArguments.h"
#include "messages/WzScsiServerMessages.h"
#include "messages/WzScsiServerRequests.h"

namespace WzCtl {
namespace {

using namespace WzScsiServer;

bool EqualsNoCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    if (x != b[i]) return false;
  }
  return i == a.size() && b[i] == '\0';
}

// Strict decimal: optional sign, digits only, no overflow.
bool ParseInt64(const std::string& text, int64_t& out) {
  if (text.empty()) return false;
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(begin, &end, 10);
  if (errno == ERANGE || end == begin || *end != '\0') return false;
  out = static_cast<int64_t>(v);
  return true;
}

bool ParseUint64(const std::string& text, uint64_t& out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(begin, &end, 10);
  if (errno == ERANGE || *end != '\0') return false;
  out = static_cast<uint64_t>(v);
  return true;
}

// The Error record of a reply of any class: where the catalogue puts it, or
// else the first sub-object of class Error.
const CNMessageBase* FindErrorRecord(const CNMessageBase& reply) {
  if (const auto* typed = dynamic_cast<const Reply*>(&reply)) return typed->error();
  for (int slot : {Fields::kError.slot, Fields::kRspLunError.slot}) {
    const CNMessageBase* sub = reply.getObject(slot);
    if (sub != nullptr && sub->getTagID() == kError.tagId) return sub;
  }
  return nullptr;
}

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one.
size_t Utf8SequenceLength(const std::string& s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t len;
  uint32_t cp;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    unsigned char cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
  return len;
}

// Whether the valid sequence of len bytes at s[i] is a C1 control (U+0080
// to U+009F).
bool IsC1Control(const std::string& s, size_t i, size_t len) {
  return len == 2 && static_cast<unsigned char>(s[i]) == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
}

}  // namespace

CRnError ParseLunType(const std::string& text, int64_t& type) {
  static const struct {
    const char* name;
    int64_t type;
  } kNames[] = {{"kernel", BSTOR_KERNEL},
                {"blkdev", BSTOR_BLKDEV},
                {"devsnap", BSTOR_DEVSNAP},
                {"fsblb", BSTOR_FSBLB},
                {"rbd", BSTOR_RBD}};
  for (const auto& n : kNames) {
    if (EqualsNoCase(text, n.name)) {
      type = n.type;
      return CRnError();
    }
  }
  int64_t number = 0;
  if (ParseInt64(text, number)) {
    type = number;
    return CRnError();
  }
  return FXErrorUtil::ErrorWin32(FX_HERE_IN("wzscsictl"), ERROR_INVALID_PARAMETER,
                                 "unknown LUN type '%s' (kernel, blkdev, devsnap, fsblb, rbd or a number)",
                                 text.c_str());
}

CRnError ParseByteSize(const std::string& text, uint64_t& bytes) {
  size_t i = 0;
  uint64_t value = 0;
  bool fits = true;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    fits = fits && value <= (UINT64_MAX - digit) / 10;
    if (fits) value = value * 10 + digit;
  }
  int shift = 0;
  if (i < text.size()) {
    const char letter = text[i];
    const std::string rest = text.substr(i + 1);
    shift = (letter == 'K' || letter == 'k')   ? 10
            : (letter == 'M' || letter == 'm') ? 20
            : (letter == 'G' || letter == 'g') ? 30
            : (letter == 'T' || letter == 't') ? 40
                                               : -1;
    if (!rest.empty() && !EqualsNoCase(rest, "b") && !EqualsNoCase(rest, "ib")) shift = -1;
  }
  if (i == 0 || !fits || shift < 0 || (shift > 0 && value > (UINT64_MAX >> shift)))
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("wzscsictl"), ERROR_INVALID_PARAMETER,
                                   "'%s' is not a size (bytes, or a number with K, M, G or T: 10G)", text.c_str());
  bytes = value << shift;
  return CRnError();
}

std::string AbsolutePathIn(const std::string& dir, const std::string& path) {
  if (path.empty() || path[0] == '/' || path[0] == ' ') return path;
  std::string rest = path;
  while (rest.compare(0, 2, "./") == 0) rest.erase(0, rest.find_first_not_of('/', 1));
  if (rest == ".") rest.clear();
  if (dir.empty() || dir.back() == '/') return dir + rest;
  return rest.empty() ? dir : dir + "/" + rest;
}

std::string BuildLunArgs(const LunCreateArgs& cfg) {
  // The service lower-cases the request's target name but hands "-ti" to the
  // drivers as it is, so it must already be the stored (lower-case) name.
  std::string target = cfg.target;
  for (char& c : target)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  std::string args = " -ti " + CCommandLineArguments::Quote(target);
  if (!cfg.path.empty())
    args += " -path " + CCommandLineArguments::Quote(cfg.path);
  else
    args += " -ssid " + CCommandLineArguments::Quote(cfg.ssid);
  args += " -sp " + CCommandLineArguments::Quote(cfg.serial);
  if (cfg.hasSize) args += " -size " + std::to_string(cfg.size);
  if (cfg.existing) args += " -existing 1";
  if (!cfg.rawArgs.empty()) args += " " + cfg.rawArgs;
  return args;
}

std::unique_ptr<CNMessageBase> MakeStart(int64_t flags) { return NewStartScsiService(flags); }

std::unique_ptr<CNMessageBase> MakeCreateTarget(const std::string& name, const std::string& desc, int64_t flags) {
  return NewCreateTarget(name, desc, flags);
}

std::unique_ptr<CNMessageBase> MakeDeleteTarget(const std::string& name, int64_t flags) {
  return NewDeleteTarget(name, flags);
}

std::unique_ptr<CNMessageBase> MakeSetTargetAuth(const std::string& target, const std::string& user,
                                                 const std::string& secret, const std::string& mutualUser,
                                                 const std::string& mutualSecret, int64_t flags) {
  return NewSetTargetAuth(target, user, secret, mutualUser, mutualSecret, flags);
}

CRnError ReadSecretFile(const std::string& path, std::string& secret) {
  secret.clear();
  FILE* in = path == "-" ? stdin : std::fopen(path.c_str(), "r");
  if (in == nullptr)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("wzscsictl"), ERROR_INVALID_PARAMETER,
                                   "cannot read the secret file %s: %s", path.c_str(), std::strerror(errno));
  char buffer[256];
  size_t got = std::fread(buffer, 1, sizeof buffer, in);
  const bool more = got == sizeof buffer;
  if (in != stdin) std::fclose(in);
  if (more)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("wzscsictl"), ERROR_INVALID_PARAMETER,
                                   "the secret file %s is too long for a CHAP secret", path.c_str());
  secret.assign(buffer, got);
  if (!secret.empty() && secret.back() == '\n') secret.pop_back();
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  if (secret.empty())
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("wzscsictl"), ERROR_INVALID_PARAMETER, "the secret file %s is empty",
                                   path.c_str());
  return CRnError();
}

std::unique_ptr<CNMessageBase> MakeCreateLun(const LunCreateArgs& cfg, int64_t flags) {
  return NewCreateLun(cfg.target, cfg.type, BuildLunArgs(cfg), flags);
}

std::unique_ptr<CNMessageBase> MakeDeleteLun(const std::string& target, int64_t lun, bool closeOnly, int64_t flags) {
  return NewDeleteLun(target, lun, closeOnly ? (flags | kFlagCloseOnly) : flags);
}

std::unique_ptr<CNMessageBase> MakeResizeLun(const std::string& target, int64_t lun, uint64_t bytes, int64_t flags) {
  return NewResizeLun(target, lun, static_cast<int64_t>(bytes), flags);
}

std::unique_ptr<CNMessageBase> MakeOpenLun(const std::string& target, int64_t lun, int64_t flags) {
  // The type is not read by an open; the number travels in "-li".
  auto r = NewCreateLun(target, 0, " -li " + std::to_string(lun), flags | kFlagOpenOnly);
  r->removeField(Fields::kBStorType.slot);
  return r;
}

std::unique_ptr<CNMessageBase> MakeMapHost(const std::string& target, int64_t lun, const std::string& host,
                                           int64_t flags) {
  return NewMapLun2Host(target, lun, host, flags);
}

std::unique_ptr<CNMessageBase> MakeUnmapHost(const std::string& target, int64_t lun, const std::string& host,
                                             int64_t flags) {
  return NewUnMapLun2Host(target, lun, host, flags);
}

std::unique_ptr<CNMessageBase> MakeIoctl(const std::string& command, const std::string& arguments, int64_t flags) {
  return NewIoctl(command, arguments, flags);
}

std::unique_ptr<CNMessageBase> MakeListTargets(int64_t flags) { return MakeIoctl("lt", "", flags); }

std::unique_ptr<CNMessageBase> MakeListLuns(const std::string& target, const std::string& host, int64_t flags) {
  std::string args;
  if (!target.empty()) args += " -ti " + CCommandLineArguments::Quote(target);
  if (!host.empty()) args += " -hi " + CCommandLineArguments::Quote(host);
  return MakeIoctl("ll", args, flags);
}

std::unique_ptr<CNMessageBase> MakeReload(int64_t flags) { return MakeIoctl("rc", "", flags); }

std::unique_ptr<CNMessageBase> MakeStatus(int64_t flags) { return MakeIoctl("status", "", flags); }

std::unique_ptr<CNMessageBase> MakeReconcile(bool dryRun, int64_t flags) {
  return MakeIoctl("reconcile", dryRun ? "-dry-run" : "", flags);
}

std::unique_ptr<CNMessageBase> MakeClusterImport(int64_t flags) { return MakeIoctl("clusterimport", "", flags); }

ReplyView ViewReply(const CNMessageBase& reply) {
  ReplyView view;
  view.replyClass = reply.getTagName();
  if (const CNMessageBase* record = FindErrorRecord(reply)) {
    view.hasError = true;
    view.errorCode = record->getint64(Fields::kErrorCode.slot, kError.tagId, Fields::kErrorCode.key);
    const std::string text = record->getstring(Fields::kErrorMessage.number, Fields::kErrorMessage.slot, kError.tagId,
                                               Fields::kErrorMessage.key);
    size_t end = text.find('\n');
    view.errorMessage = text.substr(0, end);
    while (end != std::string::npos) {
      const size_t start = end + 1;
      end = text.find('\n', start);
      const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
      for (auto field : {std::make_pair("object: ", &view.errorObject), std::make_pair("meaning: ", &view.errorMeaning),
                         std::make_pair("next: ", &view.errorNext)})
        if (line.compare(0, strlen(field.first), field.first) == 0) *field.second = line.substr(strlen(field.first));
    }
  }
  if (reply.getTagID() == kCreateLunRsp.tagId) {
    view.hasLunId = reply.fieldType(Fields::kRspLunId.slot) == CNFIELD_INT64;
    view.lunId = reply.getint64(Fields::kRspLunId.slot, kCreateLunRsp.tagId, Fields::kRspLunId.key);
    view.hasSerialPrefix = reply.fieldType(Fields::kRspSerialPrefix.slot) == CNFIELD_STRING;
    view.serialPrefix = reply.getstring(Fields::kRspSerialPrefix.number, Fields::kRspSerialPrefix.slot,
                                        kCreateLunRsp.tagId, Fields::kRspSerialPrefix.key);
  }
  if (reply.getTagID() == kIoctlRsp.tagId && reply.fieldType(Fields::kResults.slot) == CNFIELD_LIST) {
    view.hasResults = true;
    view.results = reply.getliststring(Fields::kResults.slot, kIoctlRsp.tagId, Fields::kResults.key);
  }
  return view;
}

std::string FormatFailure(const ReplyView& view) {
  std::string out = "wzscsictl: " + view.errorMessage + " (";
  if (!view.errorObject.empty()) out += view.errorObject + "; ";
  out += "error " + std::to_string(view.errorCode) + ", " +
         (view.errorMeaning.empty() ? std::string(WzScsiServer::ResultCodeText(view.errorCode)) : view.errorMeaning) +
         ")\n";
  if (!view.errorNext.empty()) out += "  next: " + view.errorNext + "\n";
  return out;
}

std::string ClientErrorJson(const std::string& error, const std::string& next, int exitCode) {
  std::string out = "{\"error\":" + JsonString(error);
  if (!next.empty()) out += ",\"next\":" + JsonString(next);
  return out + ",\"exitCode\":" + std::to_string(exitCode) + "}";
}

int ExitCodeFor(const ReplyView& view) { return !view.hasError || view.errorCode == 0 ? kExitOk : kExitFailed; }

bool ParseLunTuple(const std::string& line, LunTuple& out) {
  // Neither a target name nor a host id holds "#": exactly three separate
  // the four fields, and a line with more is no listing line.
  const size_t first = line.find('#');
  if (first == std::string::npos || first == 0) return false;
  const size_t second = line.find('#', first + 1);
  if (second == std::string::npos) return false;
  const size_t third = line.find('#', second + 1);
  if (third == std::string::npos || line.find('#', third + 1) != std::string::npos) return false;
  LunTuple t;
  t.target = line.substr(0, first);
  t.host = line.substr(first + 1, second - first - 1);
  if (t.host.empty()) return false;
  if (!ParseInt64(line.substr(second + 1, third - second - 1), t.lun)) return false;
  if (!ParseUint64(line.substr(third + 1), t.creationTime)) return false;
  out = t;
  return true;
}

std::string IsoUtc(uint64_t secondsSinceEpoch) {
  time_t t = static_cast<time_t>(secondsSinceEpoch);
  struct tm broken;
  char buf[64];
  if (static_cast<uint64_t>(t) != secondsSinceEpoch || gmtime_r(&t, &broken) == nullptr ||
      strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &broken) == 0)
    return std::to_string(secondsSinceEpoch);
  return buf;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c == '\n') {
      out += "\\n";
      ++i;
    } else if (c == '\t') {
      out += "\\t";
      ++i;
    } else if (c == '\r') {
      out += "\\r";
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\u%04x", c);
      out += buf;
      ++i;
    } else {
      size_t len = Utf8SequenceLength(text, i);
      if (len == 0) {
        out += "\\ufffd";
        ++i;
      } else if (IsC1Control(text, i, len)) {
        // A terminal may act on U+009B (CSI) as on ESC [ when the JSON is shown.
        char buf[8];
        snprintf(buf, sizeof(buf), "\\u%04x", static_cast<unsigned char>(text[i + 1]));
        out += buf;
        i += len;
      } else {
        out.append(text, i, len);
        i += len;
      }
    }
  }
  out += '"';
  return out;
}

std::string ReplyJson(const ReplyView& view, bool withLuns) {
  std::string out = "{\"reply\":" + JsonString(view.replyClass);
  out += ",\"errorCode\":" + std::to_string(view.errorCode);
  out += ",\"errorMessage\":" + JsonString(view.errorMessage);
  if (!view.errorObject.empty()) out += ",\"object\":" + JsonString(view.errorObject);
  if (!view.errorMeaning.empty()) out += ",\"meaning\":" + JsonString(view.errorMeaning);
  if (!view.errorNext.empty()) out += ",\"next\":" + JsonString(view.errorNext);
  if (view.hasLunId) out += ",\"lunId\":" + std::to_string(view.lunId);
  if (view.hasSerialPrefix) out += ",\"serialPrefix\":" + JsonString(view.serialPrefix);
  if (view.hasResults) {
    out += ",\"results\":[";
    for (size_t i = 0; i < view.results.size(); ++i) out += (i ? "," : "") + JsonString(view.results[i]);
    out += "]";
    if (withLuns) {
      out += ",\"luns\":[";
      bool first = true;
      for (const std::string& line : view.results) {
        LunTuple t;
        if (!ParseLunTuple(line, t)) continue;
        out += first ? "" : ",";
        first = false;
        out += "{\"target\":" + JsonString(t.target) + ",\"host\":" + JsonString(t.host == "-" ? "" : t.host) +
               ",\"lun\":" + std::to_string(t.lun) + ",\"creationTime\":" + std::to_string(t.creationTime) +
               ",\"created\":" + JsonString(IsoUtc(t.creationTime)) + "}";
      }
      out += "]";
    }
  }
  out += "}";
  return out;
}

namespace {

struct StatusLines {
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<std::vector<std::string>> failures;  // kind, target, LUN, host, file, reason
};

StatusLines ParseStatus(const ReplyView& view) {
  StatusLines out;
  for (const std::string& line : view.results) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key != "failure") {
      out.fields.emplace_back(key, value);
      continue;
    }
    std::vector<std::string> record;
    size_t start = 0;
    for (size_t tab = value.find('\t'); record.size() < 5 && tab != std::string::npos; tab = value.find('\t', start)) {
      record.push_back(value.substr(start, tab - start));
      start = tab + 1;
    }
    record.push_back(value.substr(start));
    record.resize(6);
    out.failures.push_back(record);
  }
  return out;
}

// "replay.startedAt", "reconcile.startedAt": seconds since 1970, shown in
// ISO 8601 as the listings show times.
bool IsTimeKey(const std::string& key) { return key.size() > 2 && key.compare(key.size() - 2, 2, "At") == 0; }

bool IsJsonNumber(const std::string& text) {
  if (text.empty() || text.size() > 18) return false;
  bool dot = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '.' && !dot && i > 0 && i + 1 < text.size()) {
      dot = true;
    } else if (text[i] < '0' || text[i] > '9') {
      return false;
    }
  }
  return text.size() == 1 || text[0] != '0' || text[1] == '.';
}

}  // namespace

std::string StatusJson(const ReplyView& view) {
  const StatusLines s = ParseStatus(view);
  std::string out = "{\"reply\":" + JsonString(view.replyClass) + ",\"errorCode\":" + std::to_string(view.errorCode) +
                    ",\"errorMessage\":" + JsonString(view.errorMessage) + ",\"status\":{";
  uint64_t seconds = 0;
  for (size_t i = 0; i < s.fields.size(); ++i) {
    const auto& field = s.fields[i];
    out += (i ? "," : "") + JsonString(field.first) + ":" +
           (IsJsonNumber(field.second) ? field.second : JsonString(field.second));
    // Beside the number, the time as the listings give it ("created").
    if (IsTimeKey(field.first) && ParseUint64(field.second, seconds))
      out += "," + JsonString(field.first.substr(0, field.first.size() - 2)) + ":" + JsonString(IsoUtc(seconds));
  }
  out += "},\"failures\":[";
  static const char* const kKeys[] = {"kind", "target", "lun", "host", "file", "reason"};
  for (size_t i = 0; i < s.failures.size(); ++i) {
    out += i ? ",{" : "{";
    for (size_t k = 0; k < 6; ++k)
      out += std::string(k ? "," : "") + "\"" + kKeys[k] +
             "\":" + (k == 2 && IsJsonNumber(s.failures[i][k]) ? s.failures[i][k] : JsonString(s.failures[i][k]));
    out += "}";
  }
  return out + "]}";
}

std::string FormatStatus(const ReplyView& view) {
  const StatusLines s = ParseStatus(view);
  std::vector<std::vector<std::string>> rows;
  for (const auto& field : s.fields) {
    std::string value = field.second;
    uint64_t seconds = 0;
    if (IsTimeKey(field.first) && ParseUint64(value, seconds)) value = IsoUtc(seconds);
    rows.push_back({field.first, value});
  }
  std::string out = FormatTable(rows);
  for (const auto& f : s.failures) {
    std::string object = f[1].empty() ? "(unreadable)" : f[1];
    if (!f[2].empty()) object += ":" + f[2];
    if (!f[3].empty()) object += " host " + f[3];
    out += "failed " + f[0] + " " + object + "\n  file: " + f[4] + "\n  why: " + f[5] + "\n";
  }
  return out;
}

std::string FormatTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows)
    for (size_t c = 0; c < row.size(); ++c) {
      if (widths.size() <= c) widths.push_back(0);
      if (row[c].size() > widths[c]) widths[c] = row[c].size();
    }
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
    }
    out += line + "\n";
  }
  return out;
}

std::unique_ptr<CNMessageBase> MakeShow(const std::string& kind, const std::string& target, int64_t lun,
                                        int64_t flags) {
  std::string args = "-kind " + kind;
  if (!target.empty()) args += " -ti " + CCommandLineArguments::Quote(target);
  if (!target.empty() && lun >= 0) args += " -li " + std::to_string(lun);
  return MakeIoctl("ls", args, flags);
}

std::string DetailRecord::Get(const std::string& key) const {
  auto it = fields.find(key);
  return it != fields.end() ? it->second : std::string();
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool PercentDecode(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

// Display columns of UTF-8 text: one per code point (the names and paths
// shown are not expected to hold double-width characters).
size_t Columns(const std::string& text) {
  size_t n = 0;
  for (char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

// The byte offset where code point number `points` begins.
size_t OffsetOfPoint(const std::string& text, size_t points) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (seen++ == points) return i;
  }
  return text.size();
}

// Control characters (C0, DEL, C1) and bytes that are not UTF-8 shown as
// "?", so that a description cannot move the cursor or forge lines on the
// terminal: U+009B is CSI to many terminals, and so is a lone byte 0x9B.
std::string Visible(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t len = c < 0x80 ? 1 : Utf8SequenceLength(text, i);
    if (len == 0 || c < 0x20 || c == 0x7F || IsC1Control(text, i, len)) {
      out += '?';
      i += len == 0 ? 1 : len;
    } else {
      out.append(text, i, len);
      i += len;
    }
  }
  return out;
}

// The text within width columns: its head and tail around "…".
std::string FitMiddle(const std::string& raw, size_t width) {
  const std::string text = Visible(raw);
  const size_t cols = Columns(text);
  if (cols <= width) return text;
  if (width == 0) return std::string();
  const size_t head = (width - 1) / 2, tail = width - 1 - head;
  return text.substr(0, OffsetOfPoint(text, head)) + "\xE2\x80\xA6" + text.substr(OffsetOfPoint(text, cols - tail));
}

// "  label    value", the value cut to what is left of the width.
std::string Row(size_t indent, const std::string& label, size_t labelWidth, const std::string& value, size_t width) {
  std::string line(indent, ' ');
  line += label;
  if (label.size() < labelWidth) line.append(labelWidth - label.size(), ' ');
  const size_t used = Columns(line);
  return line + FitMiddle(value, width > used ? width - used : 0) + "\n";
}

std::string HumanSize(const std::string& bytesText) {
  uint64_t bytes = 0;
  if (!ParseUint64(bytesText, bytes)) return "size unknown";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double v = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (v >= 1024 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    v /= 1024;
    ++unit;
  }
  char buf[32];
  snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[unit]);
  return buf;
}

std::vector<DetailRecord> Records(const ReplyView& view, const char* kind) {
  std::vector<DetailRecord> out;
  for (const std::string& line : view.results) {
    DetailRecord r;
    if (ParseDetailRecord(line, r) && r.kind == kind) out.push_back(std::move(r));
  }
  return out;
}

std::vector<std::string> SplitList(const std::string& encoded) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start < encoded.size()) {
    size_t comma = encoded.find(',', start);
    if (comma == std::string::npos) comma = encoded.size();
    std::string item;
    if (PercentDecode(encoded.substr(start, comma - start), item)) items.push_back(item);
    start = comma + 1;
  }
  return items;
}

}  // namespace

std::vector<std::string> DetailRecord::GetList(const std::string& key) const { return SplitList(Get(key)); }

bool ParseDetailRecord(const std::string& line, DetailRecord& out) {
  DetailRecord r;
  size_t start = 0;
  while (start <= line.size()) {
    size_t blank = line.find(' ', start);
    if (blank == std::string::npos) blank = line.size();
    const std::string token = line.substr(start, blank - start);
    start = blank + 1;
    if (r.kind.empty()) {
      if (token.empty() || token.find('=') != std::string::npos) return false;
      r.kind = token;
      continue;
    }
    const size_t eq = token.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    // Lists (hosts) stay encoded item by item: a decoded "," would merge two.
    std::string value = token.substr(eq + 1);
    if (token.compare(0, eq, "hosts") != 0 && !PercentDecode(token.substr(eq + 1), value)) return false;
    r.fields[token.substr(0, eq)] = value;
  }
  if (r.kind.empty() || r.fields.empty()) return false;
  out = std::move(r);
  return true;
}

std::string FormatTargetDetails(const ReplyView& view, size_t width) {
  const std::vector<DetailRecord> targets = Records(view, "target");
  if (targets.empty()) return "no targets\n";
  std::string out;
  for (const DetailRecord& t : targets) {
    if (!out.empty()) out += "\n";
    out += FitMiddle(t.Get("name"), width) + "\n";
    const std::string desc = t.Get("desc");
    out += Row(2, "description", 13, desc.empty() ? "-" : desc, width);
    std::string chap = t.Get("chap");
    if (chap == "on") {
      chap += ", user " + t.Get("chapUser");
      if (!t.Get("mutualUser").empty()) chap += ", mutual user " + t.Get("mutualUser");
    }
    out += Row(2, "CHAP", 13, chap, width);
    out += Row(2, "LUNs", 13, t.Get("luns"), width);
    const std::string restored = t.Get("restored");
    out += Row(2, "restored", 13,
               restored == "no"       ? "no: its saved configuration could not be restored (wzscsictl status)"
               : restored == "partly" ? "partly: some saved LUNs could not be restored (wzscsictl status)"
                                      : restored,
               width);
  }
  return out;
}

std::string FormatLunDetails(const ReplyView& view, size_t width) {
  const std::vector<DetailRecord> luns = Records(view, "lun");
  if (luns.empty()) return "no LUNs\n";
  std::string out, target;
  bool first = true;
  for (const DetailRecord& l : luns) {
    if (first || l.Get("target") != target) {
      if (!first) out += "\n";
      first = false;
      target = l.Get("target");
      out += FitMiddle(target, width) + "\n";
    }
    if (l.Get("restored") == "no") {
      out += FitMiddle("  LUN " + l.Get("lun") + "  NOT RESTORED: its saved configuration failed (wzscsictl status)",
                       width) +
             "\n";
      continue;
    }
    const bool closed = l.Get("closed") == "yes";
    out += FitMiddle("  LUN " + l.Get("lun") + "  " + l.Get("type") + "  " + HumanSize(l.Get("size")) + "  " +
                         (closed ? "CLOSED (lun open brings it back)" : "open"),
                     width) +
           "\n";
    const std::string path = l.Get("path");
    out += Row(4, "path", 9, path.empty() ? "-" : path, width);
    out += Row(4, "serial", 9, l.Get("serial"), width);
    // The WWID Linux and multipath group the LUN's paths by, the same on
    // every gateway: it derives from the serial, differently per engine.
    out += Row(4, "wwid", 9, WzCtl::TgtWwid(l.Get("serial")) + " (tgt)", width);
    out += Row(4, "", 9, WzCtl::LioWwid(l.Get("serial")) + " (kernel target)", width);
    const std::vector<std::string> hosts = SplitList(l.Get("hosts"));
    if (hosts.empty()) out += Row(4, "hosts", 9, "-", width);
    for (size_t i = 0; i < hosts.size(); ++i) out += Row(4, i == 0 ? "hosts" : "", 9, hosts[i], width);
    uint64_t created = 0;
    out += Row(4, "created", 9, ParseUint64(l.Get("created"), created) ? IsoUtc(created) : l.Get("created"), width);
  }
  return out;
}

std::string DetailsJson(const ReplyView& view) {
  std::string out = "{\"reply\":" + JsonString(view.replyClass) + ",\"errorCode\":" + std::to_string(view.errorCode) +
                    ",\"errorMessage\":" + JsonString(view.errorMessage) + ",\"targets\":[";
  auto number = [](const std::string& text) {
    int64_t v = 0;
    return ParseInt64(text, v) ? std::to_string(v) : std::string("null");
  };
  bool first = true;
  for (const DetailRecord& t : Records(view, "target")) {
    out += first ? "{" : ",{";
    first = false;
    out += "\"name\":" + JsonString(t.Get("name")) + ",\"description\":" + JsonString(t.Get("desc")) +
           ",\"chap\":{\"enabled\":" + (t.Get("chap") == "on" ? "true" : "false") +
           ",\"user\":" + JsonString(t.Get("chapUser")) + ",\"mutualUser\":" + JsonString(t.Get("mutualUser")) +
           "},\"luns\":" + number(t.Get("luns")) + ",\"restored\":" + JsonString(t.Get("restored")) + "}";
  }
  out += "],\"luns\":[";
  first = true;
  for (const DetailRecord& l : Records(view, "lun")) {
    out += first ? "{" : ",{";
    first = false;
    std::string hosts;
    for (const std::string& h : SplitList(l.Get("hosts"))) hosts += (hosts.empty() ? "" : ",") + JsonString(h);
    uint64_t created = 0;
    const bool hasCreated = ParseUint64(l.Get("created"), created);
    uint64_t size = 0;
    out += "\"target\":" + JsonString(l.Get("target")) + ",\"lun\":" + number(l.Get("lun")) +
           ",\"type\":" + JsonString(l.Get("type")) + ",\"path\":" + JsonString(l.Get("path")) +
           ",\"size\":" + (ParseUint64(l.Get("size"), size) ? std::to_string(size) : std::string("null")) +
           ",\"serial\":" + JsonString(l.Get("serial")) +
           ",\"wwid\":{\"tgt\":" + JsonString(WzCtl::TgtWwid(l.Get("serial"))) +
           ",\"lio\":" + JsonString(WzCtl::LioWwid(l.Get("serial"))) + "}" +
           ",\"closed\":" + (l.Get("closed") == "yes" ? "true" : "false") + ",\"hosts\":[" + hosts +
           "],\"creationTime\":" + (hasCreated ? std::to_string(created) : "null") +
           ",\"created\":" + (hasCreated ? JsonString(IsoUtc(created)) : "null") +
           ",\"restored\":" + (l.Get("restored") == "no" ? "false" : "true") + "}";
  }
  return out + "]}";
}

namespace {

// The detailed listing comes in pages: each but the last ends with "more
// after=CURSOR", and the next is asked for with "-after CURSOR". The pages'
// records are put together into the first reply; a page that fails is the
// answer.
CRnError FollowPages(CWzClient& client, const CNMessageBase& request, std::unique_ptr<CNMessageBase>& reply,
                     int timeoutMs) {
  static const std::string kMore = "more after=";
  const auto* ioctl = dynamic_cast<const WzScsiServer::Ioctl*>(&request);
  auto* first = dynamic_cast<WzScsiServer::IoctlRsp*>(reply.get());
  if (ioctl == nullptr || first == nullptr || ioctl->command() != "ls") return CRnError();
  std::vector<std::string> all = first->results();
  if (all.empty() || all.back().compare(0, kMore.size(), kMore) != 0) return CRnError();
  std::string xml;
  if (request.serialize(xml, false) != 0) return CRnError();
  std::string previous;
  while (!all.empty() && all.back().compare(0, kMore.size(), kMore) == 0) {
    const std::string cursor = all.back().substr(kMore.size());
    all.pop_back();
    // A cursor that does not move on would ask for the same page for ever.
    if (cursor == previous) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN("wzscsictl"), 13, "the listing's pages do not advance (after %s)",
                                     cursor.c_str());
    }
    previous = cursor;
    int status = 0;
    std::unique_ptr<CNMessageBase> next = CNMessageBase::ParseXml(xml.data(), xml.size(), &status);
    auto* nextIoctl = dynamic_cast<WzScsiServer::Ioctl*>(next.get());
    if (nextIoctl == nullptr) break;
    nextIoctl->setArguments(ioctl->arguments() + " -after " + CCommandLineArguments::Quote(cursor));
    std::unique_ptr<CNMessageBase> page;
    if (CRnError e = client.Call(*next, page, timeoutMs)) return e;
    auto* pageRsp = dynamic_cast<WzScsiServer::IoctlRsp*>(page.get());
    if (pageRsp == nullptr || ViewReply(*page).errorCode != 0) {
      reply = std::move(page);
      return CRnError();
    }
    std::vector<std::string> more = pageRsp->results();
    all.insert(all.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
  }
  first->setResults(std::move(all));
  return CRnError();
}

}  // namespace

CallResult CallOnce(const std::string& endpoint, const std::string& token, const CNMessageBase& request, int timeoutMs,
                    const WznClientTls& tls) {
  CallResult result;
  CWzClient client;
  client.SetTls(tls);
  if (CRnError e = client.Connect(endpoint, token, timeoutMs)) {
    result.exitCode = kExitUnreachable;
    // The innermost text is the system's reason; the outer ones repeat the
    // endpoint named here.
    result.errorText = "cannot reach wzscsid at " + endpoint + ": " + e.GetText();
    const bool unix = endpoint.find('/') != std::string::npos || endpoint.find(':') == std::string::npos;
    if (e.GetCode() == HRESULT_FROM_ERRNO(EACCES) || e.GetCode() == HRESULT_FROM_ERRNO(EPERM))
      result.nextStep =
          "run as root, or as a member of the group that AllowedGroup names in wzscsid's configuration (log in again "
          "after joining it)";
    else if (e.GetCode() == HRESULT_FROM_ERRNO(ENOENT) || e.GetCode() == HRESULT_FROM_ERRNO(ECONNREFUSED))
      result.nextStep = unix ? "is wzscsid running? start it with `systemctl start wzscsid` (or name its socket "
                               "with --socket or WZSCSI_SOCKET)"
                             : "is wzscsid running with its TCP listener on that address? start it with "
                               "`systemctl start wzscsid`";
    return result;
  }
  std::unique_ptr<CNMessageBase> reply;
  CRnError e = client.Call(request, reply, timeoutMs);
  if (e.IsSuccess() && reply) e = FollowPages(client, request, reply, timeoutMs);
  if (e.IsSuccess() && reply) {
    result.exitCode = ExitCodeFor(ViewReply(*reply));
    result.reply = std::move(reply);
    client.Close();
    return result;
  }
  if (CWzClient::IsTimeout(e)) {
    result.exitCode = kExitNoReply;
    char secs[32];
    snprintf(secs, sizeof(secs), "%g", timeoutMs / 1000.0);
    result.errorText = std::string("no reply from wzscsid within ") + secs + " s";
  } else {
    result.exitCode = kExitUnreachable;
    result.errorText = client.ServerError().empty() ? "wzscsid closed the connection: " + e.AsString()
                                                    : "wzscsid refused the request: " + client.ServerError();
  }
  client.Close();
  return result;
}

}  // namespace WzCtl
