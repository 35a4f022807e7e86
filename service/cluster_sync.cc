// The cluster mode: several gateways serve one configuration kept in etcd.
//
// A change from a client runs as on a gateway of its own, with etcd as the
// record: an addition is committed to etcd (a transaction that checks that
// its name or number is still free and its parent still there) after the
// engine step and before the reply, and undone in the engine when the
// commit fails; a removal takes its keys out of etcd before the engine step
// and puts them back when that fails. The local action log is kept as a
// cache: written after each commit, rewritten from etcd at every start and
// resync, and replayed alone when etcd cannot be reached at a start.
//
// Every gateway watches the cluster's prefix and applies the others'
// changes through the handlers the replay uses; after a gap in the watch
// (compaction, etcd unreachable) it reads the prefix whole, makes its cache,
// model and engine match it, and watches on from there.
#include "service/cluster_sync.h"

#include <algorithm>
#include <chrono>

#include "actionlog/action_log_layout.h"
#include "actionlog/action_log_writer.h"
#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/errors/no_throw.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/RnFiles.h"
#include "hostlib/util/WzScsiUtils.h"
#include "messages/WzScsiServerRequests.h"
#include "service/handler_frame.h"
#include "targets/target_names.h"

namespace Layout = WzScsiSrvActionLog;
namespace Keys = WzScsiSrvClusterKeys;
using namespace WzScsiServer;

// ---------------------------------------------------------------- keys

namespace WzScsiSrvClusterKeys {
namespace {

std::string Hex(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() * 2);
  for (unsigned char c : text) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

bool Unhex(const std::string& hex, std::string& out) {
  if (hex.empty() || hex.size() % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int value = 0;
    for (size_t j = i; j < i + 2; ++j) {
      const char c = hex[j];
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    out.push_back(static_cast<char>(value));
  }
  return true;
}

std::string Number(int32_t lun) {
  char text[16];
  std::snprintf(text, sizeof text, "%010u", static_cast<unsigned>(lun));
  return text;
}

bool ParseNumber(const std::string& text, int32_t& lun) {
  if (text.size() != 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long long value = std::stoull(text);
  if (value > 0x7fffffffull) return false;
  lun = static_cast<int32_t>(value);
  return true;
}

}  // namespace

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 128) return false;
  for (unsigned char c : name)
    if (!std::isalnum(c) && c != '-' && c != '_' && c != '.') return false;
  return true;
}

std::string Prefix(const std::string& clusterName) { return "/wzscsi/" + clusterName + "/"; }
std::string TargetPrefix(const std::string& prefix, const std::string& target) {
  return prefix + "t/" + Hex(target) + "/";
}
std::string TargetKey(const std::string& prefix, const std::string& target) {
  return TargetPrefix(prefix, target) + "target";
}
std::string AuthKey(const std::string& prefix, const std::string& target) {
  return TargetPrefix(prefix, target) + "auth";
}
std::string SeqKey(const std::string& prefix, const std::string& target) {
  return TargetPrefix(prefix, target) + "seq";
}
std::string LunKey(const std::string& prefix, const std::string& target, int32_t lun) {
  return TargetPrefix(prefix, target) + "lun/" + Number(lun);
}
std::string LunMapsPrefix(const std::string& prefix, const std::string& target, int32_t lun) {
  return TargetPrefix(prefix, target) + "map/" + Number(lun) + "/";
}
std::string MapKey(const std::string& prefix, const std::string& target, int32_t lun, const std::string& host) {
  return LunMapsPrefix(prefix, target, lun) + Hex(host);
}

Parsed Parse(const std::string& prefix, const std::string& key) {
  Parsed out;
  if (key.compare(0, prefix.size() + 2, prefix + "t/") != 0) return out;
  const std::string rest = key.substr(prefix.size() + 2);
  const size_t slash = rest.find('/');
  if (slash == std::string::npos || !Unhex(rest.substr(0, slash), out.target)) return Parsed();
  const std::string tail = rest.substr(slash + 1);
  if (tail == "target") {
    out.kind = Parsed::TARGET;
  } else if (tail == "auth") {
    out.kind = Parsed::AUTH;
  } else if (tail == "seq") {
    out.kind = Parsed::SEQ;
  } else if (tail.compare(0, 4, "lun/") == 0 && ParseNumber(tail.substr(4), out.lun)) {
    out.kind = Parsed::LUN;
  } else if (tail.compare(0, 4, "map/") == 0 && tail.size() > 15 && tail[14] == '/' &&
             ParseNumber(tail.substr(4, 10), out.lun) && Unhex(tail.substr(15), out.host)) {
    out.kind = Parsed::MAP;
  } else {
    return Parsed();
  }
  return out;
}

}  // namespace WzScsiSrvClusterKeys

