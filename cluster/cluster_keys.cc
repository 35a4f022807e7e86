#include "cluster/cluster_keys.h"

#include <cctype>
#include <cstdio>

namespace WzScsiSrvClusterKeys {
namespace {

std::string Hex(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() * 2);
  for (unsigned char c : text) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

bool Unhex(const std::string& hex, std::string& out) {
  if (hex.empty() || hex.size() % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int value = 0;
    for (size_t j = i; j < i + 2; ++j) {
      const char c = hex[j];
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    out.push_back(static_cast<char>(value));
  }
  return true;
}

std::string Number(int32_t lun) {
  char text[16];
  std::snprintf(text, sizeof text, "%010u", static_cast<unsigned>(lun));
  return text;
}

bool ParseNumber(const std::string& text, int32_t& lun) {
  if (text.size() != 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long long value = std::stoull(text);
  if (value > 0x7fffffffull) return false;
  lun = static_cast<int32_t>(value);
  return true;
}

}  // namespace

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 128) return false;
  for (unsigned char c : name)
    if (!std::isalnum(c) && c != '-' && c != '_' && c != '.') return false;
  return true;
}

std::string Prefix(const std::string& clusterName) { return "/wzscsi/" + clusterName + "/"; }
std::string TargetPrefix(const std::string& prefix, const std::string& target) {
  return prefix + "t/" + Hex(target) + "/";
}
std::string TargetKey(const std::string& prefix, const std::string& target) {
  return TargetPrefix(prefix, target) + "target";
}
std::string AuthKey(const std::string& prefix, const std::string& target) {
  return TargetPrefix(prefix, target) + "auth";
}
std::string SeqKey(const std::string& prefix, const std::string& target) {
  return TargetPrefix(prefix, target) + "seq";
}
std::string RevKey(const std::string& prefix) { return prefix + "rev"; }
std::string MarkerKey(const std::string& prefix) { return prefix + "cluster"; }
std::string ClusterIdKey(const std::string& prefix) { return prefix + "cluster-id"; }
std::string LunKey(const std::string& prefix, const std::string& target, int32_t lun) {
  return TargetPrefix(prefix, target) + "lun/" + Number(lun);
}
std::string LunMapsPrefix(const std::string& prefix, const std::string& target, int32_t lun) {
  return TargetPrefix(prefix, target) + "map/" + Number(lun) + "/";
}
std::string MapKey(const std::string& prefix, const std::string& target, int32_t lun, const std::string& host) {
  return LunMapsPrefix(prefix, target, lun) + Hex(host);
}

Parsed Parse(const std::string& prefix, const std::string& key) {
  Parsed out;
  if (key.compare(0, prefix.size() + 2, prefix + "t/") != 0) return out;
  const std::string rest = key.substr(prefix.size() + 2);
  const size_t slash = rest.find('/');
  if (slash == std::string::npos || !Unhex(rest.substr(0, slash), out.target)) return Parsed();
  const std::string tail = rest.substr(slash + 1);
  if (tail == "target") {
    out.kind = Parsed::TARGET;
  } else if (tail == "auth") {
    out.kind = Parsed::AUTH;
  } else if (tail == "seq") {
    out.kind = Parsed::SEQ;
  } else if (tail.compare(0, 4, "lun/") == 0 && ParseNumber(tail.substr(4), out.lun)) {
    out.kind = Parsed::LUN;
  } else if (tail.compare(0, 4, "map/") == 0 && tail.size() > 15 && tail[14] == '/' &&
             ParseNumber(tail.substr(4, 10), out.lun) && Unhex(tail.substr(15), out.host)) {
    out.kind = Parsed::MAP;
  } else {
    return Parsed();
  }
  return out;
}

}  // namespace WzScsiSrvClusterKeys
