#include "plugins/tgtd_client/tgt_state.h"

#include <cerrno>
#include <cstdlib>

#include "hostlib/util/FXString.h"

namespace wztgt {

namespace {

const char* const kFile = "WzScsiSrvTgt";

enum class Section { kNone, kSystem, kNexus, kLuns, kAccounts, kAcls };

size_t Indent(const std::string& line) {
  size_t n = 0;
  while (n < line.size() && line[n] == ' ') ++n;
  return n;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

bool ParseUnsigned(const std::string& text, uint64_t& out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  out = v;
  return true;
}

// "Key: value" -> key, value (value may be empty).
bool SplitKeyValue(const std::string& body, std::string& key, std::string& value) {
  size_t colon = body.find(':');
  if (colon == std::string::npos) return false;
  key = body.substr(0, colon);
  value = Trim(body.substr(colon + 1));
  return true;
}

Section SectionOf(const std::string& title) {
  if (title == "System information:") return Section::kSystem;
  if (title == "I_T nexus information:") return Section::kNexus;
  if (title == "LUN information:") return Section::kLuns;
  if (title == "Account information:") return Section::kAccounts;
  if (title == "ACL information:") return Section::kAcls;
  return Section::kNone;
}

}  // namespace

CRnError ParseTargetShow(const std::string& text, std::vector<TgtTargetInfo>& out) {
  std::vector<TgtTargetInfo> targets;
  Section section = Section::kNone;
  TgtLu* lu = nullptr;
  TgtSessionInfo* session = nullptr;
  size_t start = 0;
  int lineNo = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (Trim(line).empty()) continue;
    const size_t indent = Indent(line);
    const std::string body = line.substr(indent);

    if (indent == 0) {
      // "Target <tid>: <name>"
      if (body.compare(0, 7, "Target ") != 0) continue;
      size_t colon = body.find(": ", 7);
      uint64_t tid = 0;
      if (colon == std::string::npos || !ParseUnsigned(body.substr(7, colon - 7), tid) || tid == 0 || tid > INT32_MAX) {
        return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER,
                                       "unreadable target line %d of tgtd's target list: '%s'", lineNo, line.c_str());
      }
      TgtTargetInfo t;
      t.tid = static_cast<int32_t>(tid);
      t.name = body.substr(colon + 2);
      targets.push_back(std::move(t));
      section = Section::kNone;
      lu = nullptr;
      session = nullptr;
      continue;
    }
    if (targets.empty()) continue;
    TgtTargetInfo& target = targets.back();
    if (indent == 4) {
      section = SectionOf(body);
      lu = nullptr;
      session = nullptr;
      continue;
    }
    std::string key, value;
    switch (section) {
      case Section::kLuns:
        if (indent == 8) {
          uint64_t n = 0;
          if (!SplitKeyValue(body, key, value) || key != "LUN" || !ParseUnsigned(value, n)) {
            return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER,
                                           "unreadable LUN line %d of tgtd's target list: '%s'", lineNo, line.c_str());
          }
          TgtLu& slot = target.luns[n];
          slot = TgtLu();
          slot.lun = n;
          lu = &slot;
        } else if (lu != nullptr && indent == 12 && SplitKeyValue(body, key, value)) {
          if (key == "Type") {
            lu->type = value;
          } else if (key == "Backing store path") {
            lu->path = value;
          } else if (key == "Backing store type") {
            lu->bsType = value;
          } else if (key == "SCSI SN") {
            lu->serial = value;
          } else if (key == "SCSI ID") {
            lu->scsiId = value;
          }
        }
        break;
      case Section::kAcls:
        if (indent == 8) target.acls.insert(Trim(body));
        break;
      case Section::kAccounts:
        if (indent == 8) {
          static const std::string kOutgoing = " (outgoing)";
          const std::string user = Trim(body);
          if (user.size() > kOutgoing.size() &&
              user.compare(user.size() - kOutgoing.size(), kOutgoing.size(), kOutgoing) == 0) {
            target.outgoingAccount = user.substr(0, user.size() - kOutgoing.size());
          } else {
            target.accounts.push_back(user);
          }
        }
        break;
      case Section::kNexus:
        if (indent == 8 && SplitKeyValue(body, key, value) && key == "I_T nexus") {
          TgtSessionInfo s;
          ParseUnsigned(value, s.nexus);
          target.sessions.push_back(s);
          session = &target.sessions.back();
        } else if (session != nullptr && indent == 12 && SplitKeyValue(body, key, value) && key == "Initiator") {
          // "Initiator: <name> alias: <alias>"
          size_t alias = value.find(" alias:");
          session->initiator = alias == std::string::npos ? value : value.substr(0, alias);
        }
        break;
      default:
        break;
    }
  }
  out.swap(targets);
  return CRnError();
}

