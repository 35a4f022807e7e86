#include "service/request_classes.h"

#include "actionlog/action_log_layout.h"
#include "cluster/cluster_keys.h"
#include "hostlib/util/CCommandLineArguments.h"
#include "service/WzScsiSrv.h"

using namespace WzScsiServer;
namespace Keys = WzScsiSrvClusterKeys;
namespace Layout = WzScsiSrvActionLog;

namespace {

// The requests carry a 32-bit LUN number in a 64-bit field.
int32_t LunNumber(const Message& request, const FieldId& field) {
  return static_cast<int32_t>(static_cast<uint32_t>(request.GetInt(field)));
}

// ---------------------------------------------------------------- saved files

std::string TargetFileOf(const std::string& dir, const Message&, int32_t) { return Layout::TargetFile(dir); }
std::string TargetDirOf(const std::string& dir, const Message&, int32_t) { return dir; }
std::string AuthFileOf(const std::string& dir, const Message&, int32_t) { return Layout::AuthFile(dir); }
std::string NewLunFileOf(const std::string& dir, const Message&, int32_t lunId) { return Layout::LunFile(dir, lunId); }
std::string LunFileOf(const std::string& dir, const Message& request, int32_t) {
  return Layout::LunFile(dir, LunNumber(request, Fields::kDeleteLunId));
}
std::string MappingFileOf(const std::string& dir, const Message& request, int32_t) {
  return Layout::MappingFile(dir, request.GetString(Fields::kHostId), LunNumber(request, Fields::kMapLunId));
}

// ---------------------------------------------------------------- etcd

WzEtcdCompare Exists(const std::string& key) {
  return WzEtcdCompare::Number(key, WzEtcdCompare::Target::kCreateRevision, WzEtcdCompare::Op::kGreater, 0);
}

const char* const kParentRemoved = "the object it belongs to was removed";

void TargetKeys(const std::string& prefix, const std::string& target, const Message&, int32_t,
                WzScsiSrvClusterChange& c) {
  c.key = Keys::TargetKey(prefix, target);
  c.compares = {WzEtcdCompare::Absent(c.key)};
  c.conflict = WzScsiSrvRefusal::CLUSTER_TARGET_TAKEN;
}

void LunKeys(const std::string& prefix, const std::string& target, const Message&, int32_t lunId,
             WzScsiSrvClusterChange& c) {
  c.key = Keys::LunKey(prefix, target, lunId);
  c.compares = {WzEtcdCompare::Absent(c.key), Exists(Keys::TargetKey(prefix, target))};
  c.conflictDetail = "LUN number " + std::to_string(lunId) + " was taken";
}

void MapKeys(const std::string& prefix, const std::string& target, const Message& request, int32_t,
             WzScsiSrvClusterChange& c) {
  const int32_t lun = LunNumber(request, Fields::kMapLunId);
  c.key = Keys::MapKey(prefix, target, lun, request.GetString(Fields::kHostId));
  c.compares = {WzEtcdCompare::Absent(c.key), Exists(Keys::LunKey(prefix, target, lun))};
  c.conflictDetail = kParentRemoved;
}

void AuthKeys(const std::string& prefix, const std::string& target, const Message&, int32_t,
              WzScsiSrvClusterChange& c) {
  c.key = Keys::AuthKey(prefix, target);
  c.compares = {Exists(Keys::TargetKey(prefix, target))};
  c.conflictDetail = kParentRemoved;
}

// A removal goes through only if nothing is under its object when its
// transaction runs (the store compares the dependants' range in it).
void TargetRemoval(const std::string& prefix, const std::string& target, const Message&, int32_t,
                   WzScsiSrvClusterChange& c) {
  const std::string under = Keys::TargetPrefix(prefix, target);
  c.dependants = under + "lun/";
  c.ops = {WzEtcdOp::GetPrefix(under), WzEtcdOp::DeletePrefix(under)};
  c.conflictDetail = "something was added under it";
}

void LunRemoval(const std::string& prefix, const std::string& target, const Message& request, int32_t,
                WzScsiSrvClusterChange& c) {
  const int32_t lun = LunNumber(request, Fields::kDeleteLunId);
  c.key = Keys::LunKey(prefix, target, lun);
  c.dependants = Keys::LunMapsPrefix(prefix, target, lun);
  c.ops = {WzEtcdOp::Get(c.key), WzEtcdOp::Delete(c.key), WzEtcdOp::Put(Keys::SeqKey(prefix, target), "")};
  c.conflictDetail = "something was added under it";
}

void MapRemoval(const std::string& prefix, const std::string& target, const Message& request, int32_t,
                WzScsiSrvClusterChange& c) {
  c.key = Keys::MapKey(prefix, target, LunNumber(request, Fields::kMapLunId), request.GetString(Fields::kHostId));
  c.compares = {Exists(c.key)};
  c.ops = {WzEtcdOp::Get(c.key), WzEtcdOp::Delete(c.key), WzEtcdOp::Put(Keys::SeqKey(prefix, target), "")};
  c.conflictDetail = "the mapping was removed";
}

// ---------------------------------------------------------------- audit words

const std::string kLun = " LUN ";

std::string DescribeCreateTarget(const Message& r, const Reply&) {
  return "create target " + r.GetString(Fields::kTargetId);
}
std::string DescribeDeleteTarget(const Message& r, const Reply&) {
  return "delete target " + r.GetString(Fields::kTargetId);
}

std::string DescribeCreateLun(const Message& r, const Reply& reply) {
  const int32_t created = WzScsiSrvSavedLunId(reply);
  return "create" + (created >= 0 ? kLun + std::to_string(created) : std::string(" LUN")) + " on " +
         r.GetString(Fields::kTargetId);
}

// The "-li N" of an open's argument string, as given.
std::string DescribeOpenLun(const Message& r, const Reply&) {
  std::string number = "?";
  if (const auto* create = dynamic_cast<const CreateLun*>(&r)) {
    const CNMessageBase* desc = create->getObject(Fields::kBStoreDesc.slot);
    if (desc != nullptr && desc->getTagID() == kBStoreDesc.tagId) {
      const std::string args = desc->getstring(Fields::kBStoreArgs.number, Fields::kBStoreArgs.slot, kBStoreDesc.tagId,
                                               Fields::kBStoreArgs.key);
      CCommandLineArguments parsed(args.c_str());
      std::string given;
      if (parsed.GetOption("li", given).IsSuccess() && !given.empty()) number = given;
    }
  }
  return "open" + kLun + number + " on " + r.GetString(Fields::kTargetId);
}

std::string DescribeDeleteLun(const Message& r, const Reply&) {
  // The close-only flag (1) makes the delete a close of a snapshot LUN.
  const auto* request = dynamic_cast<const Request*>(&r);
  const bool close = request != nullptr && (request->contextFlags() & 1) != 0;
  return (close ? "close" : "delete") + kLun + std::to_string(LunNumber(r, Fields::kDeleteLunId)) + " on " +
         r.GetString(Fields::kTargetId);
}

std::string DescribeMap(const Message& r, const Reply&) {
  return "map" + kLun + std::to_string(LunNumber(r, Fields::kMapLunId)) + " of " + r.GetString(Fields::kMapTargetId) +
         " to host " + r.GetString(Fields::kHostId);
}

std::string DescribeUnMap(const Message& r, const Reply&) {
  return "unmap" + kLun + std::to_string(LunNumber(r, Fields::kMapLunId)) + " of " + r.GetString(Fields::kMapTargetId) +
         " from host " + r.GetString(Fields::kHostId);
}

std::string DescribeAuth(const Message& r, const Reply&) {
  const auto* auth = dynamic_cast<const SetTargetAuth*>(&r);
  if (auth == nullptr || !auth->enabled() || auth->user().empty())
    return "turn off CHAP of target " + r.GetString(Fields::kTargetId);
  std::string users = "user " + auth->user();
  if (!auth->mutualUser().empty()) users += ", mutual user " + auth->mutualUser();
  return "turn on CHAP of target " + auth->targetId() + " (" + users + ")";
}

std::string DescribeResizeLun(const Message& r, const Reply&) {
  return "resize" + kLun + std::to_string(LunNumber(r, Fields::kDeleteLunId)) + " of " +
         r.GetString(Fields::kTargetId) + " to " + std::to_string(r.GetInt(Fields::kResizeBytes)) + " bytes";
}

typedef WzScsiSrvRequestClass C;
typedef WzScsiSrvChangeKind K;
typedef WzScsiSrvTargetLock L;

}  // namespace

