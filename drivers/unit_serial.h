// The unit serial number an engine reports for a LUN (SCSI VPD page 0x80).
// Initiators and multipath tell disks apart by it, so it must be stable
// across restarts, the same on every gateway that serves the LUN, and
// different for different LUNs even when they share a serial prefix:
//   <prefix><8 hex digits of the target's name id><4 hex digits of the LUN number>
// for example "DISK1" + "3F2A9C10" + "0001". At most 16 + 12 characters,
// within what both engines accept.
//
// Every designator an initiator groups a LUN's paths by derives from this
// serial alone, never from an engine's own numbers (tgtd's tid, the kernel
// target's backstore index), so a LUN is one disk on every gateway:
// - tgtd: the driver sets scsi_id (and scsi_sn) to it. VPD page 0x83 then
//   holds a T10 vendor designator with it and an NAA IEEE Registered
//   Extended (type 6) designator of its last 31 hex digits (other
//   characters count as 0), which the Linux SCSI layer, udev's scsi_id and
//   multipath-tools all prefer. tgtd's NAA Locally Assigned (type 3)
//   designator, (tid << 32) | LUN, has the lowest rank in all three and is
//   never chosen while a type 6 one is there.
// - the kernel target: vpd_unit_serial; its NAA type 6 designator is the
//   company id 00-14-05 and the first 25 hex digits of the serial.
// apps/wzscsictl/wwid.h gives the WWID Linux makes of those.
//
// Thread safety: a pure function.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "hostlib/util/WzScsiUtils.h"

inline std::string WzScsiSrvUnitSerial(const std::string& serialPrefix, const std::string& targetId, int32_t lunId) {
  std::string id;
  CRnError ignored = GetGUID(targetId.data(), static_cast<int>(targetId.size()), id);
  (void)ignored;
  std::string hex;
  for (char c : id) {
    if (c == '-') continue;
    hex.push_back(static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c));
    if (hex.size() == 8) break;
  }
  char lun[8];
  std::snprintf(lun, sizeof lun, "%04X", static_cast<unsigned>(lunId) & 0xFFFFu);
  return serialPrefix + hex + lun;
}