// ---------------------------------------------------------------- settings

namespace {

const char* const kSection = "Quellport";
constexpr int kProbeIntervalMs = 1000;

std::string SettingText(const char* key) {
  std::string value;
  if (WZPlatformInfo::getString(kSection, key, value).IsError()) return std::string();
  return value;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The cache file of a key's object.
std::string CachePath(const std::string& root, const Keys::Parsed& p) {
  const std::string dir = Layout::TargetDir(root, p.target);
  switch (p.kind) {
    case Keys::Parsed::TARGET:
      return Layout::TargetFile(dir);
    case Keys::Parsed::AUTH:
      return Layout::AuthFile(dir);
    case Keys::Parsed::LUN:
      return Layout::LunFile(dir, p.lun);
    case Keys::Parsed::MAP:
      return Layout::MappingFile(dir, p.host, p.lun);
    default:
      return std::string();
  }
}

std::vector<std::string> ListNames(const std::string& dir) {
  std::vector<std::string> names;
  CRnDirectory listing;
  if (listing.Open(dir, "*", true).IsError()) return names;
  CRnDirEntry entry;
  bool end = false;
  while (listing.GetEntry(entry, end).IsSuccess() && !end) names.push_back(entry.name);
  return names;
}

std::string Join(const std::string& dir, const std::string& name) { return dir + "/" + name; }

std::string Describe(const Keys::Parsed& p) {
  switch (p.kind) {
    case Keys::Parsed::TARGET:
      return "target " + p.target;
    case Keys::Parsed::AUTH:
      return "CHAP of target " + p.target;
    case Keys::Parsed::LUN:
      return "LUN " + std::to_string(p.lun) + " of target " + p.target;
    case Keys::Parsed::MAP:
      return "mapping of host " + p.host + " to LUN " + std::to_string(p.lun) + " of target " + p.target;
    default:
      return "nothing";
  }
}

}  // namespace

CRnError WzScsiSrv::InitCluster() {
  m_etcd.reset();
  const std::string endpoints = SettingText("ClusterEndpoints");
  if (endpoints.empty()) return CRnError();
  m_clusterName = SettingText("ClusterName");
  if (!Keys::ValidName(m_clusterName))
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER,
                                   "ClusterEndpoints is set, so ClusterName must be 1 to 128 letters, digits, "
                                   "\"-\", \"_\" or \".\" (it is \"%s\")",
                                   m_clusterName.c_str());
  WzEtcdClientOptions options;
  if (CRnError e = WzScsiUtils::GetCommaSeperatedValues(endpoints, options.endpoints))
    return e.Push(FX_HERE, "ClusterEndpoints cannot be read");
  options.tlsCaFile = SettingText("ClusterTlsCaFile");
  options.tlsCertFile = SettingText("ClusterTlsCertFile");
  options.tlsKeyFile = SettingText("ClusterTlsKeyFile");
  uint64_t timeoutMs = 2000;
  if (WZPlatformInfo::getNumber(kSection, "ClusterRequestTimeoutMs", timeoutMs).IsError() || timeoutMs < 100)
    timeoutMs = 2000;
  options.requestTimeoutMs = static_cast<int>(std::min<uint64_t>(timeoutMs, 60000));
  if (CRnError e = WzScsiSrvEtcdClient::Create(options, m_etcd)) return e.Push(FX_HERE, "ClusterEndpoints is wrong");
  // Probes and the re-read of a commit whose answer was lost wait less, so
  // that a lost quorum is seen within a second and refused within the
  // request deadline and a half.
  options.requestTimeoutMs = std::max(100, options.requestTimeoutMs / 2);
  if (CRnError e = WzScsiSrvEtcdClient::Create(options, m_etcdQuick)) return e.Push(FX_HERE);
  m_clusterPrefix = Keys::Prefix(m_clusterName);
  WZLOG(0, "Cluster mode: cluster %s on %s (keys under %s)", m_clusterName.c_str(), endpoints.c_str(),
        m_clusterPrefix.c_str());
  return CRnError();
}

