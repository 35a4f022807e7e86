// What tgtd holds: its targets with their logical units, access-control
// entries and sessions, read from the text of "target show", a table of
// them, and the platform driver's picture of tgtd built on that table.
//
// Thread safety: plain values; the owner serialises access.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"

namespace wztgt {

struct TgtLu {
  uint64_t lun = 0;
  std::string type;    // "disk", "controller", ...
  std::string path;    // backing store path ("None" for the controller LUN)
  std::string bsType;  // "rdwr", "null", ...
  std::string serial;  // unit serial number (VPD page 0x80), "SCSI SN"
  std::string scsiId;  // what the designators of VPD page 0x83 derive from, "SCSI ID"
};

struct TgtSessionInfo {
  uint64_t nexus = 0;
  std::string initiator;
};

struct TgtTargetInfo {
  int32_t tid = 0;
  std::string name;
  std::map<uint64_t, TgtLu> luns;  // LUN 0, the controller, included
  std::set<std::string> acls;      // initiator names and addresses alike
  std::vector<TgtSessionInfo> sessions;
  // CHAP accounts bound to the target: incoming in tgtd's order (the order
  // of its slots), and the outgoing one ("" when none).
  std::vector<std::string> accounts;
  std::string outgoingAccount;
};

// Parses the text of "target show" (all targets). Unknown lines are
// skipped, so that a newer tgtd's extra details do no harm; a "Target" or
// "LUN" line that does not parse is an error (Win32 code 87), out untouched.
CRnError ParseTargetShow(const std::string& text, std::vector<TgtTargetInfo>& out);

// Portals of "portal show": "127.0.0.1:3260" for each "Portal: 127.0.0.1:3260,1".
std::vector<std::string> ParsePortalShow(const std::string& text);

// tgtd's targets by tid, found also by name. Names compare without regard to
// ASCII case (iSCSI names are case-insensitive); an exact match is preferred
// when tgtd holds names that differ only in case.
class TgtTargetTable {
 public:
  void Clear();
  void Put(const TgtTargetInfo& target);  // replaces the entry of the same tid
  void Erase(int32_t tid);
  TgtTargetInfo* FindByTid(int32_t tid);
  TgtTargetInfo* FindByName(const std::string& name);
  // The lowest tid from 1 that no target uses.
  int32_t LowestFreeTid() const;
  const std::map<int32_t, TgtTargetInfo>& Targets() const { return m_byTid; }
  void Swap(TgtTargetTable& other);

 private:
  std::map<int32_t, TgtTargetInfo> m_byTid;
  std::multimap<std::string, int32_t> m_tidsByLowerName;
};

// The platform driver's picture of one tgtd process: its targets as last
// read, kept up to date by the driver's own requests, read again when tgtd
// restarts or refuses what the picture allowed.
//
// The driver sends its requests without holding its lock, so a read of
// tgtd can cross changes in flight: a show taken before a change reached
// tgtd, installed after the change was booked, would undo it in the
// picture. So every booked change names its target (Touched), and Install
// keeps the entries of targets changed since its read began as the driver
// booked them. The driver's calls for one target come one at a time, so
// that entry is as new as anything tgtd could show. A read of another tgtd
// process (tgtd restarted) keeps nothing: what the old one held is gone.
class TgtPicture {
 public:
  // The tgtd process described (0 before the first read) and its identity
  // (TgtdInstanceOf).
  pid_t Pid() const { return m_pid; }
  uint64_t Instance() const { return m_instance; }
  TgtTargetTable& Table() { return m_table; }

  // A read of tgtd begins; the ticket goes to Install or Abandon.
  uint64_t BeginRead();
  void Abandon(uint64_t ticket);
  // What process pid showed for the read of ticket. Returns false, changing
  // nothing, when a read begun later was installed already.
  bool Install(uint64_t ticket, pid_t pid, uint64_t instance, const std::vector<TgtTargetInfo>& shown);
  // The entry of target name (its name in the table) was booked: created,
  // changed or erased.
  void Touched(const std::string& name);
  // Forgets everything (the driver was cleaned up).
  void Clear();

 private:
  void EndRead();

  pid_t m_pid = 0;
  uint64_t m_instance = 0;
  TgtTargetTable m_table;
  uint64_t m_clock = 0;      // orders reads and booked changes
  uint64_t m_installed = 0;  // ticket of the read installed last
  int m_reads = 0;           // reads begun and not yet ended
  // Target name -> clock of its last booked change, kept while reads run.
  std::map<std::string, uint64_t> m_touched;
};

}  // namespace wztgt
