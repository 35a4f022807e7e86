#include "messages/WzScsiServerMessages.h"

#include <cstdio>
#include <cstdlib>

namespace WzScsiServer {

namespace {

template <class T>
CNMessageBase* Make() {
  return new T();
}

struct Registration {
  const ClassId& id;
  CNMessageRegistry::Factory factory;  // null for the classes the service only logs
};

// The catalogue, read top to bottom.
const Registration kRegistrations[] = {
    {kBStoreDesc, &Make<BStoreDesc>},
    {kCreateTargetRsp, &Make<CreateTargetRsp>},
    {kDeleteTarget, &Make<DeleteTarget>},
    {kDeleteLun, &Make<DeleteLun>},
    {kMapLun2Host, &Make<MapLun2Host>},
    {kCreateLunRsp, &Make<CreateLunRsp>},
    {kUnMapLun2Host, &Make<UnMapLun2Host>},
    {kIoctl, &Make<Ioctl>},
    {kDeleteLunRsp, &Make<DeleteLunRsp>},
    {kStartScsiService, &Make<StartScsiService>},
    {kMapLun2HostRsp, &Make<MapLun2HostRsp>},
    {kIoctlRsp, &Make<IoctlRsp>},
    {kUnsupported4B2DD38B, nullptr},
    {kError, &Make<Error>},
    {kUnsupported4B2E3940, nullptr},
    {kRequestContext, &Make<RequestContext>},
    {kUnMapLun2HostRsp, &Make<UnMapLun2HostRsp>},
    {kCreateLun, &Make<CreateLun>},
    {kCreateTarget, &Make<CreateTarget>},
    {kDeleteTargetRsp, &Make<DeleteTargetRsp>},
    {kStartScsiServiceRsp, &Make<StartScsiServiceRsp>},
    {kSetTargetAuth, &Make<SetTargetAuth>},
    {kSetTargetAuthRsp, &Make<SetTargetAuthRsp>},
    {kResizeLun, &Make<ResizeLun>},
    {kResizeLunRsp, &Make<ResizeLunRsp>},
};

// Must not build a catalogue message: their constructors call back into
// RegisterMessages, whose one-time initialisation is still running.
bool RegisterAll() {
  for (const Registration& r : kRegistrations) {
    // false: registered already (by an earlier copy of this library in the
    // process, or a test); the first entry stands.
    (void)CNMessageRegistry::Register(kGroup, r.id.number, r.id.tagId, r.id.name, r.factory);
  }
  return true;
}

struct RegisterAtLoad {
  RegisterAtLoad() { RegisterMessages(); }
} g_registerAtLoad;

// The sub-object at field f as a T (class cls), created empty when missing or
// of another class.
template <class T>
T& SubObject(Message& message, const FieldId& f, const ClassId& cls) {
  CNMessageBase* object =
      message.getObjectAccessor(true, false, f.number, f.slot, message.getTagID(), f.key, kGroup, cls.number);
  if (T* typed = dynamic_cast<T*>(object)) return *typed;
  // Of the class but not of its C++ type: moved in from a message made
  // before the catalogue was registered. A clone is of the registered type.
  message.setObjectAccessor(*object, f.number, f.slot, message.getTagID(), f.key);
  object = message.getObjectAccessor(true, false, f.number, f.slot, message.getTagID(), f.key, kGroup, cls.number);
  if (T* typed = dynamic_cast<T*>(object)) return *typed;
  // Only another registration of this class's (group, number) with another
  // factory leads here: a build fault no caller could recover from.
  std::fprintf(stderr, "WzScsiServer: class %s is registered with a foreign factory\n", cls.name);
  std::abort();
}

const CNMessageBase* SubObjectOfClass(const CNMessageBase& message, int slot, const ClassId& cls) {
  const CNMessageBase* object = message.getObject(slot);
  if (object == nullptr || object->getGroup() != kGroup || object->getNumber() != cls.number) return nullptr;
  return object;
}

struct ResultCodeEntry {
  int64_t code;
  const char* text;
};
const ResultCodeEntry kResultCodes[] = {
    {RC_SUCCESS, "success"},
    {RC_NOT_READY_OR_FAILED, "the service is not ready, or the request failed"},
    {RC_PLATFORM_FAILED, "the platform driver failed"},
    {RC_BSTORE_FAILED, "the backing store failed"},
    {RC_INVALID_ARGUMENT, "invalid argument"},
    {RC_TARGET_EXISTS, "the target already exists"},
    {RC_NOT_FOUND_OR_WRONG_STATE, "the object does not exist or is not in the state the request needs"},
    {RC_HAS_DEPENDANTS, "the object still has dependants"},
};

struct ReplyEntry {
  const ClassId& request;
  const ClassId& reply;
};
const ReplyEntry kReplies[] = {
    {kCreateTarget, kCreateTargetRsp},
    {kDeleteTarget, kDeleteTargetRsp},
    {kCreateLun, kCreateLunRsp},
    {kDeleteLun, kDeleteLunRsp},
    {kMapLun2Host, kMapLun2HostRsp},
    {kUnMapLun2Host, kUnMapLun2HostRsp},
    {kIoctl, kIoctlRsp},
    {kStartScsiService, kStartScsiServiceRsp},
    {kSetTargetAuth, kSetTargetAuthRsp},
    {kResizeLun, kResizeLunRsp},
};

}  // namespace

void RegisterMessages() {
  static const bool registered = RegisterAll();
  (void)registered;
}

const char* ResultCodeText(int64_t code) {
  for (const ResultCodeEntry& entry : kResultCodes) {
    if (entry.code == code) return entry.text;
  }
  return "unknown result code";
}

const ClassId* ReplyClassFor(uint32_t requestTagId) {
  for (const ReplyEntry& entry : kReplies) {
    if (entry.request.tagId == requestTagId) return &entry.reply;
  }
  return nullptr;
}

// ---- Request ----------------------------------------------------------------

RequestContext& Request::context() { return SubObject<RequestContext>(*this, Fields::kContext, kRequestContext); }

int64_t Request::contextFlags() const {
  const CNMessageBase* ctx = SubObjectOfClass(*this, Fields::kContext.slot, kRequestContext);
  if (ctx == nullptr) return 0;
  return ctx->getint64(Fields::kCtxFlags.slot, kRequestContext.tagId, Fields::kCtxFlags.key);
}

void Request::setContext(const CNMessageBase& ctx) {
  setObjectAccessor(ctx, Fields::kContext.number, Fields::kContext.slot, getTagID(), Fields::kContext.key);
}

// ---- Reply ------------------------------------------------------------------

void Reply::setContextFrom(const CNMessageBase& request) {
  const CNMessageBase* ctx = SubObjectOfClass(request, Fields::kContext.slot, kRequestContext);
  if (ctx == nullptr) return;
  setObjectAccessor(*ctx, Fields::kContext.number, Fields::kContext.slot, getTagID(), Fields::kContext.key);
}

void Reply::setError(const Error& error) {
  setObjectAccessor(error, m_errorField.number, m_errorField.slot, getTagID(), m_errorField.key);
}

const Error* Reply::error() const {
  return dynamic_cast<const Error*>(SubObjectOfClass(*this, m_errorField.slot, kError));
}

// ---- CreateLun, IoctlRsp ----------------------------------------------------

BStoreDesc& CreateLun::bstoreDesc() { return SubObject<BStoreDesc>(*this, Fields::kBStoreDesc, kBStoreDesc); }

void CreateLun::setBstoreDesc(const BStoreDesc& d) {
  setObjectAccessor(d, Fields::kBStoreDesc.number, Fields::kBStoreDesc.slot, getTagID(), Fields::kBStoreDesc.key);
}

std::vector<std::string> IoctlRsp::results() const {
  return getliststring(Fields::kResults.slot, getTagID(), Fields::kResults.key);
}

void IoctlRsp::setResults(const std::vector<std::string>& lines) {
  setliststring(Fields::kResults.number, Fields::kResults.slot, lines, getTagID(), Fields::kResults.key);
}

void IoctlRsp::setResults(std::vector<std::string>&& lines) {
  setliststring(Fields::kResults.number, Fields::kResults.slot, std::move(lines), getTagID(), Fields::kResults.key);
}

}  // namespace WzScsiServer