// ---------------------------------------------------------------- the frame's steps

CRnError WzScsiSrv::ClusterRefuse(WzScsiSrvHandlerContext& ctx, const CRnError& error, const FXCodeLocation& where) {
  m_clusterAvailable = false;
  return ctx.Refuse(WzScsiSrvRefusal::CLUSTER_UNAVAILABLE, where, CRnError(), ": " + WzEtcd::Reason(error));
}

CRnError WzScsiSrv::ClusterCommit(WzScsiSrvHandlerContext& ctx, int32_t lunId) {
  const Message& request = ctx.Request();
  std::string text;
  if (CRnError e = WzScsiSrvActionLogWriter::SavedText(request, text))
    return ctx.Refuse(WzScsiSrvRefusal::TOO_LARGE_TO_SAVE, FX_HERE, e);
  const std::string& target = ctx.TargetName();
  const std::string targetKey = Keys::TargetKey(m_clusterPrefix, target);
  const uint32_t tag = request.getTagID();
  const bool isTarget = tag == kCreateTarget.tagId;
  std::string key;
  std::vector<WzEtcdCompare> compares;
  if (isTarget) {
    key = targetKey;
    compares.push_back(WzEtcdCompare::Absent(key));
  } else if (tag == kCreateLun.tagId) {
    key = Keys::LunKey(m_clusterPrefix, target, lunId);
    compares.push_back(WzEtcdCompare::Absent(key));
    compares.push_back(
        WzEtcdCompare::Number(targetKey, WzEtcdCompare::Target::kCreateRevision, WzEtcdCompare::Op::kGreater, 0));
  } else if (tag == kMapLun2Host.tagId) {
    const int32_t lun = static_cast<int32_t>(request.GetInt(Fields::kMapLunId));
    key = Keys::MapKey(m_clusterPrefix, target, lun, request.GetString(Fields::kHostId));
    compares.push_back(WzEtcdCompare::Absent(key));
    compares.push_back(WzEtcdCompare::Number(Keys::LunKey(m_clusterPrefix, target, lun),
                                             WzEtcdCompare::Target::kCreateRevision, WzEtcdCompare::Op::kGreater, 0));
  } else if (tag == kSetTargetAuth.tagId) {
    key = Keys::AuthKey(m_clusterPrefix, target);
    compares.push_back(
        WzEtcdCompare::Number(targetKey, WzEtcdCompare::Target::kCreateRevision, WzEtcdCompare::Op::kGreater, 0));
  } else {
    return ctx.Refuse(WzScsiSrvRefusal::INTERNAL_ERROR, FX_HERE, CRnError(), "no cluster key for this request");
  }
  const std::vector<WzEtcdOp> success = {WzEtcdOp::Put(key, text),
                                         WzEtcdOp::Put(Keys::SeqKey(m_clusterPrefix, target), "")};
  WzEtcdTxnResult result;
  if (CRnError e = m_etcd->Txn(compares, success, {}, result)) {
    if (!WzEtcd::IsOutcomeUnknown(e)) return ClusterRefuse(ctx, e, FX_HERE);
    // A commit whose answer was lost may have been made: the key tells, if
    // etcd answers soon.
    WzEtcdRange read;
    CRnError reread = m_etcdQuick->Get(key, read);
    if (reread.IsError() || read.kvs.empty() || read.kvs[0].value != text) {
      if (reread.IsError()) m_clusterAvailable = false;
      return ctx.Refuse(WzScsiSrvRefusal::CLUSTER_OUTCOME_UNKNOWN, FX_HERE, CRnError(), WzEtcd::Reason(e));
    }
    result.succeeded = true;
    result.revision = read.kvs[0].modRevision;
  }
  m_clusterAvailable = true;
  if (!result.succeeded) {
    if (isTarget) return ctx.Refuse(WzScsiSrvRefusal::CLUSTER_TARGET_TAKEN, FX_HERE);
    return ctx.Refuse(WzScsiSrvRefusal::CLUSTER_CONFLICT, FX_HERE, CRnError(),
                      tag == kCreateLun.tagId ? "LUN number " + std::to_string(lunId) + " was taken"
                                              : std::string("the object it belongs to was removed"));
  }
  NoteStoreRevision(result.revision);
  WzMutexLock lock(&m_clusterMutex);
  m_clusterOwnRevisions.insert(result.revision);
  return CRnError();
}

