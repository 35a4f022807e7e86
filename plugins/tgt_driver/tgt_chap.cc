// The tgt driver's CHAP: tgtd's accounts, bound to the service's targets
// (the rules: tgt_platform.h).
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "hostlib/log/LogWriter.h"
#include "plugins/tgt_driver/tgt_driver_util.h"
#include "plugins/tgt_driver/tgt_platform.h"

using wztgt::TgtAccountDir;
using wztgt::TgtTargetInfo;
using wztgtdriver::Gone;
using wztgtdriver::JoinNames;
using wztgtdriver::kFile;
using wztgtdriver::Lower;
using wztgtdriver::Marked;

namespace {

// A secret nobody learns: the hold account's, which only keeps tgtd asking
// for CHAP.
std::string RandomSecret() {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::uniform_int_distribution<size_t> pick(0, sizeof(kChars) - 2);
  std::string secret;
  for (int i = 0; i < 16; ++i) secret += kChars[pick(random)];
  return secret;
}

// The accounts chap names, with their secrets.
std::map<std::string, std::string> ChapAccounts(const WzScsiSrvChap& chap) {
  std::map<std::string, std::string> accounts;
  if (!chap.enabled) return accounts;
  accounts[chap.user] = chap.secret;
  if (!chap.mutualUser.empty()) accounts[chap.mutualUser] = chap.mutualSecret;
  return accounts;
}

std::set<std::string> UsersOf(const WzScsiSrvChap& chap) {
  std::set<std::string> users;
  for (const auto& account : ChapAccounts(chap)) users.insert(account.first);
  return users;
}

bool Binds(const TgtTargetInfo& t, const std::string& user) {
  return t.outgoingAccount == user || std::find(t.accounts.begin(), t.accounts.end(), user) != t.accounts.end();
}

}  // namespace

