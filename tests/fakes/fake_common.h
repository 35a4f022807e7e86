// Shared by the fault-injecting driver doubles.
//
// Journal: each call appends one line "<lib>.<Operation> key=value ..." to the
// file named by WZSCSI_FAKE_JOURNAL (values percent-encode blanks, "%" and
// line breaks), with openOnly=0|1 closeOnly=0|1 telling whether the calling
// thread's OpenOnly_<thread> / CloseOnly_<thread> variable read "1".
// Faults: a call fails with "injected fault: <lib>.<Operation>" while the
// file named by WZSCSI_FAKE_FAULTS holds that line; the file is read at
// every call. WZSCSI_FAKE_DELAY_US slows every call down (concurrency tests).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "hostlib/errors/CRnError.h"

namespace wzfake {

typedef std::vector<std::pair<std::string, std::string>> Fields;

// Journals the call and returns the injected fault, if any.
CRnError Call(const std::string& lib, const std::string& op, const Fields& fields);
std::string ThreadFlag(const char* flagName);  // value of <flag>_<thread id>, "" if unset

}  // namespace wzfake