void WzScsiSrv::NoteStoreRevision(int64_t revision) {
  int64_t known = m_clusterStoreRevision.load();
  while (revision > known && !m_clusterStoreRevision.compare_exchange_weak(known, revision)) {
  }
}

CRnError WzScsiSrv::ClusterRemove(WzScsiSrvHandlerContext& ctx) {
  const Message& request = ctx.Request();
  const std::string& target = ctx.TargetName();
  const std::string seqKey = Keys::SeqKey(m_clusterPrefix, target);
  const uint32_t tag = request.getTagID();
  std::vector<WzEtcdCompare> compares;
  std::vector<WzEtcdOp> success;
  std::string dependants;  // a prefix that must hold no key
  if (tag == kDeleteTarget.tagId) {
    const std::string prefix = Keys::TargetPrefix(m_clusterPrefix, target);
    dependants = prefix + "lun/";
    success = {WzEtcdOp::GetPrefix(prefix), WzEtcdOp::DeletePrefix(prefix)};
  } else if (tag == kDeleteLun.tagId) {
    const int32_t lun = static_cast<int32_t>(request.GetInt(Fields::kDeleteLunId));
    const std::string key = Keys::LunKey(m_clusterPrefix, target, lun);
    dependants = Keys::LunMapsPrefix(m_clusterPrefix, target, lun);
    success = {WzEtcdOp::Get(key), WzEtcdOp::Delete(key), WzEtcdOp::Put(seqKey, "")};
  } else if (tag == kUnMapLun2Host.tagId) {
    const int32_t lun = static_cast<int32_t>(request.GetInt(Fields::kMapLunId));
    const std::string key = Keys::MapKey(m_clusterPrefix, target, lun, request.GetString(Fields::kHostId));
    compares.push_back(
        WzEtcdCompare::Number(key, WzEtcdCompare::Target::kCreateRevision, WzEtcdCompare::Op::kGreater, 0));
    success = {WzEtcdOp::Get(key), WzEtcdOp::Delete(key), WzEtcdOp::Put(seqKey, "")};
  } else {
    return CRnError();
  }
  if (!dependants.empty()) {
    // What is under the object now, and the target's change counter: the
    // removal goes through only if nothing was added since.
    WzEtcdTxnResult read;
    if (CRnError e = m_etcd->Txn({}, {WzEtcdOp::Get(seqKey), WzEtcdOp::GetPrefix(dependants)}, {}, read))
      return ClusterRefuse(ctx, e, FX_HERE);
    if (read.results.size() == 2 && !read.results[1].kvs.empty())
      return ctx.Refuse(WzScsiSrvRefusal::CLUSTER_DEPENDANTS, FX_HERE);
    const int64_t seqRevision =
        read.results.empty() || read.results[0].kvs.empty() ? 0 : read.results[0].kvs[0].modRevision;
    compares.push_back(WzEtcdCompare::ModRevisionIs(seqKey, seqRevision));
  }
  WzEtcdTxnResult result;
  if (CRnError e = m_etcd->Txn(compares, success, {}, result)) {
    if (!WzEtcd::IsOutcomeUnknown(e)) return ClusterRefuse(ctx, e, FX_HERE);
    m_clusterAvailable = false;
    return ctx.Refuse(WzScsiSrvRefusal::CLUSTER_OUTCOME_UNKNOWN, FX_HERE, CRnError(), WzEtcd::Reason(e));
  }
  m_clusterAvailable = true;
  if (!result.succeeded)
    return ctx.Refuse(WzScsiSrvRefusal::CLUSTER_CONFLICT, FX_HERE, CRnError(),
                      tag == kUnMapLun2Host.tagId ? "the mapping was removed" : "something was added under it");
  if (!result.results.empty()) ctx.m_clusterRemoved = result.results[0].kvs;
  ctx.m_clusterRemovedDone = true;
  NoteStoreRevision(result.revision);
  WzMutexLock lock(&m_clusterMutex);
  m_clusterOwnRevisions.insert(result.revision);
  return CRnError();
}

