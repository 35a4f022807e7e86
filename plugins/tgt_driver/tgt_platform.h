// WzScsiSrvTgtPlatform: the platform driver on tgtd, the userspace SCSI
// target daemon, driven through its management socket.
//
// Settings (configuration store, section "WzScsiSrvTgt"; a key missing there
// is read from the section "WzScsiSrvLio", where configurations written
// before the kernel target driver existed keep it):
//   TgtdControlSocket  tgtd's management socket; default: $TGT_IPC_SOCKET
//                      plus ".0" when that variable is set, else
//                      /var/run/tgtd/socket.0
//   TgtdPortal         "address:port" that tgtd must listen on; Init adds it
//                      when tgtd lacks it. Empty: not checked.
//
// Mapping onto tgtd:
// - a target is a tgtd target of the same name; its tid is tgtd's business:
//   the driver takes the lowest free one, or adopts the target tgtd already
//   holds under that name, and persists nothing;
// - the service's targets carry a mark tgtd keeps and lists with them: the
//   unit serial of LUN 0 (tgtd's controller) is OwnerMark(name). tgtd keeps
//   no free-form tag with a target, and its iSCSI alias cannot be set. The
//   driver lists, removes and changes only marked targets; creating a target
//   that tgtd holds unmarked (made by an earlier version, or by hand and
//   then configured in the service) adopts and marks it;
// - a LUN is a tgtd logical unit (numbers 1 to 255; LUN 0 is tgtd's
//   controller) backed by the LUN's path, reporting the LUN's unit serial
//   (drivers/unit_serial.h) as its scsi_sn and its scsi_id, from which tgtd
//   makes the designators of VPD page 0x83, so that the LUN is one disk on
//   every gateway whatever tid each tgtd gave the target; a new LUN gets the lowest number that is
//   neither in use nor held by a closed snapshot LUN, a replayed one its
//   saved number; an existing unit of that number is adopted when its
//   backing file is the same (its identity set when it differs) and is a
//   conflict otherwise;
// - tgtd controls access per target, not per LUN, so a host mapped to any LUN
//   of a target is bound to the whole target by initiator name; the driver
//   counts each host's mappings per target and unbinds it when the last one
//   goes. No target is ever opened to all initiators.
// - CHAP: tgtd keeps accounts (user name and secret) for all targets at
//   once and binds them to targets by user name. A target with CHAP on has
//   two incoming accounts, in this order: the hold account kHoldAccount
//   (a random secret nobody knows) and the CHAP user's account; with mutual
//   CHAP the mutual user's account is its outgoing account. The hold account
//   keeps tgtd asking for CHAP while the user's account is replaced (tgtd
//   cannot change a secret, only delete the account and make it again;
//   deleting it unbinds it everywhere, and a target without incoming
//   accounts lets every mapped initiator in without CHAP). It comes first
//   because tgtd's target listing dereferences an empty slot among the
//   ones in use and crashes when an account before another one is unbound;
//   so accounts are unbound last first. Accounts are shared by user name:
//   two targets may use one user name only with one secret, and an account
//   is deleted when the last target that binds it lets it go. An account
//   that a target of another tool binds is never replaced.
//   tgtd lists which accounts a target binds but never their secrets, so
//   the first time the driver needs an account it finds in tgtd, it makes
//   it again with the configured secret.
//
// Restart: the driver keeps a picture of tgtd (read at Init, kept up to date
// by its own requests, read again whenever tgtd's process changes), so a
// replay after a restart of the service adopts what tgtd holds and changes
// nothing, and initiator sessions survive.
//
// Thread safety: all operations may be called from any thread at once;
// calls for one target must come one at a time (the service's per-target
// locks). The internal lock guards the picture, tid and LUN number choice
// and the bookkeeping, and is never held across a request to tgtd, so calls
// for different targets proceed in parallel. Every request goes only to the
// tgtd process the picture describes (wztgt::TgtClient::ForProcess); a call
// that meets another process reads tgtd again and starts over once.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "drivers/WzScsiSrvPlatform.h"
#include "hostlib/util/wz_mutex.h"
#include "plugins/tgtd_client/tgt_client.h"
#include "plugins/tgtd_client/tgt_state.h"

class WzScsiSrvTgtPlatform : public WzScsiSrvPlatform {
 public:
  static constexpr const char* kSection = "WzScsiSrvTgt";
  static constexpr const char* kLegacySection = "WzScsiSrvLio";
  static constexpr const char* kKeyControlSocket = "TgtdControlSocket";
  static constexpr const char* kKeyPortal = "TgtdPortal";
  static constexpr int32_t kMaxLunNumber = 255;
  static constexpr const char* kOwnerMarkPrefix = "WZSCSI";
  // EngineInstance gives up on a tgtd that does not accept within this.
  static constexpr int kProbeTimeoutMs = 1000;
  // The incoming account bound first to every target with CHAP on; no CHAP
  // user may take its name.
  static constexpr const char* kHoldAccount = "wzscsi.hold";

