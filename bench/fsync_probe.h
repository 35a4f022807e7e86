// The disk's own rate of durable small-file replacement, the physical limit
// of durable configuration changes: write a temporary file, fsync it, rename
// it over the final name, fsync the directory. Plain system calls, none of
// the service's code, so that the figure belongs to the disk alone.
//
// Thread safety: distinct directories may be probed at once.
#pragma once

#include <cstddef>
#include <string>

#include "hostlib/errors/CRnError.h"

namespace wzbench {

struct FsyncProbeResult {
  size_t operations = 0;
  double seconds = 0;
  double PerSecond() const { return seconds > 0 ? static_cast<double>(operations) / seconds : 0; }
};

// Replaces a file of fileBytes bytes in dir again and again for at least
// minSeconds and at least minOperations times. The probe's two files are
// removed afterwards, also on failure.
CRnError ProbeFsyncRename(const std::string& dir, double minSeconds, size_t minOperations, size_t fileBytes,
                          FsyncProbeResult& result);

// The same with `streams` threads at once, each in a subdirectory of its own
// (made and removed here), as concurrent clients' changes would reach the
// disk: operations of all streams over the longest stream's time.
CRnError ProbeFsyncRenameParallel(const std::string& dir, int streams, double minSeconds, size_t minOperations,
                                  size_t fileBytes, FsyncProbeResult& result);

}  // namespace wzbench
