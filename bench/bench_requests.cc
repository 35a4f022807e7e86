#include "bench/bench_requests.h"

#include <cstdio>

#include "messages/WzScsiServerRequests.h"
#include "service/WzScsiSrv.h"

namespace wzbench {

std::string TargetName(int index) {
  char buf[64];
  snprintf(buf, sizeof(buf), "iqn.2024-01.bench:t%05d", index);
  return buf;
}

std::string HostName(int index) {
  char buf[64];
  snprintf(buf, sizeof(buf), "iqn.2024-01.host:h%05d", index);
  return buf;
}

std::string LunPath(int target, int lun) {
  char buf[64];
  snprintf(buf, sizeof(buf), "/bench/t%05d/lun%03d.img", target, lun);
  return buf;
}

std::unique_ptr<WzScsiServer::CreateTarget> CreateTargetRequest(const std::string& target) {
  return WzScsiServer::NewCreateTarget(target, "bench");
}

std::unique_ptr<WzScsiServer::DeleteTarget> DeleteTargetRequest(const std::string& target) {
  return WzScsiServer::NewDeleteTarget(target);
}

std::unique_ptr<WzScsiServer::CreateLun> CreateLunRequest(const std::string& target, const std::string& path) {
  return WzScsiServer::NewCreateLun(target, WzScsiServer::BSTOR_BLKDEV,
                                    "-ti " + target + " -path " + path + " -sp " + kSerialPrefix);
}

std::unique_ptr<WzScsiServer::DeleteLun> DeleteLunRequest(const std::string& target, int64_t lunId) {
  return WzScsiServer::NewDeleteLun(target, lunId);
}

std::unique_ptr<WzScsiServer::MapLun2Host> MapRequest(const std::string& target, int64_t lunId,
                                                      const std::string& host) {
  return WzScsiServer::NewMapLun2Host(target, lunId, host);
}

std::unique_ptr<WzScsiServer::UnMapLun2Host> UnMapRequest(const std::string& target, int64_t lunId,
                                                          const std::string& host) {
  return WzScsiServer::NewUnMapLun2Host(target, lunId, host);
}

std::unique_ptr<WzScsiServer::Ioctl> IoctlRequest(const std::string& command, const std::string& arguments) {
  return WzScsiServer::NewIoctl(command, arguments);
}

std::unique_ptr<WzScsiServer::StartScsiService> StartRequest() { return WzScsiServer::NewStartScsiService(); }

std::string LunTuple(const std::string& target, const std::string& host, int32_t lunId, uint64_t creationTime) {
  char buf[512];
  snprintf(buf, sizeof(buf), "%s#%s#%d#%llu", target.c_str(), host.c_str(), lunId,
           static_cast<unsigned long long>(creationTime));
  return buf;
}

int64_t ReplyCode(const CNMessageBase* reply) {
  auto* r = dynamic_cast<const WzScsiServer::Reply*>(reply);
  if (r == nullptr || r->error() == nullptr) return -1;
  return r->error()->errorCode();
}

}  // namespace wzbench
