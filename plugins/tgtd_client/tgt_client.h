// TgtClient: a small client of tgtd's management socket. Each request opens
// its own connection (tgtd serves one request per connection), sends the
// request, reads the whole reply and closes.
//
// Errors: when tgtd cannot be reached the error carries errno and says so;
// when tgtd refuses a request the error (Win32 code 774) carries tgtd's own
// text, and the status out parameter of the operation holds tgtd's status so
// that callers can tolerate, say, an access rule that already exists.
//
// A tid means something only to the tgtd process that handed it out: a
// restarted tgtd hands the same numbers to other targets. A client bound to
// one process (ForProcess) therefore checks who answers before it sends
// anything, and refuses to send to another process (errno ESTALE).
//
// Thread safety: the object is immutable after construction; any number of
// threads may issue requests at once (each on its own connection).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"
#include "plugins/tgtd_client/tgt_protocol.h"

namespace wztgt {

class TgtClient {
 public:
  // socketPath: the management socket itself (for example
  // "/var/run/tgtd/socket.0"). timeoutMs bounds every send and receive.
  explicit TgtClient(std::string socketPath, int timeoutMs = 30000);

  const std::string& SocketPath() const { return m_socketPath; }

  // A copy that sends requests only to process pid (0: to whoever answers).
  TgtClient ForProcess(pid_t pid) const;

  // One request. text: tgtd's reply text (show requests). status: tgtd's
  // status, or kTgtSuccess when tgtd was not reached. peerPid: the process
  // that answered (null to ignore).
  CRnError Execute(const TgtRequest& request, std::string* text, uint32_t* status, pid_t* peerPid) const;

  // Connects and disconnects without a request: tells whether tgtd listens,
  // and which process it is (a restarted tgtd has another process id).
  CRnError Probe(pid_t& peerPid) const;

  CRnError ShowTargets(std::string& text, pid_t* peerPid = nullptr) const;
  CRnError ShowPortals(std::vector<std::string>& portals) const;
  CRnError NewPortal(const std::string& portal) const;
  CRnError NewTarget(int32_t tid, const std::string& name, uint32_t* status = nullptr) const;
  // force: delete even while initiators are logged in.
  CRnError DeleteTarget(int32_t tid, bool force, uint32_t* status = nullptr) const;
  // blockSize 0: tgtd's default.
  CRnError NewLun(int32_t tid, uint64_t lun, const std::string& path, uint32_t blockSize,
                  uint32_t* status = nullptr) const;
  // A unit on one of tgtd's backing-store modules (tgtadm --bstype, --bsopts):
  // "rbd" with path POOL/IMAGE and options "conf=FILE;id=USER".
  CRnError NewLunOn(int32_t tid, uint64_t lun, const std::string& path, const std::string& bstype,
                    const std::string& bsopts, uint32_t* status = nullptr) const;
  CRnError DeleteLun(int32_t tid, uint64_t lun, uint32_t* status = nullptr) const;
  // The unit serial number a logical unit reports (VPD page 0x80); on LUN 0,
  // the controller's.
  CRnError SetUnitSerial(int32_t tid, uint64_t lun, const std::string& serial, uint32_t* status = nullptr) const;
  // A logical unit's identity in one request: scsi_id (the T10 vendor and
  // NAA type 6 designators of VPD page 0x83) and scsi_sn (page 0x80).
  CRnError SetUnitIdentity(int32_t tid, uint64_t lun, const std::string& serial, uint32_t* status = nullptr) const;
  CRnError BindInitiatorName(int32_t tid, const std::string& initiator, uint32_t* status = nullptr) const;
  CRnError UnbindInitiatorName(int32_t tid, const std::string& initiator, uint32_t* status = nullptr) const;
  // An access rule by address ("ALL", "10.0.0.0/8"): tgtd lists both kinds
  // of rule alike.
  CRnError UnbindInitiatorAddress(int32_t tid, const std::string& address, uint32_t* status = nullptr) const;
  // CHAP accounts. tgtd keeps them by user name, for all targets at once,
  // and binds them to targets by name. The secret never appears in an error
  // text or a log line. A user name holding a comma or a line break, or a
  // secret holding a NUL or a line break, is refused before anything is sent.
  CRnError NewAccount(const std::string& user, const std::string& secret, uint32_t* status = nullptr) const;
  // Unbinds the account from every target, then forgets it.
  CRnError DeleteAccount(const std::string& user, uint32_t* status = nullptr) const;
  CRnError BindAccount(int32_t tid, const std::string& user, TgtAccountDir dir, uint32_t* status = nullptr) const;
  CRnError UnbindAccount(int32_t tid, const std::string& user, TgtAccountDir dir, uint32_t* status = nullptr) const;
  // Asks tgtd to exit; it refuses while it holds targets.
  CRnError DeleteSystem(uint32_t* status = nullptr) const;

 private:
  CRnError Connect(int& fd) const;
  CRnError Simple(TgtMode mode, TgtOp op, int32_t tid, uint64_t lun, bool force, const std::string& body,
                  uint32_t* status) const;
  CRnError AccountRequest(TgtOp op, int32_t tid, const std::string& user, TgtAccountDir dir, uint32_t* status) const;

  std::string m_socketPath;
  int m_timeoutMs;
  pid_t m_process = 0;  // the only process requests go to; 0: any
};

// Whether err says that another tgtd process answered a client bound to one
// (ForProcess): nothing was sent.
bool TgtProcessChanged(const CRnError& err);

// An identity of the tgtd process pid that changes when tgtd restarts, even
// when the new process gets the same id (a container restarted): the
// process id in the low 32 bits, its start time (clock ticks after boot,
// from /proc) above them when readable. Never 0 for pid > 0.
uint64_t TgtdInstanceOf(pid_t pid);

}  // namespace wztgt