CRnError WzScsiSrvTgtPlatform::ChangeChap(const TgtdLink& link, const WzScsiSrvModelTarget& target,
                                          const WzScsiSrvChap& chap) {
  WzMutexLock auth(&m_authLock);
  const std::string key = Lower(target.targetId);
  std::set<std::string> mine = UsersOf(target.chap);
  auto known = m_chap.find(key);
  if (known != m_chap.end()) mine.merge(UsersOf(known->second));
  if (CRnError shared = CheckSharedUsers(key, chap)) return shared;
  if (CRnError applied = ApplyChap(link, target.targetId, chap, mine)) return applied;
  if (chap.enabled) {
    m_chap[key] = chap;
  } else {
    m_chap.erase(key);
  }
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::CheckSharedUsers(const std::string& key, const WzScsiSrvChap& chap) {
  if (!chap.enabled) return CRnError();
  if (chap.user == kHoldAccount || chap.mutualUser == kHoldAccount) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER,
                                   "the CHAP user name %s is the tgt driver's own: choose another", kHoldAccount);
  }
  if (chap.mutualUser == chap.user && chap.mutualSecret != chap.secret) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER,
                                   "the CHAP user and the mutual user are both %s, one tgtd account, which has one "
                                   "secret: give them different names",
                                   chap.user.c_str());
  }
  const std::map<std::string, std::string> wanted = ChapAccounts(chap);
  for (const auto& other : m_chap) {
    if (other.first == key) continue;
    for (const auto& account : ChapAccounts(other.second)) {
      auto same = wanted.find(account.first);
      if (same != wanted.end() && same->second != account.second) {
        return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                       "CHAP user %s is used by target %s with another secret: tgtd keeps one "
                                       "secret per user name",
                                       account.first.c_str(), other.first.c_str());
      }
    }
  }
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::ApplyChap(const TgtdLink& link, const std::string& name, const WzScsiSrvChap& chap,
                                         const std::set<std::string>& mine) {
  TargetCopy t = CopyTarget(name);
  if (!t.found) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                   "target %s does not exist in tgtd", name.c_str());
  }
  if (!t.marked) return RefuseForeign(FX_HERE_IN(kFile), t);
  std::set<std::string> released;
  if (chap.enabled) {
    if (CRnError err = EnsureAccount(link, kHoldAccount, RandomSecret(), true)) return err.Push(FX_HERE_IN(kFile));
    for (const auto& account : ChapAccounts(chap)) {
      if (CRnError err = EnsureAccount(link, account.first, account.second, false)) return err.Push(FX_HERE_IN(kFile));
    }
    t = CopyTarget(name);  // making an account again unbinds it everywhere
    if (!t.found) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED, "target %s has gone from tgtd",
                                     name.c_str());
    }
    const std::vector<std::string>& held = t.info.accounts;
    if (held != std::vector<std::string>{kHoldAccount, chap.user}) {
      // The hold account stays bound while the user's changes, so that tgtd
      // never stops asking for CHAP; anything else is bound again in order.
      const bool ordered = held.size() <= 2 && (held.empty() || held[0] == kHoldAccount);
      if (!ordered) {
        WZLOG(0, "tgtd target %s binds incoming accounts %s: bound again with the hold account first",
              t.info.name.c_str(), JoinNames(held).c_str());
      }
      for (size_t i = held.size(); i-- > (ordered ? 1u : 0u);) {
        if (CRnError err = BindOne(link, t.info, held[i], TgtAccountDir::kIncoming, false)) {
          return err.Push(FX_HERE_IN(kFile));
        }
        released.insert(held[i]);
      }
      if (!ordered || held.empty()) {
        if (CRnError err = BindAccount(link, t.info, kHoldAccount, std::string(), TgtAccountDir::kIncoming)) {
          return err.Push(FX_HERE_IN(kFile));
        }
      }
      if (CRnError err = BindAccount(link, t.info, chap.user, chap.secret, TgtAccountDir::kIncoming)) {
        return err.Push(FX_HERE_IN(kFile));
      }
    }
    if (t.info.outgoingAccount != chap.mutualUser) {
      if (!t.info.outgoingAccount.empty()) {
        if (CRnError err = BindOne(link, t.info, t.info.outgoingAccount, TgtAccountDir::kOutgoing, false)) {
          return err.Push(FX_HERE_IN(kFile));
        }
        released.insert(t.info.outgoingAccount);
      }
      if (!chap.mutualUser.empty()) {
        if (CRnError err = BindAccount(link, t.info, chap.mutualUser, chap.mutualSecret, TgtAccountDir::kOutgoing)) {
          return err.Push(FX_HERE_IN(kFile));
        }
      }
    }
  } else {
    if (!t.info.outgoingAccount.empty()) {
      if (CRnError err = BindOne(link, t.info, t.info.outgoingAccount, TgtAccountDir::kOutgoing, false)) {
        return err.Push(FX_HERE_IN(kFile));
      }
      released.insert(t.info.outgoingAccount);
    }
    // Last first: the hold account goes last, when nothing follows it.
    for (size_t i = t.info.accounts.size(); i-- > 0;) {
      if (CRnError err = BindOne(link, t.info, t.info.accounts[i], TgtAccountDir::kIncoming, false)) {
        return err.Push(FX_HERE_IN(kFile));
      }
      released.insert(t.info.accounts[i]);
    }
  }
  for (const auto& account : ChapAccounts(chap)) released.erase(account.first);
  DropUnusedAccounts(link, Lower(name), released, mine);
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::EnsureAccount(const TgtdLink& link, const std::string& user, const std::string& secret,
                                             bool anySecret) {
  // A restarted tgtd holds none of them.
  if (m_accountsInstance != link.instance) {
    m_accounts.clear();
    m_accountsInstance = link.instance;
  }
  auto known = m_accounts.find(user);
  if (known != m_accounts.end() && (anySecret || known->second == secret)) return CRnError();
  uint32_t status = 0;
  CRnError err = link.client.NewAccount(user, secret, &status);
  if (err.IsSuccess()) {
    m_accounts[user] = secret;
    WZLOG(1, "Made tgtd account %s", user.c_str());
    return CRnError();
  }
  if (status != wztgt::kTgtAccountExists) return err.Push(FX_HERE_IN(kFile));
  if (anySecret) {
    m_accounts[user] = std::string();
    return CRnError();
  }
  return ReplaceAccount(link, user, secret);
}

