// SetTargetAuth: CHAP authentication of one target. The service checks what
// every engine and initiator needs (secret length, a mutual secret that
// differs, one secret per user name across targets, since tgtd keeps its
// accounts for all targets at once), the platform driver applies it, and
// the request is saved apart from the target's own file (readable by the
// daemon's user only) so that a restart and a reload restore it.
// Secrets never reach a log line, a listing or a reply.
#include <map>

#include "hostlib/log/LogWriter.h"
#include "targets/target_handlers.h"

using namespace WzScsiServer;
using R = WzScsiSrvRefusal;

namespace {

constexpr size_t kMinSecret = 12;
constexpr size_t kMaxSecret = 16;
constexpr size_t kMaxUser = 255;

bool UserOk(const std::string& user) {
  if (user.empty() || user.size() > kMaxUser) return false;
  for (unsigned char c : user)
    if (c <= 0x20 || c >= 0x7f || c == ',' || c == '#') return false;
  return true;
}

bool SecretOk(const std::string& secret) {
  if (secret.size() < kMinSecret || secret.size() > kMaxSecret) return false;
  for (unsigned char c : secret)
    if (c < 0x20 || c >= 0x7f) return false;
  return true;
}

// Why chap cannot be used; empty when it can. Names fields, never secrets.
std::string ChapProblem(const WzScsiSrvChap& chap) {
  if (!chap.enabled) {
    if (!chap.secret.empty() || !chap.mutualUser.empty() || !chap.mutualSecret.empty())
      return "credentials were given with CHAP off";
    return std::string();
  }
  if (!UserOk(chap.user)) return "the user name must be 1 to 255 printable characters without blanks, \",\" or \"#\"";
  if (!SecretOk(chap.secret)) return "the secret must be 12 to 16 printable ASCII characters";
  if (chap.mutualUser.empty() != chap.mutualSecret.empty())
    return "a mutual user needs a mutual secret and a mutual secret a mutual user";
  if (chap.mutualUser.empty()) return std::string();
  if (!UserOk(chap.mutualUser))
    return "the mutual user name must be 1 to 255 printable characters without blanks, \",\" or \"#\"";
  if (!SecretOk(chap.mutualSecret)) return "the mutual secret must be 12 to 16 printable ASCII characters";
  if (chap.mutualSecret == chap.secret) return "the mutual secret must differ from the secret";
  if (chap.mutualUser == chap.user) return "the mutual user must differ from the user";
  return std::string();
}

std::string Describe(const WzScsiSrvChap& chap) {
  if (!chap.enabled) return "off";
  std::string out = "on, user " + chap.user;
  if (!chap.mutualUser.empty()) out += ", mutual user " + chap.mutualUser;
  return out;
}

WzScsiSrvChap ChapOf(const SetTargetAuth& request) {
  WzScsiSrvChap chap;
  chap.enabled = request.enabled();
  chap.user = request.user();
  chap.secret = request.secret();
  chap.mutualUser = request.mutualUser();
  chap.mutualSecret = request.mutualSecret();
  if (!chap.enabled) chap.user.clear();
  return chap;
}

}  // namespace

CRnError WzScsiSrvSetTargetAuthWork(WzScsiServer::SetTargetAuth& request, SetTargetAuthRsp&,
                                    WzScsiSrvHandlerContext& ctx) {
  const WzScsiSrvChap chap = ChapOf(request);
  WZLOG(2, "Setting CHAP of target %s: %s", ctx.TargetName().c_str(), Describe(chap).c_str());
  if (ctx.Target() == nullptr) return ctx.Refuse(R::TARGET_MISSING, FX_HERE);
  const std::string problem = ChapProblem(chap);
  if (!problem.empty()) return ctx.Refuse(R::CHAP_INVALID, FX_HERE, CRnError(), problem);
  WzScsiSrvHandlerServices& services = ctx.Services();
  const std::string conflict = services.ChapUserConflict(ctx.TargetName(), chap);
  if (!conflict.empty()) return ctx.Refuse(R::CHAP_USER_CONFLICT, FX_HERE, CRnError(), conflict);

  WzScsiSrvModelTarget* target = ctx.Target();
  const WzScsiSrvChap old = target->chap;
  if (old == chap) {
    // Nothing to change; a replay of the saved state lands here on a reload.
    ctx.SkipSave();
    ctx.Succeed();
    return CRnError();
  }
  WzScsiSrvPlatform* platform = ctx.Platform();
  if (CRnError e = platform != nullptr ? platform->SetTargetAuth(*target, chap) : NoPlatformError(FX_HERE))
    return ctx.Refuse(R::PLATFORM_SET_AUTH, FX_HERE, e);
  ctx.OnUndo([&services, platform, target, chap, old]() {
    // The driver learns the state to leave from the model, so the model
    // holds the new credentials for the length of the call.
    services.ChangeModel([&]() { target->chap = chap; });
    CRnError e = platform->SetTargetAuth(*target, old);
    services.ChangeModel([&]() { target->chap = old; });
    if (e) WZLOG(-1, "Undo of the CHAP change of %s failed: %s", target->targetId.c_str(), e.AsString().c_str());
  });
  ctx.Commit([target, chap]() { target->chap = chap; });
  WZLOG(2, "CHAP of target %s: %s", ctx.TargetName().c_str(), Describe(chap).c_str());
  ctx.Succeed();
  return CRnError();
}
