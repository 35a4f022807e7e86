// The lines of the listing commands of the Ioctl request, and their
// arguments: "lt" (target names), "ll", "llt", "llh" (one line per LUN and
// host, target#host#lun#creationTime) and "ls" (one key=value record per
// target and LUN, with what an operator looks at: backing path, size,
// serial, closed, CHAP user, never a secret). The service object walks the
// model under its lock and sends the lines.
//
// Thread safety: pure functions, except that a LUN record reads its backing
// file's size (call it outside the model lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "change/refusals.h"
#include "drivers/WzScsiSrvRecords.h"
#include "hostlib/util/FXString.h"
#include "messages/WzScsiServerMessages.h"

// An empty filter matches everything; otherwise names match ignoring case.
// Inline: a listing of a large configuration asks it for every line.
inline bool WzScsiSrvListingMatches(const std::string& filter, const std::string& name) {
  return filter.empty() || FXString::CompareNoCase(filter, name) == 0;
}

// "ll", "llt", "llh": the filters of the -ti and -hi options; "llh" needs a
// host and "llt" a target (refused with code 4 otherwise, error set).
struct WzScsiSrvLunQuery {
  std::string target;
  std::string host;
};
CRnError WzScsiSrvParseLunQuery(const std::string& arguments, bool byHost, bool byTarget, WzScsiSrvLunQuery& query,
                                WzScsiServer::Error& error);
// One line target#host#lun#creationTime.
std::string WzScsiSrvLunLine(const std::string& target, const std::string& host, int32_t lunId, int64_t creationTime);
// The lines of one target's LUNs: one per host that matches host, "-" for a
// LUN without hosts when no host is asked for.
void WzScsiSrvAppendLunLines(const std::string& name, const WzScsiSrvModelTarget& target, const std::string& host,
                             std::vector<std::string>& lines);

// "ls [-ti T [-li N]] [-kind target|lun]"; refused with code 4 when -li
// comes without -ti or is not a number, or -kind is unknown (error set).
struct WzScsiSrvDetailQuery {
  std::string target;  // lower-cased; empty: every target
  bool withLun = false;
  int32_t lunId = 0;
  bool targets = true;  // target records wanted
  bool luns = true;     // LUN records wanted
  // "-after CURSOR": the page after the record the cursor names.
  bool hasAfter = false;
  struct WzScsiSrvDetailPosition {
    int phase = 0;  // 0 target records, 1 LUN records, 2 targets not restored
    std::string target;
    int32_t lunId = -1;
  } after;
};
using WzScsiSrvDetailPosition = WzScsiSrvDetailQuery::WzScsiSrvDetailPosition;
// Whether position a comes after b in the order of the listing.
bool WzScsiSrvDetailAfter(const WzScsiSrvDetailPosition& a, const WzScsiSrvDetailPosition& b);
// The last line of a page that is not the last: "more after=CURSOR".
std::string WzScsiSrvDetailMoreLine(const WzScsiSrvDetailPosition& last);
// A page of "ls" holds records up to this many bytes (at least one record,
// however large), so that no reply of it is large whatever the descriptions.
constexpr size_t kWzScsiSrvDetailPageBytes = 1u << 20;
CRnError WzScsiSrvParseDetailQuery(const std::string& arguments, WzScsiSrvDetailQuery& query,
                                   WzScsiServer::Error& error);
// A target's record; restored: "yes", "partly" or "no".
std::string WzScsiSrvTargetRecord(const std::string& name, const std::string& desc, const WzScsiSrvChap& chap,
                                  size_t luns, const char* restored);
// What a LUN's record needs, copied under the model lock so that the size is
// read after it is released.
struct WzScsiSrvLunDetail {
  std::string target;
  int32_t lunId = 0;
  WzScsiServer::BStorType type = WzScsiServer::BSTOR_INVALID;
  std::string path;
  uint64_t size = 0;  // what the service made or last resized it to (RBD)
  std::string serial;
  bool closed = false;
  std::vector<std::string> hosts;
  int64_t creationTime = 0;
};
WzScsiSrvLunDetail WzScsiSrvLunDetailOf(const std::string& target, int32_t number, const WzScsiSrvModelLun& lun);
std::string WzScsiSrvLunRecord(const WzScsiSrvLunDetail& lun);
// The record of a saved LUN the last replay could not restore:
// "lun target=T lun=N restored=no" (wzscsictl status says why).
std::string WzScsiSrvUnrestoredLunRecord(const std::string& target, int32_t lunId);