void WzScsiSrv::ClusterPutBack(WzScsiSrvHandlerContext& ctx) {
  if (!ctx.m_clusterRemovedDone || ctx.m_clusterRemoved.empty()) return;
  std::vector<WzEtcdOp> puts;
  for (const WzEtcdKeyValue& kv : ctx.m_clusterRemoved) puts.push_back(WzEtcdOp::Put(kv.key, kv.value));
  puts.push_back(WzEtcdOp::Put(Keys::SeqKey(m_clusterPrefix, ctx.TargetName()), ""));
  WzEtcdTxnResult result;
  if (CRnError e = m_etcd->Txn({}, puts, {}, result)) {
    // The engine still holds the object; the other gateways remove it and
    // this one does at its next resync.
    WZLOG(-1, "The removal of %s failed in the engine and could not be put back into the cluster: %s",
          ctx.Subject().c_str(), e.AsString().c_str());
    return;
  }
  WzMutexLock lock(&m_clusterMutex);
  m_clusterOwnRevisions.insert(result.revision);
}

// ---------------------------------------------------------------- following the others

void WzScsiSrv::ApplyClusterEvents(const std::vector<WzEtcdEvent>& events) {
  const WzScsiSrvActionLogWriter writer(m_sActionLogRoot);
  // One transaction's events share its revision: this gateway's own are
  // skipped whole, and forgotten once the update is through.
  std::set<int64_t> own;
  {
    WzMutexLock lock(&m_clusterMutex);
    for (const WzEtcdEvent& event : events)
      if (m_clusterOwnRevisions.count(event.kv.modRevision) != 0) own.insert(event.kv.modRevision);
    for (int64_t revision : own) m_clusterOwnRevisions.erase(revision);
  }
  for (const WzEtcdEvent& event : events) {
    if (own.count(event.kv.modRevision) != 0) continue;
    const Keys::Parsed p = Keys::Parse(m_clusterPrefix, event.kv.key);
    if (p.kind == Keys::Parsed::NONE || p.kind == Keys::Parsed::SEQ) continue;
    if (event.type == WzEtcdEvent::Type::kDelete && !ModelHolds(p)) {
      // Already gone: this gateway's own removal whose answer came after
      // its event, or a removal a resync made.
      CRnError ignored = p.kind == Keys::Parsed::TARGET
                             ? CRnDirectory::Remove(Layout::TargetDir(m_sActionLogRoot, p.target), true, false)
                             : FXFile::RemoveFile(CachePath(m_sActionLogRoot, p));
      (void)ignored;
      continue;
    }
    const std::string dir = Layout::TargetDir(m_sActionLogRoot, p.target);
    const std::string path = CachePath(m_sActionLogRoot, p);
    CRnError applied;
    if (event.type == WzEtcdEvent::Type::kPut) {
      if (CRnError e = writer.SaveText(path, event.kv.value, p.kind == Keys::Parsed::AUTH ? 0600 : 0644)) {
        WZLOG(-1, "The cluster's %s could not be written to the local cache: %s", Describe(p).c_str(),
              e.AsString().c_str());
      }
      switch (p.kind) {
        case Keys::Parsed::TARGET:
          applied = PlaybackTarget(dir, true);
          break;
        case Keys::Parsed::AUTH:
          PlaybackAuth(dir, p.target);
          break;
        case Keys::Parsed::LUN:
          applied = PlaybackOne(path, Layout::LunFileName(p.lun), p.target, PlaybackKind::LUNS, true);
          break;
        case Keys::Parsed::MAP:
          applied = PlaybackOne(path, Layout::MappingFileName(p.host, p.lun), p.target, PlaybackKind::MAPPINGS, true);
          break;
        default:
          break;
      }
    } else {
      switch (p.kind) {
        case Keys::Parsed::TARGET: {
          WzScsiServer::DeleteTarget request;
          request.setTargetId(p.target);
          applied = DeleteTarget(nullptr, &request);
          CRnError ignored = CRnDirectory::Remove(dir, true, false);
          (void)ignored;
          break;
        }
        case Keys::Parsed::LUN: {
          WzScsiServer::DeleteLun request;
          request.setTargetId(p.target);
          request.setLunId(p.lun);
          applied = DeleteLun(nullptr, &request);
          CRnError ignored = FXFile::RemoveFile(path);
          (void)ignored;
          break;
        }
        case Keys::Parsed::MAP: {
          WzScsiServer::UnMapLun2Host request;
          request.setTargetId(p.target);
          request.setLunId(p.lun);
          request.setHostId(p.host);
          applied = UnMapHost(nullptr, &request);
          CRnError ignored = FXFile::RemoveFile(path);
          (void)ignored;
          break;
        }
        default:
          break;  // CHAP goes with its target
      }
    }
    if (applied)
      WZLOG(-1, "Could not apply from the cluster: %s %s (revision %lld): %s",
            event.type == WzEtcdEvent::Type::kPut ? "put" : "removal of", Describe(p).c_str(),
            static_cast<long long>(event.kv.modRevision), applied.AsString().c_str());
    else
      WZLOG(1, "Applied from the cluster: %s %s (revision %lld)",
            event.type == WzEtcdEvent::Type::kPut ? "put" : "removal of", Describe(p).c_str(),
            static_cast<long long>(event.kv.modRevision));
  }
}