// tgtd cannot change a secret: the account is deleted (which unbinds it
// from every target) and made again, then bound where it was. Every target
// that binds it incoming binds the hold account before it, so tgtd goes on
// asking for CHAP meanwhile, and the emptied slot is the last one in use.
CRnError WzScsiSrvTgtPlatform::ReplaceAccount(const TgtdLink& link, const std::string& user,
                                              const std::string& secret) {
  // Read afresh: deleting the account unbinds it from targets of other
  // tools too, which the picture may not know yet.
  if (CRnError err = ReadTgtd(*link.any)) return err.Push(FX_HERE_IN(kFile));
  std::vector<TgtTargetInfo> holders;
  {
    WzMutexLock guard(&m_lock);
    for (const auto& entry : m_picture.Table().Targets()) {
      if (Binds(entry.second, user)) holders.push_back(entry.second);
    }
  }
  for (const TgtTargetInfo& h : holders) {
    if (!Marked(h)) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                     "tgtd account %s is bound to target %s, which is not the service's: left alone "
                                     "(choose another CHAP user name)",
                                     user.c_str(), h.name.c_str());
    }
  }
  for (const TgtTargetInfo& h : holders) {
    const bool incoming = std::find(h.accounts.begin(), h.accounts.end(), user) != h.accounts.end();
    if (!incoming || h.accounts == std::vector<std::string>{kHoldAccount, user}) continue;
    WZLOG(0, "tgtd target %s binds incoming accounts %s: bound again with the hold account first", h.name.c_str(),
          JoinNames(h.accounts).c_str());
    for (size_t i = h.accounts.size(); i-- > 0;) {
      if (CRnError err = BindOne(link, h, h.accounts[i], TgtAccountDir::kIncoming, false)) {
        return err.Push(FX_HERE_IN(kFile));
      }
    }
    if (CRnError err = BindAccount(link, h, kHoldAccount, std::string(), TgtAccountDir::kIncoming)) {
      return err.Push(FX_HERE_IN(kFile));
    }
    if (CRnError err = BindOne(link, h, user, TgtAccountDir::kIncoming, true)) return err.Push(FX_HERE_IN(kFile));
  }
  uint32_t status = 0;
  CRnError err = link.client.DeleteAccount(user, &status);
  if (!Gone(err, status, wztgt::kTgtNoAccount)) return err.Push(FX_HERE_IN(kFile));
  m_accounts.erase(user);
  {
    WzMutexLock guard(&m_lock);
    for (const TgtTargetInfo& h : holders) {
      if (TgtTargetInfo* booked = BookedTarget(link.instance, h.tid, h.name)) {
        booked->accounts.erase(std::remove(booked->accounts.begin(), booked->accounts.end(), user),
                               booked->accounts.end());
        if (booked->outgoingAccount == user) booked->outgoingAccount.clear();
        m_picture.Touched(h.name);
      }
    }
  }
  err = link.client.NewAccount(user, secret, &status);
  if (err.IsError()) {
    WZLOG(-1,
          "tgtd account %s was deleted to change its secret and cannot be made again: %zu targets refuse the "
          "logins it served until it is",
          user.c_str(), holders.size());
    return err.Push(FX_HERE_IN(kFile));
  }
  m_accounts[user] = secret;
  for (const TgtTargetInfo& h : holders) {
    if (std::find(h.accounts.begin(), h.accounts.end(), user) != h.accounts.end()) {
      if (CRnError bindErr = BindOne(link, h, user, TgtAccountDir::kIncoming, true)) {
        return bindErr.Push(FX_HERE_IN(kFile));
      }
    }
    if (h.outgoingAccount == user) {
      if (CRnError bindErr = BindOne(link, h, user, TgtAccountDir::kOutgoing, true)) {
        return bindErr.Push(FX_HERE_IN(kFile));
      }
    }
  }
  WZLOG(1, "Made tgtd account %s again with the configured secret (bound to %zu targets)", user.c_str(),
        holders.size());
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::BindOne(const TgtdLink& link, const TgtTargetInfo& t, const std::string& user,
                                       TgtAccountDir dir, bool bind, uint32_t* status) {
  uint32_t answer = 0;
  CRnError err =
      bind ? link.client.BindAccount(t.tid, user, dir, &answer) : link.client.UnbindAccount(t.tid, user, dir, &answer);
  if (status != nullptr) *status = answer;
  const bool done = err.IsSuccess() ||
                    (bind && dir == TgtAccountDir::kIncoming && answer == wztgt::kTgtAccountExists) ||
                    (!bind && answer == wztgt::kTgtNoAccount);
  if (!done) return err.Push(FX_HERE_IN(kFile));
  WzMutexLock guard(&m_lock);
  if (TgtTargetInfo* booked = BookedTarget(link.instance, t.tid, t.name)) {
    if (dir == TgtAccountDir::kOutgoing) {
      booked->outgoingAccount = bind ? user : std::string();
    } else {
      std::vector<std::string>& held = booked->accounts;
      held.erase(std::remove(held.begin(), held.end(), user), held.end());
      if (bind) held.push_back(user);
    }
    m_picture.Touched(t.name);
  }
  WZLOG(1, "%s tgtd account %s %s target %s (tid %d, %s)", bind ? "Bound" : "Unbound", user.c_str(),
        bind ? "to" : "from", t.name.c_str(), t.tid, dir == TgtAccountDir::kOutgoing ? "outgoing" : "incoming");
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::BindAccount(const TgtdLink& link, const TgtTargetInfo& t, const std::string& user,
                                           const std::string& secret, TgtAccountDir dir) {
  uint32_t status = 0;
  CRnError err = BindOne(link, t, user, dir, true, &status);
  if (err.IsSuccess() || status != wztgt::kTgtNoAccount) return err;
  // Deleted behind the driver's back (tgtadm): make it again.
  m_accounts.erase(user);
  const bool hold = user == kHoldAccount;
  if (CRnError made = EnsureAccount(link, user, hold ? RandomSecret() : secret, hold)) {
    return made.Push(FX_HERE_IN(kFile));
  }
  return BindOne(link, t, user, dir, true);
}

void WzScsiSrvTgtPlatform::DropUnusedAccounts(const TgtdLink& link, const std::string& key,
                                              const std::set<std::string>& users, const std::set<std::string>& mine) {
  for (const std::string& user : users) {
    bool used = false;
    {
      WzMutexLock guard(&m_lock);
      for (const auto& entry : m_picture.Table().Targets()) used = used || Binds(entry.second, user);
    }
    // A target of the service that tgtd lacks for now (a reconcile will
    // bring it back) still needs the account.
    for (const auto& other : m_chap) {
      if (other.first != key && ChapAccounts(other.second).count(user) != 0) used = true;
    }
    if (used) continue;
    if (user != kHoldAccount && m_accounts.count(user) == 0 && mine.count(user) == 0) {
      WZLOG(0, "tgtd account %s is bound to no target any more but was not made by the service: kept", user.c_str());
      continue;
    }
    uint32_t status = 0;
    CRnError err = link.client.DeleteAccount(user, &status);
    if (!Gone(err, status, wztgt::kTgtNoAccount)) {
      // Bound to nothing, it lets nobody in: not worth failing the change.
      WZLOG(0, "cannot delete the unused tgtd account %s: %s", user.c_str(), err.AsString().c_str());
      continue;
    }
    m_accounts.erase(user);
    WZLOG(1, "Deleted tgtd account %s: no target uses it", user.c_str());
  }
}

void WzScsiSrvTgtPlatform::ForgetTargetAuth(const TgtdLink& link, const std::string& name, const TgtTargetInfo* held) {
  WzMutexLock auth(&m_authLock);
  const std::string key = Lower(name);
  std::set<std::string> users;
  std::set<std::string> mine;
  auto known = m_chap.find(key);
  if (known != m_chap.end()) {
    mine = UsersOf(known->second);
    users = mine;
    m_chap.erase(known);
  }
  if (held != nullptr) {
    users.insert(held->accounts.begin(), held->accounts.end());
    if (!held->outgoingAccount.empty()) users.insert(held->outgoingAccount);
  }
  if (!users.empty()) DropUnusedAccounts(link, key, users, mine);
}
