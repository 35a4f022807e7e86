// Requests and names the benchmarks use: the client's view of the catalogue
// (what wzscsictl would send), the names of the synthetic model, and a
// listing line as the service formats it.
//
// Thread safety: plain functions; the messages they return belong to the
// caller.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "messages/WzScsiServerMessages.h"

namespace wzbench {

// The synthetic model's names: target i, host i (both valid iSCSI names).
std::string TargetName(int index);
std::string HostName(int index);
// A backing path a double accepts; nothing is created there.
std::string LunPath(int target, int lun);
constexpr const char* kSerialPrefix = "BENCH";

std::unique_ptr<WzScsiServer::CreateTarget> CreateTargetRequest(const std::string& target);
std::unique_ptr<WzScsiServer::DeleteTarget> DeleteTargetRequest(const std::string& target);
// A block-device LUN on path; the service gives it the next free number.
std::unique_ptr<WzScsiServer::CreateLun> CreateLunRequest(const std::string& target, const std::string& path);
std::unique_ptr<WzScsiServer::DeleteLun> DeleteLunRequest(const std::string& target, int64_t lunId);
std::unique_ptr<WzScsiServer::MapLun2Host> MapRequest(const std::string& target, int64_t lunId,
                                                      const std::string& host);
std::unique_ptr<WzScsiServer::UnMapLun2Host> UnMapRequest(const std::string& target, int64_t lunId,
                                                          const std::string& host);
std::unique_ptr<WzScsiServer::Ioctl> IoctlRequest(const std::string& command, const std::string& arguments = "");
std::unique_ptr<WzScsiServer::StartScsiService> StartRequest();

// One "ll" result line for (target, host, LUN number, creation time).
std::string LunTuple(const std::string& target, const std::string& host, int32_t lunId, uint64_t creationTime);

// The result code of a reply (-1 when it is not a reply or has no Error).
int64_t ReplyCode(const CNMessageBase* reply);

}  // namespace wzbench