  WzScsiSrvTgtPlatform() = default;
  ~WzScsiSrvTgtPlatform() override = default;
  WzScsiSrvTgtPlatform(const WzScsiSrvTgtPlatform&) = delete;
  WzScsiSrvTgtPlatform& operator=(const WzScsiSrvTgtPlatform&) = delete;

  // The serial of LUN 0 that marks target name as the service's:
  // "WZSCSI" + 8 hex digits of the lower-cased name's id + "0000".
  static std::string OwnerMark(const std::string& name);

  // Reads the settings, reaches tgtd (a clear error when it does not run),
  // checks the portal and reads what tgtd holds.
  CRnError Init() override;
  CRnError CreateTarget(WzScsiSrvModelTarget& target) override;
  CRnError DeleteTarget(WzScsiSrvModelTarget& target) override;
  CRnError CreateLun(WzScsiSrvLun* lun) override;
  CRnError DeleteLun(WzScsiSrvLun* lun) override;
  CRnError MapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) override;
  CRnError UnMapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) override;
  // Marked targets only, read afresh; tgtd grants whole targets, so
  // perLunAccess is false and every access rule of a target is a host with
  // an empty LUN set. LUN 0 is left out. A LUN's identity is its scsi_id.
  CRnError ListOwned(WzScsiSrvEngineView& view) override;
  CRnError RemoveOrphan(const WzScsiSrvOrphan& orphan) override;
  // Forgets tgtd; tgtd keeps its configuration (targets are not torn down).
  CRnError CleanUp() override;
  // TgtdInstanceOf the process answering on the management socket (one
  // connection, no request); 0 while none answers or before Init.
  uint64_t EngineInstance() override;
  // Binds (or, chap off, unbinds) the target's accounts. CreateTarget binds
  // them too when target.chap is on, so a replay or a reconcile after a tgtd
  // restart brings CHAP back before any host is mapped; it never unbinds
  // them (a replay may turn CHAP on only after the creation). tgtd asks
  // every initiator of the target for the same credentials, so MapHost
  // needs nothing of CHAP.
  CRnError SetTargetAuth(WzScsiSrvModelTarget& target, const WzScsiSrvChap& chap) override;

 private:
  // Host id -> LUN numbers of one target mapped to it.
  typedef std::map<std::string, std::set<int32_t>> HostLuns;

  // What one call works with: a client that reaches only the tgtd process
  // the picture describes (and that process's identity), and the unbound
  // client for reading tgtd again.
  struct TgtdLink {
    std::shared_ptr<const wztgt::TgtClient> any;
    wztgt::TgtClient client;
    uint64_t instance;
  };
  // A target of the picture as one call needs it, copied out under the lock.
  struct TargetCopy {
    bool found = false;
    bool marked = false;
    wztgt::TgtTargetInfo info;
  };

  CRnError ReadSettings(std::string& socketPath, std::string& portal);
  CRnError EnsurePortal(const wztgt::TgtClient& client);
  // Makes the picture describe the tgtd process that answers now.
  CRnError Connect(std::optional<TgtdLink>& link) WZ_EXCLUDES(m_lock);
  CRnError ReadTgtd(const wztgt::TgtClient& client, std::vector<wztgt::TgtTargetInfo>* shown = nullptr)
      WZ_EXCLUDES(m_lock);
  // Runs body on a current link; once more when tgtd changed under it.
  template <typename Body>
  CRnError WithLink(Body&& body) WZ_EXCLUDES(m_lock);
  TargetCopy CopyTarget(const std::string& name) WZ_EXCLUDES(m_lock);
  // The booked entry of tid when it still names target name in the picture
  // of instance; null otherwise (tgtd changed since the request).
  wztgt::TgtTargetInfo* BookedTarget(uint64_t instance, int32_t tid, const std::string& name) WZ_REQUIRES(m_lock);
  CRnError RefuseForeign(const FXCodeLocation& where, const TargetCopy& t) const;

  CRnError CreateTargetOnce(const TgtdLink& link, const std::string& name) WZ_EXCLUDES(m_lock);
  CRnError MarkTarget(const TgtdLink& link, const wztgt::TgtTargetInfo& target) WZ_EXCLUDES(m_lock);
  CRnError DeleteTargetOnce(const TgtdLink& link, const std::string& name, bool orphan) WZ_EXCLUDES(m_lock);
  CRnError CreateLunOnce(const TgtdLink& link, WzScsiSrvLun& lun, bool mayReread) WZ_EXCLUDES(m_lock);
  CRnError DeleteLunOnce(const TgtdLink& link, const WzScsiSrvLun& lun, bool closeOnly) WZ_EXCLUDES(m_lock);
  CRnError RemoveLunOrphan(const TgtdLink& link, const std::string& targetId, int32_t lunId) WZ_EXCLUDES(m_lock);
  CRnError MapHostOnce(const TgtdLink& link, const WzScsiSrvModelLun& lun, const std::string& host) WZ_EXCLUDES(m_lock);
  // lunId -1: the whole binding, whatever the host's mapping count says.
  CRnError UnMapHostOnce(const TgtdLink& link, const std::string& targetId, int32_t lunId, const std::string& host)
      WZ_EXCLUDES(m_lock);

  // CHAP (see above; tgt_chap.cc). Everything runs under m_authLock, taken
  // before m_lock and held across requests to tgtd: accounts are tgtd's for
  // all targets at once, so changes for two targets meet in them.
  // Sets the CHAP of target (on or off) and books it.
  CRnError ChangeChap(const TgtdLink& link, const WzScsiSrvModelTarget& target, const WzScsiSrvChap& chap)
      WZ_EXCLUDES(m_authLock, m_lock);
  // mine: the users of the target's CHAP before the call (the model's and
  // the driver's), whose accounts are the driver's to delete.
  CRnError ApplyChap(const TgtdLink& link, const std::string& name, const WzScsiSrvChap& chap,
                     const std::set<std::string>& mine) WZ_REQUIRES(m_authLock) WZ_EXCLUDES(m_lock);
  // A user name may carry one secret only, whichever targets use it.
  CRnError CheckSharedUsers(const std::string& key, const WzScsiSrvChap& chap) WZ_REQUIRES(m_authLock);
  // Makes sure tgtd holds the account with this secret (anySecret: with any).
  CRnError EnsureAccount(const TgtdLink& link, const std::string& user, const std::string& secret, bool anySecret)
      WZ_REQUIRES(m_authLock) WZ_EXCLUDES(m_lock);
  CRnError ReplaceAccount(const TgtdLink& link, const std::string& user, const std::string& secret)
      WZ_REQUIRES(m_authLock) WZ_EXCLUDES(m_lock);
  // Binds or unbinds one account of target t and books it in the picture;
  // binding what is bound and unbinding what is not are done already.
  CRnError BindOne(const TgtdLink& link, const wztgt::TgtTargetInfo& t, const std::string& user,
                   wztgt::TgtAccountDir dir, bool bind, uint32_t* status = nullptr) WZ_REQUIRES(m_authLock)
      WZ_EXCLUDES(m_lock);
  // Binds the account, making it again first when it has gone from tgtd.
  CRnError BindAccount(const TgtdLink& link, const wztgt::TgtTargetInfo& t, const std::string& user,
                       const std::string& secret, wztgt::TgtAccountDir dir) WZ_REQUIRES(m_authLock) WZ_EXCLUDES(m_lock);
  // Deletes those of users that no target binds and no other target than
  // key uses, when they are the driver's: made by it, the hold account, or
  // in mine.
  void DropUnusedAccounts(const TgtdLink& link, const std::string& key, const std::set<std::string>& users,
                          const std::set<std::string>& mine) WZ_REQUIRES(m_authLock) WZ_EXCLUDES(m_lock);
  // Target name is gone from tgtd (held: what it bound): its accounts may be
  // unused now.
  void ForgetTargetAuth(const TgtdLink& link, const std::string& name, const wztgt::TgtTargetInfo* held)
      WZ_EXCLUDES(m_authLock, m_lock);

  std::string m_portal;  // set by Init, read-only afterwards
  WzMutex m_lock;
  // Both null before Init and after CleanUp.
  std::shared_ptr<const wztgt::TgtClient> m_client WZ_GUARDED_BY(m_lock);
  std::shared_ptr<const wztgt::TgtClient> m_probe WZ_GUARDED_BY(m_lock);  // short timeout
  wztgt::TgtPicture m_picture WZ_GUARDED_BY(m_lock);
  std::set<int32_t> m_newTids WZ_GUARDED_BY(m_lock);                 // taken by target creations in flight
  std::map<std::string, HostLuns> m_hostLuns WZ_GUARDED_BY(m_lock);  // by lower-cased target name
  // Numbers of closed snapshot LUNs, by lower-cased target name: they are out
  // of tgtd but still configured, so a new LUN must not take their number;
  // a delete of the LUN for good gives the number back. Lost at a restart,
  // which does no harm: the replay re-creates closed LUNs under their
  // numbers.
  std::map<std::string, std::set<int32_t>> m_closedLuns WZ_GUARDED_BY(m_lock);

  WzMutex m_authLock WZ_ACQUIRED_BEFORE(m_lock);
  // CHAP of the targets that have it on, by lower-cased target name, as
  // CreateTarget and SetTargetAuth last set it.
  std::map<std::string, WzScsiSrvChap> m_chap WZ_GUARDED_BY(m_authLock);
  // Accounts the driver made in tgtd instance m_accountsInstance, with their
  // secrets: tgtd never shows a secret, so only these are known to be right.
  std::map<std::string, std::string> m_accounts WZ_GUARDED_BY(m_authLock);
  uint64_t m_accountsInstance WZ_GUARDED_BY(m_authLock) = 0;
};
