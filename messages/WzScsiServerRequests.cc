#include "messages/WzScsiServerRequests.h"

namespace WzScsiServer {

namespace {

template <class T>
std::unique_ptr<T> NewRequest(int64_t flags) {
  auto request = std::make_unique<T>();
  RequestContext context;
  if (flags != 0) context.setFlags(flags);
  request->setContext(context);
  return request;
}

}  // namespace

std::unique_ptr<StartScsiService> NewStartScsiService(int64_t flags) { return NewRequest<StartScsiService>(flags); }

std::unique_ptr<CreateTarget> NewCreateTarget(const std::string& name, const std::string& desc, int64_t flags) {
  auto r = NewRequest<CreateTarget>(flags);
  r->setTargetId(name);
  r->setTargetDesc(desc);
  return r;
}

std::unique_ptr<DeleteTarget> NewDeleteTarget(const std::string& name, int64_t flags) {
  auto r = NewRequest<DeleteTarget>(flags);
  r->setTargetId(name);
  return r;
}

std::unique_ptr<CreateLun> NewCreateLun(const std::string& target, int64_t type, const std::string& args,
                                        int64_t flags) {
  auto r = NewRequest<CreateLun>(flags);
  r->setTargetId(target);
  r->setBstorType(type);
  r->bstoreDesc().setArgs(args);
  return r;
}

std::unique_ptr<DeleteLun> NewDeleteLun(const std::string& target, int64_t lunId, int64_t flags) {
  auto r = NewRequest<DeleteLun>(flags);
  r->setTargetId(target);
  r->setLunId(lunId);
  return r;
}

std::unique_ptr<ResizeLun> NewResizeLun(const std::string& target, int64_t lunId, int64_t bytes, int64_t flags) {
  auto r = NewRequest<ResizeLun>(flags);
  r->setTargetId(target);
  r->setLunId(lunId);
  r->setSize(bytes);
  return r;
}

std::unique_ptr<MapLun2Host> NewMapLun2Host(const std::string& target, int64_t lunId, const std::string& host,
                                            int64_t flags) {
  auto r = NewRequest<MapLun2Host>(flags);
  r->setTargetId(target);
  r->setLunId(lunId);
  r->setHostId(host);
  return r;
}

std::unique_ptr<UnMapLun2Host> NewUnMapLun2Host(const std::string& target, int64_t lunId, const std::string& host,
                                                int64_t flags) {
  auto r = NewRequest<UnMapLun2Host>(flags);
  r->setTargetId(target);
  r->setLunId(lunId);
  r->setHostId(host);
  return r;
}

std::unique_ptr<Ioctl> NewIoctl(const std::string& command, const std::string& arguments, int64_t flags) {
  auto r = NewRequest<Ioctl>(flags);
  r->setCommand(command);
  if (!arguments.empty()) r->setArguments(arguments);
  return r;
}

std::unique_ptr<SetTargetAuth> NewSetTargetAuth(const std::string& target, const std::string& user,
                                                const std::string& secret, const std::string& mutualUser,
                                                const std::string& mutualSecret, int64_t flags) {
  auto r = NewRequest<SetTargetAuth>(flags);
  r->setTargetId(target);
  r->setEnabled(!user.empty());
  r->setUser(user);
  r->setSecret(secret);
  r->setMutualUser(mutualUser);
  r->setMutualSecret(mutualSecret);
  return r;
}

}  // namespace WzScsiServer
