// The model records of the SCSI service, and the descriptors the drivers
// receive. WzScsiSrv::Target, ::Lun and ::Host name the three model records
// below; each begins with its descriptor, so a model record is handed to a
// driver as its descriptor.
//
// Thread safety: plain values; the service's model lock guards the records
// stored in its tables.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>

#include "messages/WzScsiServerMessages.h"

class WzScsiSrvPlatform;
class WzScsiBStorOps;

// CHAP authentication of a target: initiators must log in with user and
// secret; with a mutual user the target answers with its own credentials.
// Secrets are 12 to 16 characters (the service checks them) and never
// appear in a log line, a listing or a reply.
struct WZ_EXPORT WzScsiSrvChap {
  bool enabled = false;
  std::string user;
  std::string secret;
  std::string mutualUser;  // empty: one-way
  std::string mutualSecret;
  bool operator==(const WzScsiSrvChap& o) const {
    return enabled == o.enabled && user == o.user && secret == o.secret && mutualUser == o.mutualUser &&
           mutualSecret == o.mutualSecret;
  }
};

// Target descriptor.
struct WZ_EXPORT WzScsiSrvTarget {
  std::string targetId;    // iSCSI qualified name, lower-cased
  std::string targetDesc;  // as the create request gave it

  WzScsiSrvTarget() = default;
  WzScsiSrvTarget(const std::string& id, const std::string& desc) : targetId(id), targetDesc(desc) {}
};

// LUN descriptor.
struct WZ_EXPORT WzScsiSrvLun {
  std::string serialPrefix;
  int32_t lunId = 0;
  std::string targetId;
  std::string path;
  WzScsiServer::BStorType bstorType = WzScsiServer::BSTOR_INVALID;
  uint64_t size = 0;
  uint32_t blockSize = 0;
  uint64_t extParam = 0;
  std::string extData;
  void* bstoreCtx = nullptr;              // owned by the backing store
  WzScsiBStorOps* bstorOps = nullptr;     // owner of bstoreCtx; null for types 1 and 4
  WzScsiSrvPlatform* platform = nullptr;  // not owned
  bool extFlag = false;
  int64_t creationTime = 0;  // seconds since 1970

  WzScsiSrvLun() = default;
  // creationTimeIn null: the current time.
  WzScsiSrvLun(const std::string& targetIdIn, WzScsiSrvPlatform* platformIn, WzScsiServer::BStorType type, void* ctx,
               WzScsiBStorOps* ops, const std::string& serialPrefixIn, int32_t lunIdIn, const std::string& pathIn,
               uint64_t sizeIn, uint32_t blockSizeIn, uint64_t extParamIn, bool extFlagIn,
               const int64_t* creationTimeIn)
      : serialPrefix(serialPrefixIn),
        lunId(lunIdIn),
        targetId(targetIdIn),
        path(pathIn),
        bstorType(type),
        size(sizeIn),
        blockSize(blockSizeIn),
        extParam(extParamIn),
        bstoreCtx(ctx),
        bstorOps(ops),
        platform(platformIn),
        extFlag(extFlagIn),
        creationTime(creationTimeIn != nullptr ? *creationTimeIn : static_cast<int64_t>(::time(nullptr))) {}
};
typedef WzScsiSrvLun WzScsiSrvLun_t;

// Host descriptor.
struct WZ_EXPORT WzScsiSrvHost {
  std::string hostId;  // initiator name, case kept
  std::string hostDesc;

  WzScsiSrvHost() = default;
  WzScsiSrvHost(const std::string& id, const std::string& desc) : hostId(id), hostDesc(desc) {}
};

// Model records (WzScsiSrv::Host, ::Lun, ::Target). Copies are deep: the
// nested tables are copied whole.
struct WZ_EXPORT WzScsiSrvModelHost : public WzScsiSrvHost {
  WzScsiSrvModelHost() = default;
  explicit WzScsiSrvModelHost(const WzScsiSrvHost& h) : WzScsiSrvHost(h) {}
  WzScsiSrvModelHost(const std::string& id, const std::string& desc) : WzScsiSrvHost(id, desc) {}
};

struct WZ_EXPORT WzScsiSrvModelLun : public WzScsiSrvLun {
  std::map<std::string, WzScsiSrvModelHost> hosts;  // by host id, exact case
  // A snapshot LUN that was closed: configured, but out of the engine until
  // it is opened (the engine holding it not is no drift).
  bool closed = false;

  WzScsiSrvModelLun() = default;
  explicit WzScsiSrvModelLun(const WzScsiSrvLun& l) : WzScsiSrvLun(l) {}
};

struct WZ_EXPORT WzScsiSrvModelTarget : public WzScsiSrvTarget {
  std::map<int32_t, WzScsiSrvModelLun> luns;  // by LUN number
  WzScsiSrvChap chap;                         // off unless set

  WzScsiSrvModelTarget() = default;
  explicit WzScsiSrvModelTarget(const WzScsiSrvTarget& t) : WzScsiSrvTarget(t) {}
};
