// The wzscsictl command line: every subcommand, its request, its output
// (tables for people, one JSON object per reply with --json) and its exit
// status (ctl_lib.h ExitCode). Kept out of main() so that tests can run the
// whole client in process.
//
// Thread safety: RunCtl may run in several threads at once (each with its own
// streams).
#pragma once

#include <iosfwd>

namespace WzCtl {

// Parses argv, sends the request, prints the outcome on out (errors on err)
// and returns the exit status. `send -` reads the message from in.
int RunCtl(int argc, const char* const* argv, std::ostream& out, std::ostream& err, std::istream& in);

}  // namespace WzCtl
