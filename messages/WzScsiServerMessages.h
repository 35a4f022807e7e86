// The SCSI service's message catalogue: every request and reply class of
// group 75 with its number, tag id and tag name, typed accessors for its
// fields, the Error record and the result codes.
//
// The identifiers (group, number, tag id, field number, slot and key) are
// the wire and on-disk vocabulary: saved action-log files hold them, so they
// never change.
//
// Thread safety: as CNMessageBase (one thread per message at a time).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hostlib/msg/CNMessageBase.h"

namespace WzScsiServer {

constexpr int kGroup = 75;

// Registers every class of this catalogue with the message library. Runs at
// library load, and again (cheaply, once only) in the constructor of every
// catalogue message, so that a message built by another library's static
// initialiser still gets its tag id. Thread-safe; calling it again is
// harmless.
WZ_EXPORT void RegisterMessages();

// Backing-store types carried by CreateLun.
enum BStorType : int32_t {
  BSTOR_INVALID = 0,
  BSTOR_KERNEL = 1,
  BSTOR_BLKDEV = 2,
  BSTOR_DEVSNAP = 3,
  BSTOR_FSBLB = 4,
  BSTOR_RESERVED5 = 5,  // accepted by the create handler, no library is configured
  BSTOR_NONE = 6,
  BSTOR_RBD = 7,  // a Ceph RBD image ("POOL/IMAGE"), served by the engine itself
};

// Result codes carried in Error.errorCode, with their meaning, in one place.
enum ResultCode : int64_t {
  RC_SUCCESS = 0,
  RC_NOT_READY_OR_FAILED = 1,
  RC_PLATFORM_FAILED = 2,
  RC_BSTORE_FAILED = 3,
  RC_INVALID_ARGUMENT = 4,
  RC_TARGET_EXISTS = 7,
  RC_NOT_FOUND_OR_WRONG_STATE = 8,
  RC_HAS_DEPENDANTS = 9,
};
WZ_EXPORT const char* ResultCodeText(int64_t code);

// Class identifiers: (number, tag id, name). The classes the service never
// builds itself got numbers of this system's own choosing (2, 3, 6, 7, 9, 12,
// 14), so that clients can build them.
struct ClassId {
  int number;
  uint32_t tagId;
  const char* name;
};
constexpr ClassId kBStoreDesc{0, 0x4B335CF0u, "BStoreDesc"};
constexpr ClassId kCreateTargetRsp{1, 0x4BA1AD42u, "CreateTargetRsp"};
constexpr ClassId kDeleteTarget{2, 0x4B270B3Cu, "DeleteTarget"};
constexpr ClassId kDeleteLun{3, 0x4B10623Au, "DeleteLun"};
constexpr ClassId kMapLun2Host{4, 0x4B38AD71u, "MapLun2Host"};
constexpr ClassId kCreateLunRsp{5, 0x4B6F9846u, "CreateLunRsp"};
constexpr ClassId kUnMapLun2Host{6, 0x4B0EE518u, "UnMapLun2Host"};
constexpr ClassId kIoctl{7, 0x4B38AB15u, "Ioctl"};
constexpr ClassId kDeleteLunRsp{8, 0x4B97FDB5u, "DeleteLunRsp"};
constexpr ClassId kStartScsiService{9, 0x4BBAA58Du, "StartScsiService"};
constexpr ClassId kMapLun2HostRsp{10, 0x4BA0D31Eu, "MapLun2HostRsp"};
constexpr ClassId kIoctlRsp{11, 0x4B8E42FAu, "IoctlRsp"};
constexpr ClassId kUnsupported4B2DD38B{12, 0x4B2DD38Bu, "Unsupported4B2DD38B"};
constexpr ClassId kError{13, 0x4B01E1E8u, "Error"};
constexpr ClassId kUnsupported4B2E3940{14, 0x4B2E3940u, "Unsupported4B2E3940"};
constexpr ClassId kRequestContext{16, 0x4B011AD6u, "RequestContext"};
constexpr ClassId kUnMapLun2HostRsp{17, 0x4B572617u, "UnMapLun2HostRsp"};
constexpr ClassId kCreateLun{19, 0x4B1C3949u, "CreateLun"};
constexpr ClassId kCreateTarget{20, 0x4BFEA5CDu, "CreateTarget"};
constexpr ClassId kDeleteTargetRsp{21, 0x4B959D73u, "DeleteTargetRsp"};
constexpr ClassId kStartScsiServiceRsp{22, 0x4B489582u, "StartScsiServiceRsp"};
// Classes this system added: CHAP authentication of a target.
constexpr ClassId kSetTargetAuth{23, 0x4B5A4E17u, "SetTargetAuth"};
constexpr ClassId kSetTargetAuthRsp{24, 0x4B5A4E18u, "SetTargetAuthRsp"};
// Growing a LUN.
constexpr ClassId kResizeLun{25, 0x4B5A4E19u, "ResizeLun"};
constexpr ClassId kResizeLunRsp{26, 0x4B5A4E1Au, "ResizeLunRsp"};

// Every class above, in number order.
constexpr ClassId kAllClasses[] = {
    kBStoreDesc,          kCreateTargetRsp, kDeleteTarget,        kDeleteLun,        kMapLun2Host,      kCreateLunRsp,
    kUnMapLun2Host,       kIoctl,           kDeleteLunRsp,        kStartScsiService, kMapLun2HostRsp,   kIoctlRsp,
    kUnsupported4B2DD38B, kError,           kUnsupported4B2E3940, kRequestContext,   kUnMapLun2HostRsp, kCreateLun,
    kCreateTarget,        kDeleteTargetRsp, kStartScsiServiceRsp, kSetTargetAuth,    kSetTargetAuthRsp, kResizeLun,
    kResizeLunRsp,
};

// A field address: number, slot, key (the tag id is the owning class's).
struct FieldId {
  int number;
  int slot;
  uint32_t key;
};
namespace Fields {
constexpr FieldId kContext{1, 1, 72406};             // every request and reply
constexpr FieldId kError{2, 2, 69957};               // every reply but CreateLunRsp
constexpr FieldId kCtxFlags{3, 3, 68103};            // RequestContext.flags
constexpr FieldId kErrorCode{1, 1, 3792897};         // Error.errorCode
constexpr FieldId kErrorMessage{2, 2, 3797676};      // Error.errorMessage
constexpr FieldId kBStoreArgs{1, 1, 5664057};        // BStoreDesc.args
constexpr FieldId kTargetId{2, 2, 8568492};          // CreateTarget, DeleteTarget, CreateLun, DeleteLun
constexpr FieldId kTargetDesc{3, 6, 12111809};       // CreateTarget
constexpr FieldId kBStorType{10, 10, 13724608};      // CreateLun
constexpr FieldId kBStoreDesc{5, 11, 13228823};      // CreateLun
constexpr FieldId kDeleteLunId{6, 6, 5521761};       // DeleteLun
constexpr FieldId kHostId{2, 2, 3088643};            // MapLun2Host, UnMapLun2Host
constexpr FieldId kMapTargetId{3, 6, 8568492};       // MapLun2Host, UnMapLun2Host
constexpr FieldId kMapLunId{10, 10, 5521761};        // MapLun2Host, UnMapLun2Host
constexpr FieldId kCommand{2, 2, 67866};             // Ioctl
constexpr FieldId kArguments{3, 6, 14823703};        // Ioctl
constexpr FieldId kRspSerialPrefix{2, 2, 1345165};   // CreateLunRsp
constexpr FieldId kRspLunId{3, 6, 5521761};          // CreateLunRsp
constexpr FieldId kRspLunError{4, 7, 69957};         // CreateLunRsp.error
constexpr FieldId kResults{3, 3, 8486062};           // IoctlRsp
constexpr FieldId kAuthEnabled{3, 3, 7310001};       // SetTargetAuth: 1 on, 0 off
constexpr FieldId kAuthUser{4, 4, 7310002};          // SetTargetAuth
constexpr FieldId kAuthSecret{5, 5, 7310003};        // SetTargetAuth
constexpr FieldId kAuthMutualUser{6, 6, 7310004};    // SetTargetAuth
constexpr FieldId kAuthMutualSecret{7, 7, 7310005};  // SetTargetAuth
constexpr FieldId kResizeBytes{7, 7, 7310006};       // ResizeLun: the new size in bytes
}  // namespace Fields

namespace detail {
// Registration before the base constructor looks the class up.
inline int Registered(int number) {
  RegisterMessages();
  return number;
}
}  // namespace detail

// Base of the catalogue's classes: typed field access by FieldId.
class WZ_EXPORT Message : public CNMessageBase {
 public:
  explicit Message(int number) : CNMessageBase(kGroup, detail::Registered(number)) {}
  std::string GetString(const FieldId& f) const { return getstring(f.number, f.slot, getTagID(), f.key); }
  void SetString(const FieldId& f, const std::string& v) { setstring(f.number, f.slot, v, getTagID(), f.key); }
  int64_t GetInt(const FieldId& f) const { return getint64(f.slot, getTagID(), f.key); }
  void SetInt(const FieldId& f, int64_t v) { setint64(f.number, f.slot, v, getTagID(), f.key); }
};

class WZ_EXPORT RequestContext : public Message {
 public:
  RequestContext() : Message(kRequestContext.number) {}
  int64_t flags() const { return GetInt(Fields::kCtxFlags); }
  void setFlags(int64_t v) { SetInt(Fields::kCtxFlags, v); }
};

class WZ_EXPORT Error : public Message {
 public:
  Error() : Message(kError.number) {}
  int64_t errorCode() const { return GetInt(Fields::kErrorCode); }
  void setErrorCode(int64_t v) { SetInt(Fields::kErrorCode, v); }
  std::string errorMessage() const { return GetString(Fields::kErrorMessage); }
  void setErrorMessage(const std::string& v) { SetString(Fields::kErrorMessage, v); }
  bool hasErrorMessage() const { return hasField(Fields::kErrorMessage.slot); }
  // Both at once: a refusal's code and its text.
  void set(int64_t code, const std::string& message) {
    setErrorCode(code);
    setErrorMessage(message);
  }
};

class WZ_EXPORT BStoreDesc : public Message {
 public:
  BStoreDesc() : Message(kBStoreDesc.number) {}
  std::string args() const { return GetString(Fields::kBStoreArgs); }
  void setArgs(const std::string& v) { SetString(Fields::kBStoreArgs, v); }
};

// Every request carries a RequestContext at 1/1; every reply echoes it.
class WZ_EXPORT Request : public Message {
 public:
  explicit Request(int number) : Message(number) {}
  // The context sub-object (created empty when missing or of another class).
  RequestContext& context();
  // The context's flags; 0 when there is no context.
  int64_t contextFlags() const;
  // Stores a copy of ctx at 1/1.
  void setContext(const CNMessageBase& ctx);
};

class WZ_EXPORT Reply : public Message {
 public:
  // errorField: where the reply carries its Error (2/2, or 4/7 for CreateLunRsp)
  Reply(int number, const FieldId& errorField) : Message(number), m_errorField(errorField) {}
  // Copies the request's context into 1/1 (nothing when the request holds no
  // RequestContext at 1/1).
  void setContextFrom(const CNMessageBase& request);
  // Stores a copy of the record at errorField().
  void setError(const Error& error);
  // The Error record held at errorField() (null when none).
  const Error* error() const;
  const FieldId& errorField() const { return m_errorField; }

