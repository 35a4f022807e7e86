// The kernel's RBD client (/sys/bus/rbd): the kernel target serves an RBD
// LUN as a block device that the kernel's rbd driver maps from the image, so
// the kernel target itself never talks to Ceph.
//
// What the kernel connects with comes from the gateway's Ceph identity (the
// LUN record's extData, "conf=FILE;id=USER", built from the settings
// RbdConfFile and RbdUser, never from a client): the monitors of FILE's
// "mon host" and the key of client.USER from the keyring FILE names. The
// kernel speaks msgr v1 unless told otherwise, so a monitor's v1 address is
// taken where it has one; monitors with v2 addresses only are given as such
// with ms_mode=prefer-crc.
//
// A mapping is found again by the image's pool and name under
// /sys/bus/rbd/devices, so a replay or a reconcile reuses the mapping that
// is there instead of mapping the image twice; its device is /dev/rbd<id>.
//
// All sysfs access goes through a WzLioConfigFs (the same seam as configfs),
// so the unit tests run the mapping logic against an in-memory tree; the
// Ceph configuration and keyring are read from the real files. The key is
// written with WriteCredential and never appears in an error text or a log.
//
// Thread safety: the functions keep no state; the caller serialises them.
#pragma once

#include <string>

#include "hostlib/errors/CRnError.h"
#include "plugins/common/rbd_args.h"
#include "plugins/lio/configfs.h"

namespace wzkrbd {

constexpr const char* kBusDir = "/sys/bus/rbd";

// The kernel client's connection: the first two fields of a mapping request.
struct KernelClientArgs {
  std::string monitors;  // "ADDR:PORT,ADDR:PORT"
  std::string options;   // "name=USER,secret=KEY[,ms_mode=prefer-crc]"
};

// A Ceph "mon host" value ("[v2:A:P,v1:A:Q] B:R, ...") as the kernel takes
// it; msgr2: the addresses are v2 ones (ms_mode must say so).
CRnError ParseMonHost(const std::string& monHost, std::string& monitors, bool& msgr2);

// Reads the monitors and the user's key out of the identity's files.
CRnError ReadKernelClientArgs(const wzrbd::RbdIdentity& identity, KernelClientArgs& client);

// The id of the kernel's mapping of ref ("" when it is not mapped).
CRnError FindMapping(WzLioConfigFs& fs, const wzrbd::RbdImageRef& ref, std::string& id);

// Maps ref unless it is mapped already. device: /dev/rbd<id>; made: whether
// this call mapped it.
CRnError Map(WzLioConfigFs& fs, const wzrbd::RbdImageRef& ref, const wzrbd::RbdIdentity& identity, std::string& device,
             bool& made);

// Unmaps every mapping of ref; nothing mapped is no error.
CRnError Unmap(WzLioConfigFs& fs, const wzrbd::RbdImageRef& ref);

}  // namespace wzkrbd
