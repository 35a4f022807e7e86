// `wzscsictl import tgt|lio FILE` and `wzscsictl export tgt|lio`: the
// commands that move a configuration into the service and back out
// (migrate_plan.h, import_tgt.h, import_lio.h, export_config.h).
#include <ctime>
#include <memory>
#include <ostream>

#include "apps/wzscsictl/ctl_command.h"
#include "apps/wzscsictl/export_config.h"
#include "apps/wzscsictl/import_lio.h"
#include "apps/wzscsictl/import_tgt.h"
#include "apps/wzscsictl/migrate_plan.h"
#include "hostlib/util/RnFiles.h"
#include "messages/WzScsiServerMessages.h"

namespace WzCtl {
namespace {

const char* const kDefaultActionLog = "/var/lib/wzscsi/jobresults/WzScsiSrvActionLogs";

// One call; on anything but code 0 the error says what the service (or
// the connection) said, and exitCode the client's exit status for it.
CRnError Call(const CtlContext& ctx, const CNMessageBase& request, ReplyView& view, int& exitCode) {
  CallResult result = CallOnce(ctx.g.Endpoint(), ctx.g.token, request, ctx.g.TimeoutMs(), ctx.g.tls);
  exitCode = result.exitCode;
  if (!result.reply)
    return FXErrorUtil::ErrorInt(FX_HERE_IN("wzscsictl"), result.exitCode, "%s", result.errorText.c_str());
  view = ViewReply(*result.reply);
  if (result.exitCode != kExitOk)
    return FXErrorUtil::ErrorInt(FX_HERE_IN("wzscsictl"), static_cast<int>(view.errorCode), "error %lld (%s): %s",
                                 static_cast<long long>(view.errorCode), WzScsiServer::ResultCodeText(view.errorCode),
                                 view.errorMessage.c_str());
  return CRnError();
}

// The detailed listing of everything: what the service holds.
CRnError ReadState(const CtlContext& ctx, ServiceState& state, int& exitCode) {
  ReplyView view;
  if (CRnError e = Call(ctx, *MakeIoctl("ls", "", ctx.g.flags), view, exitCode)) return e;
  state = ParseServiceState(view);
  return CRnError();
}

// The import's requests, each over its own connection like any client's.
class ServiceCalls : public ImportService {
 public:
  explicit ServiceCalls(const CtlContext& ctx) : m_ctx(ctx) {}

  CRnError CreateTarget(const std::string& target) override {
    return Send(*MakeCreateTarget(target, std::string(), m_ctx.g.flags));
  }
  CRnError SetChap(const std::string& target, const PlannedChap& chap) override {
    return Send(*MakeSetTargetAuth(target, chap.user, chap.secret, chap.mutualUser, chap.mutualSecret, m_ctx.g.flags));
  }
  CRnError CreateLun(const std::string& target, const PlannedLun& lun, int64_t& number) override {
    LunCreateArgs args;
    args.target = target;
    args.type = WzScsiServer::BSTOR_BLKDEV;
    args.path = lun.path;
    args.serial = lun.serialPrefix;
    ReplyView view;
    CRnError e = Call(m_ctx, *MakeCreateLun(args, m_ctx.g.flags), view, m_exitCode);
    if (e.IsSuccess()) number = view.lunId;
    return e;
  }
  CRnError MapHost(const std::string& target, int64_t lun, const std::string& host) override {
    return Send(*MakeMapHost(target, lun, host, m_ctx.g.flags));
  }

  int ExitCode() const { return m_exitCode; }

 private:
  CRnError Send(const CNMessageBase& request) {
    ReplyView view;
    return Call(m_ctx, request, view, m_exitCode);
  }