// Each row: its dispatch (class, reply, handler, worker); its frame (what it
// does to the saved configuration, the target it locks, whether it waits for
// the start); what it records (saved file, its mode, its etcd change) and the
// words of its audit line.
// clang-format off
namespace WzScsiSrvRequests {
const C kCreateTarget{&WzScsiServer::kCreateTarget, &kCreateTargetRsp, &WzScsiSrv::CreateTarget, WzScsiSrvHandleMessage,
                      K::RECORD, L::NEW_TARGET, true,
                      TargetFileOf, 0644, TargetKeys, DescribeCreateTarget};
const C kStartScsiService{&WzScsiServer::kStartScsiService, &kStartScsiServiceRsp, &WzScsiSrv::StartScsiService,
                          WzScsiSrvHandleMessage,
                          K::QUERY, L::NO_TARGET, false,
                          nullptr, 0, nullptr, nullptr};
const C kMapHost{&kMapLun2Host, &kMapLun2HostRsp, &WzScsiSrv::MapHost, WzScsiSrvHandleMessage,
                 K::RECORD, L::TARGET, true,
                 MappingFileOf, 0644, MapKeys, DescribeMap};
const C kIoctl{&WzScsiServer::kIoctl, &kIoctlRsp, &WzScsiSrv::Ioctl, WzScsiSrvHandleMessage,
               K::QUERY, L::NO_TARGET, false,
               nullptr, 0, nullptr, nullptr};
const C kIgnored4B2E3940{&kUnsupported4B2E3940, &kIoctlRsp, nullptr, WzScsiSrvIgnoreMessage,
                         K::QUERY, L::NO_TARGET, false,
                         nullptr, 0, nullptr, nullptr};
const C kIgnored4B2DD38B{&kUnsupported4B2DD38B, &kIoctlRsp, nullptr, WzScsiSrvIgnoreMessage,
                         K::QUERY, L::NO_TARGET, false,
                         nullptr, 0, nullptr, nullptr};
const C kDeleteTarget{&WzScsiServer::kDeleteTarget, &kDeleteTargetRsp, &WzScsiSrv::DeleteTarget, WzScsiSrvHandleMessage,
                      K::ERASE, L::TARGET, true,
                      TargetDirOf, 0644, TargetRemoval, DescribeDeleteTarget};
const C kCreateLun{&WzScsiServer::kCreateLun, &kCreateLunRsp, &WzScsiSrv::CreateLun, WzScsiSrvHandleMessage,
                   K::RECORD, L::TARGET, true,
                   NewLunFileOf, 0644, LunKeys, DescribeCreateLun};
// Opens are served whatever the service state, and save nothing.
const C kOpenLun{&WzScsiServer::kCreateLun, &kCreateLunRsp, &WzScsiSrv::OpenLun, nullptr,
                 K::QUERY, L::TARGET, false,
                 nullptr, 0, nullptr, DescribeOpenLun};
const C kUnMapHost{&kUnMapLun2Host, &kUnMapLun2HostRsp, &WzScsiSrv::UnMapHost, WzScsiSrvHandleMessage,
                   K::ERASE, L::TARGET, true,
                   MappingFileOf, 0644, MapRemoval, DescribeUnMap};
const C kDeleteLun{&WzScsiServer::kDeleteLun, &kDeleteLunRsp, &WzScsiSrv::DeleteLun, WzScsiSrvHandleMessage,
                   K::ERASE, L::TARGET, true,
                   LunFileOf, 0644, LunRemoval, DescribeDeleteLun};
const C kSetTargetAuth{&WzScsiServer::kSetTargetAuth, &kSetTargetAuthRsp, &WzScsiSrv::SetTargetAuth,
                       WzScsiSrvHandleMessage,
                       K::RECORD, L::TARGET, true,
                       AuthFileOf, 0600, AuthKeys, DescribeAuth};
// A resize saves nothing: the size is the backing store's.
const C kResizeLun{&WzScsiServer::kResizeLun, &kResizeLunRsp, &WzScsiSrv::ResizeLun, WzScsiSrvHandleMessage,
                   K::QUERY, L::TARGET, true,
                   nullptr, 0, nullptr, DescribeResizeLun};
const C kReconcileTarget{&WzScsiServer::kCreateTarget, &kCreateTargetRsp, nullptr, nullptr,
                         K::QUERY, L::TARGET, false,
                         nullptr, 0, nullptr, nullptr};
const C kReconcileLun{&WzScsiServer::kCreateLun, &kCreateLunRsp, nullptr, nullptr,
                      K::QUERY, L::TARGET, false,
                      nullptr, 0, nullptr, nullptr};
const C kReconcileHost{&kMapLun2Host, &kMapLun2HostRsp, nullptr, nullptr,
                       K::QUERY, L::TARGET, false,
                       nullptr, 0, nullptr, nullptr};
}  // namespace WzScsiSrvRequests
// clang-format on