 private:
  FieldId m_errorField;
};

class WZ_EXPORT CreateTarget : public Request {
 public:
  CreateTarget() : Request(kCreateTarget.number) {}
  std::string targetId() const { return GetString(Fields::kTargetId); }
  void setTargetId(const std::string& v) { SetString(Fields::kTargetId, v); }
  std::string targetDesc() const { return GetString(Fields::kTargetDesc); }
  void setTargetDesc(const std::string& v) { SetString(Fields::kTargetDesc, v); }
};

class WZ_EXPORT DeleteTarget : public Request {
 public:
  DeleteTarget() : Request(kDeleteTarget.number) {}
  std::string targetId() const { return GetString(Fields::kTargetId); }
  void setTargetId(const std::string& v) { SetString(Fields::kTargetId, v); }
};

class WZ_EXPORT CreateLun : public Request {
 public:
  CreateLun() : Request(kCreateLun.number) {}
  std::string targetId() const { return GetString(Fields::kTargetId); }
  void setTargetId(const std::string& v) { SetString(Fields::kTargetId, v); }
  int64_t bstorType() const { return GetInt(Fields::kBStorType); }
  void setBstorType(int64_t v) { SetInt(Fields::kBStorType, v); }
  // The backing-store description sub-object (created empty when missing or
  // of another class); edits through the reference change the request in
  // place. The reference stays valid until the field is set again.
  BStoreDesc& bstoreDesc();
  void setBstoreDesc(const BStoreDesc& d);
};

class WZ_EXPORT DeleteLun : public Request {
 public:
  DeleteLun() : Request(kDeleteLun.number) {}
  std::string targetId() const { return GetString(Fields::kTargetId); }
  void setTargetId(const std::string& v) { SetString(Fields::kTargetId, v); }
  int64_t lunId() const { return GetInt(Fields::kDeleteLunId); }
  void setLunId(int64_t v) { SetInt(Fields::kDeleteLunId, v); }
};

class WZ_EXPORT MapLun2Host : public Request {
 public:
  MapLun2Host() : Request(kMapLun2Host.number) {}
  std::string hostId() const { return GetString(Fields::kHostId); }
  void setHostId(const std::string& v) { SetString(Fields::kHostId, v); }
  std::string targetId() const { return GetString(Fields::kMapTargetId); }
  void setTargetId(const std::string& v) { SetString(Fields::kMapTargetId, v); }
  int64_t lunId() const { return GetInt(Fields::kMapLunId); }
  void setLunId(int64_t v) { SetInt(Fields::kMapLunId, v); }
};

class WZ_EXPORT UnMapLun2Host : public Request {
 public:
  UnMapLun2Host() : Request(kUnMapLun2Host.number) {}
  std::string hostId() const { return GetString(Fields::kHostId); }
  void setHostId(const std::string& v) { SetString(Fields::kHostId, v); }
  std::string targetId() const { return GetString(Fields::kMapTargetId); }
  void setTargetId(const std::string& v) { SetString(Fields::kMapTargetId, v); }
  int64_t lunId() const { return GetInt(Fields::kMapLunId); }
  void setLunId(int64_t v) { SetInt(Fields::kMapLunId, v); }
};

class WZ_EXPORT Ioctl : public Request {
 public:
  Ioctl() : Request(kIoctl.number) {}
  std::string command() const { return GetString(Fields::kCommand); }
  void setCommand(const std::string& v) { SetString(Fields::kCommand, v); }
  std::string arguments() const { return GetString(Fields::kArguments); }
  void setArguments(const std::string& v) { SetString(Fields::kArguments, v); }
};

// Sets or (enabled 0) removes a target's CHAP authentication. Saved in the
// action log readable by the daemon's user only: it holds secrets.
class WZ_EXPORT SetTargetAuth : public Request {
 public:
  SetTargetAuth() : Request(kSetTargetAuth.number) {}
  std::string targetId() const { return GetString(Fields::kTargetId); }
  void setTargetId(const std::string& v) { SetString(Fields::kTargetId, v); }
  bool enabled() const { return GetInt(Fields::kAuthEnabled) != 0; }
  void setEnabled(bool v) { SetInt(Fields::kAuthEnabled, v ? 1 : 0); }
  std::string user() const { return GetString(Fields::kAuthUser); }
  void setUser(const std::string& v) { SetString(Fields::kAuthUser, v); }
  std::string secret() const { return GetString(Fields::kAuthSecret); }
  void setSecret(const std::string& v) { SetString(Fields::kAuthSecret, v); }
  std::string mutualUser() const { return GetString(Fields::kAuthMutualUser); }
  void setMutualUser(const std::string& v) { SetString(Fields::kAuthMutualUser, v); }
  std::string mutualSecret() const { return GetString(Fields::kAuthMutualSecret); }
  void setMutualSecret(const std::string& v) { SetString(Fields::kAuthMutualSecret, v); }
};

// Grows LUN lunId of targetId to size bytes: the backing store grows (an RBD
// image; a LUN's file), then the engine serves the new size. Saves nothing:
// the size is the backing store's.
class WZ_EXPORT ResizeLun : public Request {
 public:
  ResizeLun() : Request(kResizeLun.number) {}
  std::string targetId() const { return GetString(Fields::kTargetId); }
  void setTargetId(const std::string& v) { SetString(Fields::kTargetId, v); }
  int64_t lunId() const { return GetInt(Fields::kDeleteLunId); }
  void setLunId(int64_t v) { SetInt(Fields::kDeleteLunId, v); }
  int64_t size() const { return GetInt(Fields::kResizeBytes); }
  void setSize(int64_t v) { SetInt(Fields::kResizeBytes, v); }
};

class WZ_EXPORT StartScsiService : public Request {
 public:
  StartScsiService() : Request(kStartScsiService.number) {}
};

class WZ_EXPORT CreateTargetRsp : public Reply {
 public:
  CreateTargetRsp() : Reply(kCreateTargetRsp.number, Fields::kError) {}
};
class WZ_EXPORT DeleteTargetRsp : public Reply {
 public:
  DeleteTargetRsp() : Reply(kDeleteTargetRsp.number, Fields::kError) {}
};
class WZ_EXPORT CreateLunRsp : public Reply {
 public:
  CreateLunRsp() : Reply(kCreateLunRsp.number, Fields::kRspLunError) {}
  std::string serialPrefix() const { return GetString(Fields::kRspSerialPrefix); }
  void setSerialPrefix(const std::string& v) { SetString(Fields::kRspSerialPrefix, v); }
  int64_t lunId() const { return GetInt(Fields::kRspLunId); }
  void setLunId(int64_t v) { SetInt(Fields::kRspLunId, v); }
};
class WZ_EXPORT ResizeLunRsp : public Reply {
 public:
  ResizeLunRsp() : Reply(kResizeLunRsp.number, Fields::kError) {}
};
class WZ_EXPORT DeleteLunRsp : public Reply {
 public:
  DeleteLunRsp() : Reply(kDeleteLunRsp.number, Fields::kError) {}
};
class WZ_EXPORT MapLun2HostRsp : public Reply {
 public:
  MapLun2HostRsp() : Reply(kMapLun2HostRsp.number, Fields::kError) {}
};
class WZ_EXPORT UnMapLun2HostRsp : public Reply {
 public:
  UnMapLun2HostRsp() : Reply(kUnMapLun2HostRsp.number, Fields::kError) {}
};
class WZ_EXPORT IoctlRsp : public Reply {
 public:
  IoctlRsp() : Reply(kIoctlRsp.number, Fields::kError) {}
  std::vector<std::string> results() const;
  void setResults(const std::vector<std::string>& lines);
  void setResults(std::vector<std::string>&& lines);
};
class WZ_EXPORT StartScsiServiceRsp : public Reply {
 public:
  StartScsiServiceRsp() : Reply(kStartScsiServiceRsp.number, Fields::kError) {}
};
class WZ_EXPORT SetTargetAuthRsp : public Reply {
 public:
  SetTargetAuthRsp() : Reply(kSetTargetAuthRsp.number, Fields::kError) {}
};

// The reply class that answers a request class (by tag id); null when none.
WZ_EXPORT const ClassId* ReplyClassFor(uint32_t requestTagId);

}  // namespace WzScsiServer