std::vector<std::string> ParsePortalShow(const std::string& text) {
  std::vector<std::string> portals;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.compare(0, 8, "Portal: ") != 0) continue;
    std::string portal = line.substr(8);
    size_t comma = portal.rfind(',');  // portal group tag
    if (comma != std::string::npos) portal.resize(comma);
    portals.push_back(portal);
  }
  return portals;
}

void TgtTargetTable::Clear() {
  m_byTid.clear();
  m_tidsByLowerName.clear();
}

void TgtTargetTable::Put(const TgtTargetInfo& target) {
  Erase(target.tid);
  m_byTid[target.tid] = target;
  m_tidsByLowerName.emplace(FXString::ToLowerAscii(target.name), target.tid);
}

void TgtTargetTable::Erase(int32_t tid) {
  auto it = m_byTid.find(tid);
  if (it == m_byTid.end()) return;
  auto range = m_tidsByLowerName.equal_range(FXString::ToLowerAscii(it->second.name));
  for (auto n = range.first; n != range.second; ++n) {
    if (n->second == tid) {
      m_tidsByLowerName.erase(n);
      break;
    }
  }
  m_byTid.erase(it);
}

TgtTargetInfo* TgtTargetTable::FindByTid(int32_t tid) {
  auto it = m_byTid.find(tid);
  return it == m_byTid.end() ? nullptr : &it->second;
}

TgtTargetInfo* TgtTargetTable::FindByName(const std::string& name) {
  auto range = m_tidsByLowerName.equal_range(FXString::ToLowerAscii(name));
  TgtTargetInfo* found = nullptr;
  for (auto it = range.first; it != range.second; ++it) {
    TgtTargetInfo* t = FindByTid(it->second);
    if (t == nullptr) continue;
    if (t->name == name) return t;
    if (found == nullptr) found = t;
  }
  return found;
}

int32_t TgtTargetTable::LowestFreeTid() const {
  int32_t candidate = 1;
  for (const auto& entry : m_byTid) {
    if (entry.first > candidate) break;
    if (entry.first == candidate) ++candidate;
  }
  return candidate;
}

void TgtTargetTable::Swap(TgtTargetTable& other) {
  m_byTid.swap(other.m_byTid);
  m_tidsByLowerName.swap(other.m_tidsByLowerName);
}

uint64_t TgtPicture::BeginRead() {
  ++m_reads;
  return ++m_clock;
}

void TgtPicture::EndRead() {
  if (m_reads > 0) --m_reads;
  if (m_reads == 0) m_touched.clear();
}

void TgtPicture::Abandon(uint64_t /*ticket*/) { EndRead(); }

bool TgtPicture::Install(uint64_t ticket, pid_t pid, uint64_t instance, const std::vector<TgtTargetInfo>& shown) {
  if (ticket < m_installed) {
    EndRead();
    return false;
  }
  TgtTargetTable fresh;
  for (const TgtTargetInfo& t : shown) fresh.Put(t);
  if (instance == m_instance) {
    for (const auto& touched : m_touched) {
      if (touched.second <= ticket) continue;  // the show saw that change
      std::vector<int32_t> stale;
      for (const auto& entry : fresh.Targets()) {
        if (entry.second.name == touched.first) stale.push_back(entry.first);
      }
      for (int32_t tid : stale) fresh.Erase(tid);
      for (const auto& entry : m_table.Targets()) {
        if (entry.second.name == touched.first) fresh.Put(entry.second);
      }
    }
  }
  m_table.Swap(fresh);
  m_pid = pid;
  m_instance = instance;
  m_installed = ticket;
  EndRead();
  return true;
}

void TgtPicture::Touched(const std::string& name) {
  ++m_clock;
  if (m_reads > 0) m_touched[name] = m_clock;
}

void TgtPicture::Clear() {
  m_table.Clear();
  m_pid = 0;
  m_instance = 0;
  m_touched.clear();
  m_reads = 0;
}

}  // namespace wztgt
