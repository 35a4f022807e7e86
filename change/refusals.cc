#include "change/refusals.h"

#include <algorithm>
#include <cstring>

namespace {

const char* const kNameRule =
    "an iSCSI name is iqn.YYYY-MM.reversed.domain[:anything] (a real year and month, e.g. "
    "iqn.2024-01.com.example:disk1), eui. and 16 hex digits, or naa. and 16 or 32 hex digits; letters, digits, "
    "'.', '-' and ':' only, at most 223 bytes";
const char* const kNoTargetNext =
    "check the name with `wzscsictl target list`, or create it: `wzscsictl target create {target}`";
const char* const kEngineNext = "the engine refused: its error is in wzscsid's log (`journalctl -u wzscsid`)";
const char* const kClusterNext = "`wzscsictl status` shows the cluster's state; try again once etcd answers";

using R = WzScsiSrvRefusal;
using O = WzScsiSrvRefusalObject;
using namespace WzScsiServer;

const WzScsiSrvRefusalRow kRows[] = {
    {R::NOT_READY, RC_NOT_READY_OR_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Either service not initialized or initialization is in progress.", nullptr, O::NONE, nullptr,
     "start the service with `wzscsictl start`, or wait until its start has finished (`wzscsictl status`)"},
    {R::INVALID_TARGET_NAME, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false, "Invalid iSCSI target name!",
     "Invalid iSCSI target name. Target name must match regex "
     "^(iqn\\.[0-9]{4}-(0[1-9]|1[0-2])\\.[a-z0-9-][a-z0-9.:-]*|eui\\.[0-9a-f]{16}|naa\\.([0-9a-f]{16}|[0-9a-f]{32}))$ "
     "(at most 223 bytes)",
     O::TARGET, nullptr, kNameRule},
    {R::TARGET_EXISTS, RC_TARGET_EXISTS, ERROR_ALREADY_EXISTS, false, "Target already exists!", nullptr, O::TARGET,
     nullptr, "choose another name; `wzscsictl target show {target}` shows the existing one"},
    {R::TARGET_MISSING, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Target doesn't exist!",
     nullptr, O::TARGET, "no such target", kNoTargetNext},
    {R::TARGET_MISSING_FOR_LUN, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Target doesn't exists!", nullptr, O::TARGET, "no such target", kNoTargetNext},
    {R::TARGET_HAS_LUNS, RC_HAS_DEPENDANTS, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Target has configured LUNs",
     "Target can not be deleted as it has configured LUNs", O::TARGET, nullptr,
     "delete its LUNs ({luns}) first: `wzscsictl lun delete {target} LUN` (unmap their hosts before)"},
    {R::LUN_MISSING, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Lun doesn't exist!", nullptr,
     O::LUN, "no such LUN", "the LUNs of {target}: {luns} (`wzscsictl lun show {target}`)"},
    {R::LUN_HAS_HOSTS, RC_HAS_DEPENDANTS, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Lun has host mappings", nullptr,
     O::LUN, nullptr, "unmap its hosts ({hosts}) first: `wzscsictl host unmap {target} {lun} HOST`"},
    // Code 183: a reload counts this as "already in place".
    {R::HOST_MAPPED, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_ALREADY_EXISTS, false, "Host is already mapped to the lun",
     nullptr, O::HOST, "already mapped", "nothing to do: the host can reach the LUN already"},
    {R::HOST_NOT_MAPPED, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Host is not mapped to the lun", nullptr, O::HOST, "not mapped",
     "the LUN's hosts are {hosts} (host names are case-sensitive; `wzscsictl lun show {target} {lun}`)"},
    {R::PLATFORM_CREATE_TARGET, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Platform create target error", nullptr, O::TARGET, nullptr, kEngineNext},
    {R::PLATFORM_DELETE_TARGET, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Platform Delete Target Error", nullptr, O::TARGET, nullptr, kEngineNext},
    {R::PLATFORM_MAP_HOST, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Platform MapHost failed",
     nullptr, O::HOST, nullptr, kEngineNext},
    {R::PLATFORM_UNMAP_HOST, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Platform UnMapHost Failed",
     nullptr, O::HOST, nullptr, kEngineNext},
    {R::PLATFORM_CREATE_LUN, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Platform CreateLun failed",
     nullptr, O::TARGET, nullptr, kEngineNext},
    {R::PLATFORM_DELETE_LUN, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Platform DeleteLun error",
     nullptr, O::LUN, nullptr, kEngineNext},
    {R::PLATFORM_DELETE_LUN_DETAIL, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, true,
     "Platform DeleteLun error"},
    // The cause says which argument is wrong and why.
    {R::LUN_ARGS, RC_NOT_READY_OR_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, true, "Failed to process CreateLun arguments",
     nullptr, O::TARGET, "invalid LUN arguments", "give --serial 1 to 16 letters and digits, and --path or --ssid"},
    {R::BSTORE_MISSING, RC_BSTORE_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "NULL BStorOps by user defined BStore"},
    {R::BSTORE_TYPE, RC_INVALID_ARGUMENT, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Invalid Bstore Type"},
    {R::BSTORE_PREPARE, RC_BSTORE_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "BStore CreateLunPrepare failed"},
    {R::BSTORE_COMMIT, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "BStore CreateLunCommit failed"},
    {R::BSTORE_DELETE_PREPARE, RC_BSTORE_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, true,
     "BStorOps DeleteLunPrepare error"},
    {R::BSTORE_DELETE_COMMIT, RC_BSTORE_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, true, "BStorOps DeleteLunCommit error"},
    // The drivers gave a new LUN a number its target has already.
    {R::LUN_NUMBER_TAKEN, RC_PLATFORM_FAILED, ERROR_ALREADY_EXISTS, false, "Platform CreateLun failed"},
    {R::OPEN_LUN_ID, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Incorrect or no LUN id specified."},
    {R::OPEN_LUN_MISSING, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Given target,lun does not exist."},
    {R::OPEN_NOT_DEVSNAP, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "OpenLun operation not supported for non Devsnap LUN."},
    {R::OPEN_PREPARE, RC_BSTORE_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "OpenLun: CreateLunPrepare failed"},
    {R::OPEN_COMMIT, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "OpenLun: CreateLunCommit failed"},
    {R::INVALID_IOCTL, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false, "Invalid IOCTL, cmd="},
    {R::LISTING_NOT_SENT, RC_NOT_READY_OR_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Failed to send the listing; narrow it with -ti or -hi"},
    {R::HOST_ID_MISSING, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false, "Host id not specified"},
    {R::TARGET_ID_MISSING, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false, "Target id not specified"},
    {R::NOT_SERVED, RC_INVALID_ARGUMENT, ERROR_INVALID_MESSAGE_CLASS, false,
     "This service does not serve the message "},
    {R::INTERNAL_ERROR, RC_NOT_READY_OR_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Internal error: "},
    {R::INVALID_HOST_ID, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false,
     "Invalid host id: it must not be empty or \"-\", nor hold \"#\", blanks or control characters", nullptr, O::HOST},
    {R::TARGET_OPTION_MISMATCH, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false,
     "The -ti option names another target than the request: "},
    {R::TARGET_NOT_RESTORED, RC_TARGET_EXISTS, ERROR_ALREADY_EXISTS, false,
     "The target has a saved configuration that could not be restored (see wzscsictl status): reload once the "
     "cause is fixed, or delete the target first"},
    {R::LUN_NOT_RESTORED, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "The LUN number is held by a saved LUN that could not be restored (see wzscsictl status): reload once the "
     "cause is fixed, or delete that LUN first"},
    {R::PATH_NOT_ALLOWED, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, true,
     "The backing file or device is not allowed", nullptr, O::TARGET, nullptr,
     "use a file or device that BackingStoreDirs allows, or for an RBD LUN an image in a pool of RbdPools (both in "
     "wzscsid.conf), or ask the administrator to add it"},
    {R::STOPPING, RC_NOT_READY_OR_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "The service is stopping; the change was not made"},
    {R::SAVE_FAILED, RC_NOT_READY_OR_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, true, "Failed to save the change"},
    {R::TOO_LARGE_TO_SAVE, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, true, "The request is too large to save"},
    {R::CHAP_INVALID, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false, "Invalid CHAP credentials: ", nullptr,
     O::TARGET},
    {R::CHAP_USER_CONFLICT, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false, "CHAP user name in use: ", nullptr,
     O::TARGET, nullptr, "choose another user name, or give it the same secret on both targets"},
    {R::PLATFORM_SET_AUTH, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, true, "Platform SetTargetAuth failed",
     nullptr, O::TARGET, nullptr, kEngineNext},
    {R::CLUSTER_UNAVAILABLE, RC_NOT_READY_OR_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "the cluster configuration store is unavailable; the change was not made", nullptr, O::NONE, nullptr,
     kClusterNext},
    {R::CLUSTER_TARGET_TAKEN, RC_TARGET_EXISTS, ERROR_ALREADY_EXISTS, false,
     "Target already exists: another gateway created it"},
    {R::CLUSTER_CONFLICT, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Another gateway changed the target at the same time; nothing was changed, try again: ", nullptr, O::TARGET},
    {R::CLUSTER_DEPENDANTS, RC_HAS_DEPENDANTS, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Another gateway added LUNs or host mappings under it", nullptr, O::TARGET, nullptr,
     "see them with `wzscsictl lun show {target}`, remove them, then try again"},
    {R::CLUSTER_OUTCOME_UNKNOWN, RC_NOT_READY_OR_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "the cluster configuration store is unavailable; the change was undone here, but etcd may still apply it "
     "when it returns, and every gateway then follows: ",
     nullptr, O::NONE, nullptr, kClusterNext},
    {R::RESIZE_INVALID, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false, "The LUN cannot take that size: "},
    {R::RESIZE_BSTORE, RC_BSTORE_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, true,
     "The backing store did not grow; the LUN keeps its size"},
    {R::RESIZE_ENGINE, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, true,
     "The backing store grew, but the engine did not take the new size"},
    {R::REMOVE_IMAGE_SHARED, RC_INVALID_ARGUMENT, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "In cluster mode an RBD image is not removed with its LUN: other gateways may still serve it", nullptr, O::LUN,
     nullptr, "delete the LUN without --remove-image, then remove the image with `rbd rm` once no gateway lists it"},
    {R::PATH_RELATIVE, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false,
     "The backing path is relative, give an absolute one: ", nullptr, O::TARGET, nullptr,
     "give --path from / (wzscsictl makes a relative path absolute against its own working directory)"},
    {R::PATH_BLANKS, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false,
     "The backing path starts or ends with a blank or holds a control character", nullptr, O::TARGET, nullptr,
     "rename the file or give a path without leading or trailing blanks"},
    {R::BACKING_IN_USE, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false,
     "The backing file or device is already used by another LUN: ", nullptr, O::TARGET, nullptr,
     "give another file or device, or delete that LUN first"},
};

}  // namespace

const WzScsiSrvRefusalRow* WzScsiSrvRefusalRows(size_t& count) {
  count = sizeof(kRows) / sizeof(kRows[0]);
  return kRows;
}

const WzScsiSrvRefusalRow& WzScsiSrvRefusalOf(WzScsiSrvRefusal id) {
  // The rows follow the enumeration (tables_test.cc proves it).
  const size_t index = static_cast<size_t>(id);
  return index < sizeof(kRows) / sizeof(kRows[0]) ? kRows[index] : kRows[0];
}

namespace {

void PutIn(std::string& text, const char* key, const std::string& value) {
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
    text.replace(at, strlen(key), value);
}

std::string ObjectOf(const WzScsiSrvRefusalRow& row, const WzScsiSrvRefusalNames& names) {
  const std::string target = "target " + names.target;
  const std::string lun = names.lun >= 0 ? "LUN " + std::to_string(names.lun) + " of " + target : target;
  switch (row.object) {
    case WzScsiSrvRefusalObject::NONE:
      return std::string();
    case WzScsiSrvRefusalObject::TARGET:
      return names.target.empty() ? std::string() : target;
    case WzScsiSrvRefusalObject::LUN:
      return names.target.empty() ? std::string() : lun;
    case WzScsiSrvRefusalObject::HOST:
      if (names.target.empty()) return names.host.empty() ? std::string() : "host " + names.host;
      return names.host.empty() ? lun : "host " + names.host + ", " + lun;
  }
  return std::string();
}

}  // namespace

std::string WzScsiSrvRefusalLines(const WzScsiSrvRefusalRow& row, const WzScsiSrvRefusalNames& names) {
  std::string lines;
  const std::string object = ObjectOf(row, names);
  if (!object.empty()) lines += "\nobject: " + object;
  if (row.meaning != nullptr) lines += std::string("\nmeaning: ") + row.meaning;
  if (row.next != nullptr) {
    std::string next = row.next;
    PutIn(next, "{target}", names.target.empty() ? "TARGET" : names.target);
    PutIn(next, "{lun}", names.lun >= 0 ? std::to_string(names.lun) : "LUN");
    PutIn(next, "{host}", names.host.empty() ? "HOST" : names.host);
    PutIn(next, "{luns}", names.luns.empty() ? "none" : names.luns);
    PutIn(next, "{hosts}", names.hosts.empty() ? "none" : names.hosts);
    lines += "\nnext: " + next;
  }
  return lines;
}

std::string WzScsiSrvReplyHeadline(const std::string& text) { return text.substr(0, text.find('\n')); }

void WzScsiSrvExtendHeadline(WzScsiServer::Error& error, const std::string& more) {
  std::string text = error.errorMessage();
  text.insert(std::min(text.find('\n'), text.size()), more);
  error.setErrorMessage(text);
}

CRnError WzScsiSrvRefuse(WzScsiServer::Error& error, WzScsiSrvRefusal id, const FXCodeLocation& where, CRnError cause,
                         const std::string& detail) {
  return WzScsiSrvRefuse(error, id, where, WzScsiSrvRefusalNames(), std::move(cause), detail);
}

CRnError WzScsiSrvRefuse(WzScsiServer::Error& error, WzScsiSrvRefusal id, const FXCodeLocation& where,
                         const WzScsiSrvRefusalNames& names, CRnError cause, const std::string& detail) {
  const WzScsiSrvRefusalRow& row = WzScsiSrvRefusalOf(id);
  std::string reply = row.text + detail;
  if (row.appendCause && cause.IsError()) reply += ": " + cause.AsString();
  // A cause or detail of several lines would pass for the lines below.
  for (char& c : reply)
    if (c == '\n') c = ' ';
  error.set(row.code, reply + WzScsiSrvRefusalLines(row, names));
  if (cause.IsError()) return cause.Push(where);
  const std::string text = (row.logText != nullptr ? row.logText : row.text) + detail;
  return FXErrorUtil::ErrorWin32(where, row.win32, "%s", text.c_str());
}