bool WzScsiSrv::ModelHolds(const WzScsiSrvClusterKeys::Parsed& p) {
  WzReaderLock model(&m_modelMutex);
  auto slot = m_mapTargets.find(p.target);
  if (slot == m_mapTargets.end() || slot->second->state != TargetSlot::LIVE) return false;
  if (p.kind == Keys::Parsed::TARGET || p.kind == Keys::Parsed::AUTH) return true;
  auto lun = slot->second->target.luns.find(p.lun);
  if (lun == slot->second->target.luns.end()) return false;
  return p.kind == Keys::Parsed::LUN || lun->second.hosts.count(p.host) != 0;
}

void WzScsiSrv::OnClusterUpdate(const WzEtcdWatchUpdate& update) {
  if (update.kind == WzEtcdWatchUpdate::Kind::kEvents) {
    {
      WzWriterLock gate(&m_changeGate);
      CRnError ignored = WzNoThrow(FX_HERE, "Applying the cluster's changes", [&]() WZ_NO_THREAD_SAFETY_ANALYSIS {
        ApplyClusterEvents(update.events);
        return CRnError();
      });
      (void)ignored;
    }
    int64_t last = update.revision;
    for (const WzEtcdEvent& e : update.events) last = std::max(last, e.kv.modRevision);
    m_clusterApplied = std::max(m_clusterApplied.load(), last);
    NoteStoreRevision(last);
    return;
  }
  WzMutexLock lock(&m_clusterMutex);
  if (update.kind == WzEtcdWatchUpdate::Kind::kCompacted) {
    WZLOG(0, "The cluster's history before revision %lld is compacted: reading it whole",
          static_cast<long long>(update.compactRevision));
    m_clusterNeedResync = true;
  }
  m_clusterWake.SignalAll();
}

CRnError WzScsiSrv::SyncCacheFrom(const WzEtcdRange& range) {
  const WzScsiSrvActionLogWriter writer(m_sActionLogRoot);
  std::set<std::string> wanted;
  CRnError first;
  size_t written = 0;
  for (const WzEtcdKeyValue& kv : range.kvs) {
    const Keys::Parsed p = Keys::Parse(m_clusterPrefix, kv.key);
    const std::string path = CachePath(m_sActionLogRoot, p);
    if (path.empty()) continue;
    wanted.insert(path);
    std::string current;
    CRnFile in;
    if (in.Open(path, 0, 0).IsSuccess() && in.ReadAll(current, kv.value.size() + 1).IsSuccess() && current == kv.value)
      continue;
    if (CRnError e = writer.SaveText(path, kv.value, p.kind == Keys::Parsed::AUTH ? 0600 : 0644)) {
      if (first.IsSuccess()) first = e;
      continue;
    }
    ++written;
  }
  // What the cluster no longer holds leaves the cache.
  size_t removed = 0;
  const std::string targets = Layout::TargetsDir(m_sActionLogRoot);
  for (const std::string& name : ListNames(targets)) {
    const std::string dir = Join(targets, name);
    if (Layout::IsTemporaryName(name)) continue;
    if (wanted.count(Layout::TargetFile(dir)) == 0) {
      if (CRnDirectory::Remove(dir, true, false).IsSuccess()) ++removed;
      continue;
    }
    std::vector<std::string> files = {Layout::AuthFile(dir)};
    for (const std::string& sub : {Layout::LunsDir(dir), Layout::MappingsDir(dir)})
      for (const std::string& file : ListNames(sub))
        if (Layout::IsSavedRequestName(file)) files.push_back(Join(sub, file));
    for (const std::string& file : files)
      if (wanted.count(file) == 0 && CRnPath::Exists(file) && FXFile::RemoveFile(file).IsSuccess()) ++removed;
  }
  WZLOG(0, "Local cache brought up to the cluster's revision %lld: %zu files written, %zu removed",
        static_cast<long long>(range.revision), written, removed);
  return first;
}

