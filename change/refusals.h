// Every refusal and failure a handler answers, once: its result code, the
// Win32-style code of the handler's own error, its text, the object it names
// and the next step an operator can take. A handler names the row; the
// reply's Error record and the returned error are both made from it, so the
// two never drift apart.
//
// The reply's text keeps the row's text as its first line, unchanged, since
// clients match it. Lines after it, each "key: value", say more for people:
// "object:" the object refused, "meaning:" the outcome when the result
// code's own text would mislead, "next:" what to do about it.
//
// Thread safety: constant data and pure functions.
#pragma once

#include <cstdint>
#include <string>

#include "hostlib/errors/CRnError.h"
#include "messages/WzScsiServerMessages.h"

enum class WzScsiSrvRefusal : int32_t {
  NOT_READY,
  INVALID_TARGET_NAME,
  TARGET_EXISTS,
  TARGET_MISSING,
  TARGET_MISSING_FOR_LUN,  // the create-LUN wording
  TARGET_HAS_LUNS,
  LUN_MISSING,
  LUN_HAS_HOSTS,
  HOST_MAPPED,
  HOST_NOT_MAPPED,
  PLATFORM_CREATE_TARGET,
  PLATFORM_DELETE_TARGET,
  PLATFORM_MAP_HOST,
  PLATFORM_UNMAP_HOST,
  PLATFORM_CREATE_LUN,
  PLATFORM_DELETE_LUN,
  PLATFORM_DELETE_LUN_DETAIL,  // with the driver's error appended
  LUN_ARGS,
  BSTORE_MISSING,
  BSTORE_TYPE,
  BSTORE_PREPARE,
  BSTORE_COMMIT,
  BSTORE_DELETE_PREPARE,
  BSTORE_DELETE_COMMIT,
  LUN_NUMBER_TAKEN,
  OPEN_LUN_ID,
  OPEN_LUN_MISSING,
  OPEN_NOT_DEVSNAP,
  OPEN_PREPARE,
  OPEN_COMMIT,
  INVALID_IOCTL,
  LISTING_NOT_SENT,
  HOST_ID_MISSING,
  TARGET_ID_MISSING,
  NOT_SERVED,
  INTERNAL_ERROR,
  INVALID_HOST_ID,
  TARGET_OPTION_MISMATCH,
  TARGET_NOT_RESTORED,
  LUN_NOT_RESTORED,
  PATH_NOT_ALLOWED,
  STOPPING,
  SAVE_FAILED,
  TOO_LARGE_TO_SAVE,
  CHAP_INVALID,
  CHAP_USER_CONFLICT,
  PLATFORM_SET_AUTH,
  CLUSTER_UNAVAILABLE,
  CLUSTER_TARGET_TAKEN,
  CLUSTER_CONFLICT,
  CLUSTER_DEPENDANTS,
  CLUSTER_OUTCOME_UNKNOWN,
  RESIZE_INVALID,
  RESIZE_BSTORE,
  RESIZE_ENGINE,
  REMOVE_IMAGE_SHARED,  // --remove-image where other gateways may serve the image
  PATH_RELATIVE,
  PATH_BLANKS,
  BACKING_IN_USE,
  END,  // not a refusal: the number of them
};

// What a refusal names in its "object:" line.
enum class WzScsiSrvRefusalObject : int32_t {
  NONE,
  TARGET,  // the target
  LUN,     // the LUN number of the target
  HOST,    // the host, the LUN number and the target
};

// The names a refusal's object line and next step are filled with. The
// handler context fills it from the request as the work reads it.
struct WzScsiSrvRefusalNames {
  std::string target;
  int64_t lun = -1;  // < 0: not known
  std::string host;
  std::string luns;   // the target's LUN numbers, "0, 1, 4" ("" for none)
  std::string hosts;  // the LUN's hosts, "a, b"
};

struct WzScsiSrvRefusalRow {
  WzScsiSrvRefusal id;
  WzScsiServer::ResultCode code;
  long win32;        // code of the handler's error when there is no cause
  bool appendCause;  // the reply's text ends with ": <cause>"
  const char* text;
  const char* logText = nullptr;  // the handler's error text when it says more than the reply; null: text
  WzScsiSrvRefusalObject object = WzScsiSrvRefusalObject::NONE;
  const char* meaning = nullptr;  // null: the result code's text fits
  // The next step, with {target}, {lun}, {host}, {luns} and {hosts} put in;
  // null for none.
  const char* next = nullptr;
};

// The row of a refusal (every refusal has one).
const WzScsiSrvRefusalRow& WzScsiSrvRefusalOf(WzScsiSrvRefusal id);
// The table, in the order of the enumeration.
const WzScsiSrvRefusalRow* WzScsiSrvRefusalRows(size_t& count);

// Sets the reply's Error record and returns the handler's error: the cause
// (with this location pushed) when there is one, a new error of the row's
// code otherwise. detail, when not empty, is appended to both texts.
CRnError WzScsiSrvRefuse(WzScsiServer::Error& error, WzScsiSrvRefusal id, const FXCodeLocation& where,
                         CRnError cause = CRnError(), const std::string& detail = std::string());
// The same, with the lines that name the object and the next step.
CRnError WzScsiSrvRefuse(WzScsiServer::Error& error, WzScsiSrvRefusal id, const FXCodeLocation& where,
                         const WzScsiSrvRefusalNames& names, CRnError cause = CRnError(),
                         const std::string& detail = std::string());
// The lines after the first of a refusal's text: "object:", "meaning:",
// "next:" (empty when the row names nothing).
std::string WzScsiSrvRefusalLines(const WzScsiSrvRefusalRow& row, const WzScsiSrvRefusalNames& names);
// The first line of a reply's text: what clients match and logs show.
std::string WzScsiSrvReplyHeadline(const std::string& text);
// Adds to the first line of a reply's text, before its other lines.
void WzScsiSrvExtendHeadline(WzScsiServer::Error& error, const std::string& more);
