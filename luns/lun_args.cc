#include "luns/lun_args.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "hostlib/log/LogWriter.h"

namespace {

constexpr size_t kMaxSerialPrefixLen = 16;

bool IsAsciiAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// ISO 8601 in UTC, as the listings show times, on the log record's own
// line; made with the reentrant call because several workers log at once.
std::string UtcTimeText(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm broken;
  char buf[64];
  if (gmtime_r(&t, &broken) == nullptr || strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &broken) == 0)
    return std::to_string(seconds) + " (not representable)";
  return buf;
}

// Leading blanks skipped, digits up to the first other character. False,
// with the reason, when there is no digit or the value exceeds 64 bits.
bool ParseUnsigned64(const std::string& text, uint64_t& value, std::string& why) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i == text.size() || text[i] < '0' || text[i] > '9') {
    why = "no digits in '" + text + "'";
    return false;
  }
  uint64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (v > (UINT64_MAX - digit) / 10) {
      why = "value out of range '" + text + "'";
      return false;
    }
    v = v * 10 + digit;
  }
  value = v;
  return true;
}

}  // namespace

CRnError ProcessCreateLunArgs(const std::string& args, WzScsiSrvLun& lun) {
  CCommandLineArguments parsed(args.c_str());
  std::string target, path, prefix;
  if (CRnError e = parsed.GetOption("ti", target)) return e.Push(FX_HERE, "targetid is not set");
  if (parsed.GetOption("path", path).IsError() || path.empty()) {
    path.clear();
    std::string ssid;
    if (CRnError e = parsed.GetOption("ssid", ssid)) return e.Push(FX_HERE, "BStor path/ssid is not set");
  }
  if (CRnError e = parsed.GetOption("sp", prefix)) return e.Push(FX_HERE, "Lun serial prefix is not set");
  if (prefix.size() > kMaxSerialPrefixLen)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                   "Lun serial number prefix len exceeding the max length allowed, SerialPrefix=%s, "
                                   "LenAllowed=%d",
                                   prefix.c_str(), static_cast<int>(kMaxSerialPrefixLen));
  for (char c : prefix) {
    if (!IsAsciiAlnum(c))
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                     "Lun serial number prefix should be alpha-numeric, SerialPrefix=%s",
                                     prefix.c_str());
  }
  // Only a fully valid argument string changes the record.
  lun.targetId = target;
  lun.serialPrefix = prefix;
  lun.path = path;
  ReadLunCreationTime(parsed, lun);
  return CRnError();
}

void ReadLunCreationTime(const CCommandLineArguments& args, WzScsiSrvLun& lun) {
  // A new LUN keeps the time its record was built with.
  if (lun.lunId == -1) return;
  std::string value;
  if (args.GetOption(kLunCreationTimeArg, value).IsError()) {
    lun.creationTime = static_cast<int64_t>(::time(nullptr));
    WZLOG(-1, "LUN creation time is not set for lun [%s:%d]. Setting it to current time [%s]", lun.targetId.c_str(),
          lun.lunId, UtcTimeText(lun.creationTime).c_str());
    return;
  }
  uint64_t seconds = 0;
  std::string why;
  if (!ParseUnsigned64(value, seconds, why)) {
    lun.creationTime = static_cast<int64_t>(::time(nullptr));
    WZLOG(-1,
          "Exception [%s] while parsing creation time for lun [%s:%d]. Resetting creation time to current time [%s]",
          why.c_str(), lun.targetId.c_str(), lun.lunId, UtcTimeText(lun.creationTime).c_str());
    return;
  }
  lun.creationTime = static_cast<int64_t>(seconds);
  if (WzLogEnabled(1))
    WZLOG(1, "Lun [%s:%d] creation time: [%s]", lun.targetId.c_str(), lun.lunId, UtcTimeText(lun.creationTime).c_str());
}

void SetLunCreationTime(WzScsiServer::BStoreDesc& desc, uint64_t time) {
  SetBstorProperty(desc, kLunCreationTimeArg, std::to_string(time));
}

void SetBstorProperty(WzScsiServer::BStoreDesc& desc, const std::string& name, const std::string& value) {
  desc.setArgs(desc.args() + " -" + name + " " + value);
}

CRnError GetLunId(const std::string& args, int32_t& lunId) {
  CCommandLineArguments parsed(args.c_str());
  std::string value;
  if (CRnError e = parsed.GetOption("li", value)) return e.Push(FX_HERE, "No LUN id specified");
  // Leading blanks and a sign are accepted; parsing stops at the first non-digit.
  const char* begin = value.c_str();
  char* end = nullptr;
  errno = 0;
  long long number = strtoll(begin, &end, 10);
  if (end == begin || errno == ERANGE || number < INT32_MIN || number > INT32_MAX)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Incorrect LUN id specified.");
  lunId = static_cast<int32_t>(number);
  return CRnError();
}