void WzScsiSrv::RemoveWhatTheCacheLacks() {
  const TargetMap model = SnapshotTargets();
  for (const auto& entry : model) {
    const std::string& name = entry.first;
    const Target& target = entry.second;
    const std::string dir = Layout::TargetDir(m_sActionLogRoot, name);
    const bool targetGone = !CRnPath::Exists(Layout::TargetFile(dir));
    for (const auto& unit : target.luns) {
      const bool lunGone = targetGone || !CRnPath::Exists(Layout::LunFile(dir, unit.first));
      for (const auto& host : unit.second.hosts) {
        if (!lunGone && CRnPath::Exists(Layout::MappingFile(dir, host.first, unit.first))) continue;
        WzScsiServer::UnMapLun2Host request;
        request.setTargetId(name);
        request.setLunId(unit.first);
        request.setHostId(host.first);
        if (CRnError e = UnMapHost(nullptr, &request))
          WZLOG(-1, "Resync: could not unmap %s from LUN %d of %s: %s", host.first.c_str(), unit.first, name.c_str(),
                e.AsString().c_str());
      }
      if (!lunGone) continue;
      WzScsiServer::DeleteLun request;
      request.setTargetId(name);
      request.setLunId(unit.first);
      if (CRnError e = DeleteLun(nullptr, &request))
        WZLOG(-1, "Resync: could not delete LUN %d of %s: %s", unit.first, name.c_str(), e.AsString().c_str());
    }
    if (targetGone) {
      WzScsiServer::DeleteTarget request;
      request.setTargetId(name);
      if (CRnError e = DeleteTarget(nullptr, &request))
        WZLOG(-1, "Resync: could not delete target %s: %s", name.c_str(), e.AsString().c_str());
    } else if (target.chap.enabled && !CRnPath::Exists(Layout::AuthFile(dir))) {
      auto off = NewSetTargetAuth(name, "", "", "", "", 0);
      if (CRnError e = SetTargetAuth(nullptr, off.get()))
        WZLOG(-1, "Resync: could not turn CHAP of %s off: %s", name.c_str(), e.AsString().c_str());
    }
  }
}

CRnError WzScsiSrv::ClusterResync(const char* why) {
  {
    std::unique_ptr<WzEtcdWatch> old;
    {
      WzMutexLock lock(&m_clusterMutex);
      old = std::move(m_clusterWatch);
    }
    if (old) old->Stop();
  }
  WzEtcdRange range;
  if (CRnError e = m_etcd->GetPrefix(m_clusterPrefix, range)) {
    m_clusterAvailable = false;
    return e.Push(FX_HERE);
  }
  m_clusterAvailable = true;
  WZLOG(0, "Cluster resync (%s) at revision %lld", why, static_cast<long long>(range.revision));
  CRnError synced = SyncCacheFrom(range);
  {
    WzWriterLock gate(&m_changeGate);
    RemoveWhatTheCacheLacks();
  }
  CRnError played = Playback(true);
  (void)played;
  ReconcileReport report;
  CRnError reconciled = Reconcile(false, std::string("cluster resync"), report);
  (void)reconciled;
  {
    WzMutexLock lock(&m_clusterMutex);
    m_clusterNextRevision = range.revision + 1;
    m_clusterNeedResync = false;
    m_clusterOwnRevisions.clear();
  }
  m_clusterApplied = range.revision;
  return synced;
}

void WzScsiSrv::ClusterStartSync() {
  if (!ClusterMode()) return;
  WzEtcdRange range;
  if (CRnError e = m_etcd->GetPrefix(m_clusterPrefix, range)) {
    m_clusterAvailable = false;
    WZLOG(0, "The cluster cannot be reached (%s): starting from the local cache", WzEtcd::Reason(e).c_str());
    WzMutexLock lock(&m_clusterMutex);
    m_clusterNeedResync = true;
    return;
  }
  m_clusterAvailable = true;
  CRnError ignored = SyncCacheFrom(range);
  (void)ignored;
  WzMutexLock lock(&m_clusterMutex);
  m_clusterNextRevision = range.revision + 1;
  m_clusterNeedResync = false;
  m_clusterApplied = range.revision;
}

