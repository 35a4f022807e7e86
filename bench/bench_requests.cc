#include "bench/bench_requests.h"

#include <cstdio>

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
  auto m = std::make_unique<WzScsiServer::CreateTarget>();
  m->context().setFlags(0);
  m->setTargetId(target);
  m->setTargetDesc("bench");
  return m;
}

std::unique_ptr<WzScsiServer::DeleteTarget> DeleteTargetRequest(const std::string& target) {
  auto m = std::make_unique<WzScsiServer::DeleteTarget>();
  m->context().setFlags(0);
  m->setTargetId(target);
  return m;
}

std::unique_ptr<WzScsiServer::CreateLun> CreateLunRequest(const std::string& target, const std::string& path) {
  auto m = std::make_unique<WzScsiServer::CreateLun>();
  m->context().setFlags(0);
  m->setTargetId(target);
  m->setBstorType(WzScsiServer::BSTOR_BLKDEV);
  m->bstoreDesc().setArgs("-ti " + target + " -path " + path + " -sp " + kSerialPrefix);
  return m;
}

std::unique_ptr<WzScsiServer::DeleteLun> DeleteLunRequest(const std::string& target, int64_t lunId) {
  auto m = std::make_unique<WzScsiServer::DeleteLun>();
  m->context().setFlags(0);
  m->setTargetId(target);
  m->setLunId(lunId);
  return m;
}

std::unique_ptr<WzScsiServer::MapLun2Host> MapRequest(const std::string& target, int64_t lunId,
                                                      const std::string& host) {
  auto m = std::make_unique<WzScsiServer::MapLun2Host>();
  m->context().setFlags(0);
  m->setTargetId(target);
  m->setLunId(lunId);
  m->setHostId(host);
  return m;
}

std::unique_ptr<WzScsiServer::UnMapLun2Host> UnMapRequest(const std::string& target, int64_t lunId,
                                                          const std::string& host) {
  auto m = std::make_unique<WzScsiServer::UnMapLun2Host>();
  m->context().setFlags(0);
  m->setTargetId(target);
  m->setLunId(lunId);
  m->setHostId(host);
  return m;
}

std::unique_ptr<WzScsiServer::Ioctl> IoctlRequest(const std::string& command, const std::string& arguments) {
  auto m = std::make_unique<WzScsiServer::Ioctl>();
  m->context().setFlags(0);
  m->setCommand(command);
  m->setArguments(arguments);
  return m;
}

std::unique_ptr<WzScsiServer::StartScsiService> StartRequest() {
  auto m = std::make_unique<WzScsiServer::StartScsiService>();
  m->context().setFlags(0);
  return m;
}

std::string LunTuple(const std::string& target, const std::string& host, int32_t lunId, uint64_t creationTime) {
  char buf[512];
  snprintf(buf, sizeof(buf), LunTupleFmt, target.c_str(), host.c_str(), lunId,
           static_cast<unsigned long long>(creationTime));
  return buf;
}

int64_t ReplyCode(const CNMessageBase* reply) {
  auto* r = dynamic_cast<const WzScsiServer::Reply*>(reply);
  if (r == nullptr || r->error() == nullptr) return -1;
  return r->error()->errorCode();
}

}  // namespace wzbench
