// The WWID Linux gives a LUN of the service, as `multipath -ll` and
// /dev/disk/by-id/scsi-* show it: "3" and the NAA IEEE Registered Extended
// (type 6) designator of VPD page 0x83 in lower-case hex, which the kernel,
// udev's scsi_id and multipath-tools all prefer to the other designators.
// Both engines derive it from the unit serial alone (drivers/unit_serial.h),
// so it is the same on every gateway; but each in its own way:
// - tgtd (scsi_id set to the serial): the serial's last 32 characters read
//   as hex digits (any other character counts as 0), right-aligned, the
//   first digit replaced by the NAA type 6;
// - the kernel target: 6, the company id 001405, then the first 25 hex
//   digits found in the serial (other characters skipped), zero-padded.
//
// Thread safety: pure functions.
#pragma once

#include <string>

namespace WzCtl {

namespace wwiddetail {
inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
constexpr char kHex[] = "0123456789abcdef";
}  // namespace wwiddetail

inline std::string TgtWwid(const std::string& serial) {
  std::string digits(32, '0');
  const size_t n = serial.size() < 32 ? serial.size() : 32;
  for (size_t i = 0; i < n; ++i) {
    const int v = wwiddetail::HexDigit(serial[serial.size() - n + i]);
    digits[32 - n + i] = wwiddetail::kHex[v < 0 ? 0 : v];
  }
  digits[0] = '6';
  return "3" + digits;
}

inline std::string LioWwid(const std::string& serial) {
  std::string digits;
  for (char c : serial) {
    const int v = wwiddetail::HexDigit(c);
    if (v >= 0) digits.push_back(wwiddetail::kHex[v]);
    if (digits.size() == 25) break;
  }
  digits.resize(25, '0');
  return "36001405" + digits;
}

}  // namespace WzCtl