void WzScsiSrv::StartClusterSync() {
  if (!ClusterMode() || m_clusterThread) return;
  {
    WzMutexLock lock(&m_clusterMutex);
    m_clusterStop = false;
  }
  m_clusterThread = std::make_unique<std::thread>([this] { ClusterLoop(); });
}

void WzScsiSrv::StopClusterSync() {
  if (m_clusterThread) {
    {
      WzMutexLock lock(&m_clusterMutex);
      m_clusterStop = true;
    }
    m_clusterWake.SignalAll();
    m_clusterThread->join();
    m_clusterThread.reset();
  }
  std::unique_ptr<WzEtcdWatch> watch;
  {
    WzMutexLock lock(&m_clusterMutex);
    watch = std::move(m_clusterWatch);
  }
  if (watch) watch->Stop();
}

void WzScsiSrv::ClusterLoop() WZ_NO_THREAD_SAFETY_ANALYSIS {
  int64_t lastFailureLog = 0;
  for (;;) {
    bool resync = false;
    bool watching = false;
    int64_t from = 0;
    {
      WzMutexLock lock(&m_clusterMutex);
      if (m_clusterStop) return;
      resync = m_clusterNeedResync;
      watching = m_clusterWatch && m_clusterWatch->Running();
      from = m_clusterWatch ? m_clusterWatch->NextRevision() : m_clusterNextRevision;
    }
    // The probe: a linearizable read fails at once without quorum.
    WzEtcdRange probe;
    CRnError probed = m_etcdQuick->Get(m_clusterPrefix + "probe", probe);
    m_clusterAvailable = probed.IsSuccess();
    if (probed.IsSuccess()) {
      NoteStoreRevision(probe.revision);
      CRnError result;
      if (resync) {
        result = WzNoThrow(FX_HERE, "Cluster resync", [&] { return ClusterResync("after a gap"); });
      } else if (!watching && !m_stopping.load()) {
        std::unique_ptr<WzEtcdWatch> watch;
        result = m_etcd->Watch(
            m_clusterPrefix, from, [this](const WzEtcdWatchUpdate& u) { OnClusterUpdate(u); }, watch);
        if (result.IsSuccess()) {
          WzMutexLock lock(&m_clusterMutex);
          m_clusterNextRevision = from;
          m_clusterWatch = std::move(watch);
        }
      }
      if (result.IsError() && NowMs() - lastFailureLog > 60000) {
        lastFailureLog = NowMs();
        WZLOG(-1, "Following the cluster failed: %s", result.AsString().c_str());
      }
    }
    WzMutexLock lock(&m_clusterMutex);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProbeIntervalMs);
    while (!(m_clusterStop || m_clusterNeedResync || (m_clusterWatch && !m_clusterWatch->Running())) &&
           std::chrono::steady_clock::now() < until)
      m_clusterWake.WaitFor(&m_clusterMutex, until - std::chrono::steady_clock::now());
  }
}

void WzScsiSrv::ClusterStatusLines(std::vector<std::string>& lines) {
  if (!ClusterMode()) return;
  lines.push_back("cluster.name=" + m_clusterName);
  lines.push_back(std::string("cluster.available=") + (m_clusterAvailable.load() ? "yes" : "no"));
  const int64_t applied = m_clusterApplied.load();
  const int64_t store = m_clusterStoreRevision.load();
  lines.push_back("cluster.revision=" + std::to_string(applied));
  lines.push_back("cluster.storeRevision=" + std::to_string(store));
  lines.push_back("cluster.lag=" + std::to_string(store > applied ? store - applied : 0));
  bool watching = false;
  {
    WzMutexLock lock(&m_clusterMutex);
    watching = m_clusterWatch && m_clusterWatch->Running();
  }
  lines.push_back(std::string("cluster.watching=") + (watching ? "yes" : "no"));
  std::vector<WzEtcdMember> members;
  if (m_etcd->MemberList(members).IsSuccess()) {
    lines.push_back("cluster.members=" + std::to_string(members.size()));
    for (const WzEtcdMember& m : members)
      lines.push_back("cluster.member=" + m.name + " " + (m.clientUrls.empty() ? std::string("-") : m.clientUrls[0]));
  }
}