  const CtlContext& m_ctx;
  int m_exitCode = kExitOk;
};

struct ImportArgs {
  std::string format;
  std::string file;
  bool dryRun = false;
  std::string serialPrefix;
  std::vector<std::string> pathMaps;
};

int RunImportCommand(const CtlContext& ctx, const ImportArgs& a, std::ostream& out, std::ostream& err) {
  ImportOptions options;
  options.serialPrefix = a.serialPrefix.empty() ? (a.format == "tgt" ? "TGT" : "LIO") : a.serialPrefix;
  if (!ValidSerialPrefix(options.serialPrefix)) {
    err << "wzscsictl: --serial-prefix " << options.serialPrefix << ": 1 to 16 letters and digits\n";
    return kExitFailed;
  }
  for (const std::string& m : a.pathMaps) {
    std::pair<std::string, std::string> mapping;
    if (!ParsePathMapping(m, mapping)) {
      err << "wzscsictl: --map-path " << m << ": FROM=TO with two absolute paths\n";
      return kExitFailed;
    }
    options.pathMap.push_back(mapping);
  }
  const ImportPlan plan = a.format == "tgt" ? ParseTgtConfig(a.file, options) : ParseLioConfig(a.file, options);
  if (plan.HasErrors()) {
    if (ctx.g.json) {
      out << ImportJson(plan, ImportOutcome(), std::string()) << "\n";
    } else {
      err << FormatIssues(plan, true);
    }
    err << "wzscsictl: " << a.file << " cannot be imported as it is: nothing was changed\n";
    return kExitFailed;
  }
  ServiceState state;
  int exitCode = kExitOk;
  CRnError unknown = ReadState(ctx, state, exitCode);
  if (unknown && !a.dryRun) {
    err << "wzscsictl: cannot read the service's configuration: " << unknown.AsString() << "\nnothing was changed\n";
    return exitCode;
  }
  ServiceCalls service(ctx);
  const ImportOutcome outcome = RunImport(plan, state, a.dryRun ? nullptr : &service);
  const std::string why = unknown ? unknown.AsString() : std::string();
  out << (ctx.g.json ? ImportJson(plan, outcome, why) + "\n" : FormatImport(plan, outcome, why));
  if (unknown) return exitCode;
  return outcome.failed ? service.ExitCode() : kExitOk;
}

struct ExportArgs {
  std::string format;
  std::string output;
  bool withSecrets = false;
  std::string actionLog = kDefaultActionLog;
  std::string portal = "0.0.0.0:3260";
};

int RunExportCommand(const CtlContext& ctx, const ExportArgs& a, std::ostream& out, std::ostream& err) {
  ServiceState state;
  int exitCode = kExitOk;
  if (CRnError e = ReadState(ctx, state, exitCode)) {
    err << "wzscsictl: cannot read the service's configuration: " << e.AsString() << "\n";
    return exitCode;
  }
  std::map<std::string, PlannedChap> secrets;
  if (a.withSecrets)
    if (CRnError e = ReadSavedSecrets(a.actionLog, state, secrets)) {
      err << "wzscsictl: " << e.AsString() << "\n";
      return kExitFailed;
    }
  ExportOptions options;
  options.source = "wzscsid at " + ctx.g.Endpoint();
  options.time = IsoUtc(static_cast<uint64_t>(::time(nullptr)));
  options.portal = a.portal;
  const ExportResult result = a.format == "tgt" ? ExportTgt(state, a.withSecrets ? &secrets : nullptr, options)
                                                : ExportLio(state, a.withSecrets ? &secrets : nullptr, options);
  for (const std::string& w : result.warnings) err << "wzscsictl: export " << a.format << ": " << w << "\n";
  if (a.output.empty() || a.output == "-") {
    out << result.text;
    return kExitOk;
  }
  // Written whole or not at all; secrets readable by the owner only.
  CRnAtomicFile file;
  CRnError e = file.Open(a.output, a.withSecrets ? 0600 : 0644);
  if (e.IsSuccess()) e = file.File().Write(result.text.data(), result.text.size());
  if (e.IsSuccess()) e = file.Commit();
  if (e) {
    err << "wzscsictl: cannot write " << a.output << ": " << e.AsString() << "\n";
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

void AddImport(CLI::App& app, CtlContext& ctx) {
  auto a = std::make_shared<ImportArgs>();
  CLI::App* sub = app.add_subcommand(
      "import",
      "create the targets, LUNs, host mappings and CHAP of a tgt targets.conf or a kernel target saveconfig.json");
  sub->add_option("FORMAT", a->format, "tgt (targets.conf and its includes) or lio (saveconfig.json)")
      ->required()
      ->check(CLI::IsMember({"tgt", "lio"}));
  sub->add_option("FILE", a->file, "the file to import")->required();
  sub->add_flag("--dry-run", a->dryRun, "print what would be created and what cannot be carried over; change nothing");
  sub->add_option("--serial-prefix", a->serialPrefix,
                  "serial-number prefix of the new LUNs (default TGT or LIO; serials the service made are kept)");
  sub->add_option("--map-path", a->pathMaps,
                  "FROM=TO: backing paths under FROM are taken from under TO instead (repeatable)")
      ->allow_extra_args(false);
  sub->callback([a, &ctx] {
    Command c;
    c.run = [a, &ctx](std::ostream& out, std::ostream& err) { return RunImportCommand(ctx, *a, out, err); };
    ctx.choose(std::move(c));
  });
}

void AddExport(CLI::App& app, CtlContext& ctx) {
  auto a = std::make_shared<ExportArgs>();
  CLI::App* sub = app.add_subcommand("export",
                                     "write the service's configuration as a tgt targets.conf or a kernel target "
                                     "saveconfig.json");
  sub->add_option("FORMAT", a->format, "tgt or lio")->required()->check(CLI::IsMember({"tgt", "lio"}));
  sub->add_option("--output", a->output, "the file to write (replaced whole); standard output without it");
  sub->add_flag("--with-secrets", a->withSecrets,
                "write the CHAP secrets too, read from the daemon's saved configuration (root or the daemon's user)");
  sub->add_option("--action-log", a->actionLog, "the daemon's saved configuration, for --with-secrets")
      ->capture_default_str();
  sub->add_option("--portal", a->portal, "lio: the portal every target listens on")->capture_default_str();
  sub->callback([a, &ctx] {
    Command c;
    c.run = [a, &ctx](std::ostream& out, std::ostream& err) { return RunExportCommand(ctx, *a, out, err); };
    ctx.choose(std::move(c));
  });
}

}  // namespace WzCtl
