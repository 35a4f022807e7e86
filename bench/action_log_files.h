// Writes a synthetic configuration straight into an action-log tree, file by
// file in the form the service saves (the request's XML as the message
// library writes it, under the same names), so that a large model can be put
// in place in seconds instead of one durable change at a time. The service
// replays it like any saved configuration.
//
// Files are written with plain writes and made durable once at the end
// (syncfs), not one by one: the tree is an input of the benchmark, not a
// record of changes.
//
// Thread safety: one writer per tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "hostlib/errors/CRnError.h"

namespace wzbench {

struct ModelShape {
  int targets = 0;                     // TargetName(0) .. TargetName(targets - 1)
  int lunsPerTarget = 0;               // numbered 0 .. lunsPerTarget - 1 (the doubles' numbering)
  bool mapHosts = true;                // each LUN of target t mapped to HostName(t)
  uint64_t creationTime = 1704067200;  // stamped into every LUN's saved request

  size_t Objects() const;  // targets + LUNs + mappings
  size_t Tuples() const;   // lines of an unfiltered LUN listing
};

// Creates root/Targets/... for the shape. root: the action-log root (it and
// its parents are created when missing). Fails when a file cannot be
// written; what was written stays.
CRnError WriteActionLog(const std::string& root, const ModelShape& shape);

}  // namespace wzbench
