// What tgtd holds: its targets with their logical units, access-control
// entries and sessions, read from the text of "target show", and a table of
// them that the platform driver keeps as its picture of tgtd.
//
// Thread safety: plain values; the owner serialises access.
#pragma once

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

 private:
  std::map<int32_t, TgtTargetInfo> m_byTid;
  std::multimap<std::string, int32_t> m_tidsByLowerName;
};

}  // namespace wztgt
