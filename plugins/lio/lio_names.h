// Where the kernel target driver puts the service's objects in configfs, and
// how it tells them from the objects of other tools (targetcli, an
// administrator's scripts), which it never touches:
//
//   <root>/iscsi/<target>/tpgt_1                 a target: its one portal group,
//                                                marked by param/TargetAlias = "WzScsi"
//   <root>/iscsi/<target>/tpgt_1/np/<portal>     the configured portal
//   <root>/iscsi/<target>/tpgt_1/lun/lun_<N>     LUN N, linked to its backstore
//   <root>/core/fileio_7700/<backstore>          backstore of a regular file
//   <root>/core/iblock_7700/<backstore>          backstore of a block device
//   <root>/iscsi/<target>/tpgt_1/acls/<host>     a host's node ACL ...
//       .../acls/<host>/lun_<N>/lun              ... with mapped LUN N -> lun/lun_<N>
//
// A backstore is the service's when its name is BackstoreName of a target
// and LUN: "wz_" + the 32 hex digits of the target name's name id + "_" +
// the LUN number. A target is the service's when its portal group carries
// the marker.
//
// Thread safety: pure functions and constants.
#pragma once

#include <cstdint>
#include <string>

namespace wzlio {

constexpr const char* kTpg = "tpgt_1";
constexpr const char* kMarker = "WzScsi";
// The HBA index of the service's backstores: an index of its own, so that
// removing an emptied HBA never takes one that other tools use.
constexpr const char* kHbaIndex = "7700";
constexpr const char* kBackstorePrefix = "wz_";
constexpr const char* kMappedLunLink = "lun";
constexpr int32_t kMaxLunNumber = 255;

// "wz_<32 hex digits>_<lun>"; the hex digits name the target (lower-cased).
std::string BackstoreName(const std::string& targetId, int32_t lunId);
// "wz_<32 hex digits>_": every backstore of the target starts with it.
std::string BackstorePrefix(const std::string& targetId);
// "lun_<N>" for 0 <= N; -1 when name is not of that form.
int32_t ParseLunDirName(const std::string& name);
std::string LunDirName(int32_t lunId);

}  // namespace wzlio
