// The import of the kernel target's saved configuration: the JSON file its
// usual tool (targetcli, rtslib's saveconfig) writes, into an import plan.
//
// What maps to what (docs/operations.md, "Moving from the kernel target's
// saved configuration"): an iSCSI target (its first portal group) is a
// target; each LUN on a fileio or block storage object a blkdev LUN on the
// same file or device; each node ACL's mapped LUNs host mappings; the ACLs'
// CHAP credentials, when the portal group asks for them and all ACLs share
// them, the target's CHAP. Everything else is reported with its line and
// why (other fabrics and storage types, read-only LUNs and mappings, ACLs
// with different credentials, open access by generate_node_acls, ...).
// The file is parsed with nlohmann-json; lines are those of the objects'
// opening braces and of their keys.
//
// Thread safety: pure functions over the file system's current contents.
#pragma once

#include <string>

#include "apps/wzscsictl/migrate_plan.h"

namespace WzCtl {

ImportPlan ParseLioConfig(const std::string& file, const ImportOptions& options);
ImportPlan ParseLioConfigText(const std::string& file, const std::string& text, const ImportOptions& options);

}  // namespace WzCtl