namespace {

namespace Q = WzScsiSrvRequests;
// In the order of the dispatch: the classes of the original protocol first.
const C* const kClasses[] = {
    &Q::kCreateTarget,    &Q::kStartScsiService, &Q::kMapHost,      &Q::kIoctl,
    &Q::kIgnored4B2E3940, &Q::kIgnored4B2DD38B,  &Q::kDeleteTarget, &Q::kCreateLun,
    &Q::kOpenLun,         &Q::kUnMapHost,        &Q::kDeleteLun,    &Q::kSetTargetAuth,
    &Q::kResizeLun,       &Q::kReconcileTarget,  &Q::kReconcileLun, &Q::kReconcileHost,
};

}  // namespace

const WzScsiSrvRequestClass* const* WzScsiSrvRequestClasses(size_t& count) {
  count = sizeof(kClasses) / sizeof(kClasses[0]);
  return kClasses;
}

const WzScsiSrvRequestClass* WzScsiSrvFindRequestClass(uint32_t tagId) {
  for (const C* row : kClasses)
    if (row->worker != nullptr && row->cls->tagId == tagId) return row;
  return nullptr;
}

const FieldId& WzScsiSrvTargetField(uint32_t tagId) {
  return tagId == kMapLun2Host.tagId || tagId == kUnMapLun2Host.tagId ? Fields::kMapTargetId : Fields::kTargetId;
}

int32_t WzScsiSrvSavedLunId(const Reply& reply) {
  auto* created = dynamic_cast<const CreateLunRsp*>(&reply);
  return created != nullptr ? static_cast<int32_t>(created->lunId()) : -1;
}
