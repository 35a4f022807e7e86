// The import of tgt's configuration: tgt-admin's targets.conf (the format
// of Perl's Config::General as tgt-admin reads it: `key value` options,
// `<target NAME>` and `<backing-store PATH>` blocks, `#` comments, `\` line
// continuations, `include` of files, globs and directories, blocks of one
// name merged) into an import plan.
//
// What maps to what (docs/operations.md, "Moving from tgt"): a target block
// is a target; each backing-store a blkdev LUN on the same file or device,
// created in the order tgt-admin numbers them; incominguser and outgoinguser
// the target's CHAP; each initiator-name a host mapped to every LUN of the
// target, since tgt grants whole targets. Everything else is reported with
// its file and line: what is not imported and why, what is ignored.
//
// Thread safety: pure functions over the file system's current contents.
#pragma once

#include <string>

#include "apps/wzscsictl/migrate_plan.h"

namespace WzCtl {

// Reads file and what it includes. A file that cannot be read or parsed
// gives issues of kind kError (the plan is then not to be applied).
ImportPlan ParseTgtConfig(const std::string& file, const ImportOptions& options);
// The same from text already read; includes are resolved against file's
// directory.
ImportPlan ParseTgtConfigText(const std::string& file, const std::string& text, const ImportOptions& options);

}  // namespace WzCtl
