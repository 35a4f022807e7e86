// Builders of every request of the catalogue, each with its RequestContext
// (whose flags field is left out when the flags are 0). Shared by the
// client, the tests and the benchmarks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "messages/WzScsiServerMessages.h"

namespace WzScsiServer {

WZ_EXPORT std::unique_ptr<StartScsiService> NewStartScsiService(int64_t flags = 0);
// CHAP on (with the user and secret, and for mutual CHAP the target's own)
// or, with user empty, off.
WZ_EXPORT std::unique_ptr<SetTargetAuth> NewSetTargetAuth(const std::string& target, const std::string& user,
                                                          const std::string& secret, const std::string& mutualUser,
                                                          const std::string& mutualSecret, int64_t flags = 0);
WZ_EXPORT std::unique_ptr<CreateTarget> NewCreateTarget(const std::string& name, const std::string& desc,
                                                        int64_t flags = 0);
WZ_EXPORT std::unique_ptr<DeleteTarget> NewDeleteTarget(const std::string& name, int64_t flags = 0);
// args: the backing-store argument string (" -ti T -path P -sp SP ...").
WZ_EXPORT std::unique_ptr<CreateLun> NewCreateLun(const std::string& target, int64_t type, const std::string& args,
                                                  int64_t flags = 0);
WZ_EXPORT std::unique_ptr<DeleteLun> NewDeleteLun(const std::string& target, int64_t lunId, int64_t flags = 0);
WZ_EXPORT std::unique_ptr<ResizeLun> NewResizeLun(const std::string& target, int64_t lunId, int64_t bytes,
                                                  int64_t flags = 0);
WZ_EXPORT std::unique_ptr<MapLun2Host> NewMapLun2Host(const std::string& target, int64_t lunId, const std::string& host,
                                                      int64_t flags = 0);
WZ_EXPORT std::unique_ptr<UnMapLun2Host> NewUnMapLun2Host(const std::string& target, int64_t lunId,
                                                          const std::string& host, int64_t flags = 0);
// arguments: left out when empty.
WZ_EXPORT std::unique_ptr<Ioctl> NewIoctl(const std::string& command, const std::string& arguments = "",
                                          int64_t flags = 0);

}  // namespace WzScsiServer
