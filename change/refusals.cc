#include "change/refusals.h"

namespace {

using R = WzScsiSrvRefusal;
using namespace WzScsiServer;

const WzScsiSrvRefusalRow kRows[] = {
    {R::NOT_READY, RC_NOT_READY_OR_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Either service not initialized or initialization is in progress."},
    {R::INVALID_TARGET_NAME, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false, "Invalid iSCSI target name!",
     "Invalid iSCSI target name. Target name must match regex ^iqn\\.[a-z0-9.:-]+"},
    {R::TARGET_EXISTS, RC_TARGET_EXISTS, ERROR_ALREADY_EXISTS, false, "Target already exists!"},
    {R::TARGET_MISSING, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Target doesn't exist!"},
    {R::TARGET_MISSING_FOR_LUN, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Target doesn't exists!"},
    {R::TARGET_HAS_LUNS, RC_HAS_DEPENDANTS, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Target has configured LUNs",
     "Target can not be deleted as it has configured LUNs"},
    {R::LUN_MISSING, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Lun doesn't exist!"},
    {R::LUN_HAS_HOSTS, RC_HAS_DEPENDANTS, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Lun has host mappings"},
    // Code 183: a reload counts this as "already in place".
    {R::HOST_MAPPED, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_ALREADY_EXISTS, false, "Host is already mapped to the lun"},
    {R::HOST_NOT_MAPPED, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Host is not mapped to the lun"},
    {R::PLATFORM_CREATE_TARGET, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Platform create target error"},
    {R::PLATFORM_DELETE_TARGET, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Platform Delete Target Error"},
    {R::PLATFORM_MAP_HOST, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Platform MapHost failed"},
    {R::PLATFORM_UNMAP_HOST, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Platform UnMapHost Failed"},
    {R::PLATFORM_CREATE_LUN, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Platform CreateLun failed"},
    {R::PLATFORM_DELETE_LUN, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false, "Platform DeleteLun error"},
    {R::PLATFORM_DELETE_LUN_DETAIL, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, true,
     "Platform DeleteLun error"},
    {R::LUN_ARGS, RC_NOT_READY_OR_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Failed to process CreateLun arguments"},
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
     "Invalid host id: it must not be empty or \"-\", nor hold \"#\", blanks or control characters"},
    {R::TARGET_OPTION_MISMATCH, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false,
     "The -ti option names another target than the request: "},
    {R::TARGET_NOT_RESTORED, RC_TARGET_EXISTS, ERROR_ALREADY_EXISTS, false,
     "The target has a saved configuration that could not be restored (see wzscsictl status): reload once the "
     "cause is fixed, or delete the target first"},
    {R::LUN_NOT_RESTORED, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "The LUN number is held by a saved LUN that could not be restored (see wzscsictl status): reload once the "
     "cause is fixed, or delete that LUN first"},
    {R::PATH_NOT_ALLOWED, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, true,
     "The backing file or device is not allowed"},
    {R::STOPPING, RC_NOT_READY_OR_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "The service is stopping; the change was not made"},
    {R::SAVE_FAILED, RC_NOT_READY_OR_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, true, "Failed to save the change"},
    {R::TOO_LARGE_TO_SAVE, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, true, "The request is too large to save"},
    {R::CHAP_INVALID, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false, "Invalid CHAP credentials: "},
    {R::CHAP_USER_CONFLICT, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false, "CHAP user name in use: "},
    {R::PLATFORM_SET_AUTH, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, true, "Platform SetTargetAuth failed"},
    {R::CLUSTER_UNAVAILABLE, RC_NOT_READY_OR_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "the cluster configuration store is unavailable; the change was not made"},
    {R::CLUSTER_TARGET_TAKEN, RC_TARGET_EXISTS, ERROR_ALREADY_EXISTS, false,
     "Target already exists: another gateway created it"},
    {R::CLUSTER_CONFLICT, RC_NOT_FOUND_OR_WRONG_STATE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Another gateway changed the target at the same time; nothing was changed, try again: "},
    {R::CLUSTER_DEPENDANTS, RC_HAS_DEPENDANTS, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "Another gateway added LUNs or host mappings under it"},
    {R::CLUSTER_OUTCOME_UNKNOWN, RC_NOT_READY_OR_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, false,
     "the cluster configuration store is unavailable; the change was undone here, but etcd may still apply it "
     "when it returns, and every gateway then follows: "},
    {R::RESIZE_INVALID, RC_INVALID_ARGUMENT, ERROR_INVALID_PARAMETER, false, "The LUN cannot take that size: "},
    {R::RESIZE_BSTORE, RC_BSTORE_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, true,
     "The backing store did not grow; the LUN keeps its size"},
    {R::RESIZE_ENGINE, RC_PLATFORM_FAILED, ERROR_NOT_FOUND_OR_NOT_ALLOWED, true,
     "The backing store grew, but the engine did not take the new size"},
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

CRnError WzScsiSrvRefuse(WzScsiServer::Error& error, WzScsiSrvRefusal id, const FXCodeLocation& where, CRnError cause,
                         const std::string& detail) {
  const WzScsiSrvRefusalRow& row = WzScsiSrvRefusalOf(id);
  std::string reply = row.text + detail;
  if (row.appendCause && cause.IsError()) reply += ": " + cause.AsString();
  error.set(row.code, reply);
  if (cause.IsError()) return cause.Push(where);
  const std::string text = (row.logText != nullptr ? row.logText : row.text) + detail;
  return FXErrorUtil::ErrorWin32(where, row.win32, "%s", text.c_str());
}
