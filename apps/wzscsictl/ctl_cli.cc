#include "apps/wzscsictl/ctl_cli.h"

#include <unistd.h>
#include <CLI/CLI.hpp>

#include <climits>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

#include "apps/wzscsictl/ctl_command.h"
#include "apps/wzscsictl/ctl_lib.h"
#include "hostlib/util/FXString.h"
#include "messages/WzScsiServerMessages.h"

#ifndef WZ_VERSION
#define WZ_VERSION "unknown"
#endif

namespace WzCtl {
namespace {

void PrintMessageOr(const ReplyView& v, const std::string& fallback, std::ostream& out) {
  out << (v.errorMessage.empty() ? fallback : v.errorMessage) << "\n";
}

void PrintLunTable(const ReplyView& v, std::ostream& out) {
  if (v.results.empty()) {
    out << "no LUNs\n";
    return;
  }
  std::vector<std::vector<std::string>> rows{{"TARGET", "HOST", "LUN", "CREATED"}};
  for (const std::string& line : v.results) {
    LunTuple t;
    if (ParseLunTuple(line, t))
      rows.push_back({t.target, t.host, std::to_string(t.lun), IsoUtc(t.creationTime)});
    else
      rows.push_back({line, "", "", ""});
  }
  out << FormatTable(rows);
}

void PrintTargetTable(const ReplyView& v, std::ostream& out) {
  if (v.results.empty()) {
    out << "no targets\n";
    return;
  }
  std::vector<std::vector<std::string>> rows{{"TARGET"}};
  for (const std::string& line : v.results) rows.push_back({line});
  out << FormatTable(rows);
}

void PrintResultLines(const ReplyView& v, std::ostream& o) {
  for (const std::string& line : v.results) o << line << "\n";
  if (!v.errorMessage.empty()) o << v.errorMessage << "\n";
}

CRnError UsageError(const char* text) {
  return FXErrorUtil::ErrorWin32(FX_HERE_IN("wzscsictl"), ERROR_INVALID_PARAMETER, "%s", text);
}

CRnError ReadAll(const std::string& file, std::istream& in, std::string& text) {
  if (file == "-") {
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return CRnError();
  }
  std::ifstream f(file, std::ios::binary);
  if (!f) return FXErrorUtil::ErrorErrNo(FX_HERE_IN("wzscsictl"), errno, "cannot read %s", file.c_str());
  text.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return CRnError();
}

// A group of subcommands ("target", "lun", "host"): one of them is needed.
CLI::App& AddGroup(CLI::App& app, const char* name, const char* description) {
  CLI::App* group = app.add_subcommand(name, description);
  group->require_subcommand(1);
  return *group;
}

// ---------------------------------------------------------------- start

void AddStart(CLI::App& app, CtlContext& ctx) {
  app.add_subcommand("start", "start the service (replays the saved configuration)")->callback([&ctx] {
    ctx.choose(Simple([&ctx] { return MakeStart(ctx.g.flags); },
                      [](const ReplyView& v, std::ostream& o) { PrintMessageOr(v, "service started", o); }));
  });
}

// ---------------------------------------------------------------- target

void AddTargetCreate(CLI::App& target, CtlContext& ctx) {
  struct Args {
    std::string name, desc;
  };
  auto a = std::make_shared<Args>();
  CLI::App* sub = target.add_subcommand("create", "create a target");
  sub->add_option("NAME", a->name, "target name (an iSCSI qualified name)")->required();
  sub->add_option("--desc", a->desc, "description");
  sub->callback([a, &ctx] {
    ctx.choose(Simple(
        [a, &ctx] { return MakeCreateTarget(a->name, a->desc, ctx.g.flags); },
        // As stored: the service folds target names to lower case.
        [a](const ReplyView&, std::ostream& o) { o << "target " << FXString::ToLowerAscii(a->name) << " created\n"; }));
  });
}

void AddTargetDelete(CLI::App& target, CtlContext& ctx) {
  auto name = std::make_shared<std::string>();
  CLI::App* sub = target.add_subcommand("delete", "delete a target (it must hold no LUN)");
  sub->add_option("NAME", *name, "target name")->required();
  sub->callback([name, &ctx] {
    ctx.choose(Simple([name, &ctx] { return MakeDeleteTarget(*name, ctx.g.flags); },
                      [name](const ReplyView&, std::ostream& o) { o << "target " << *name << " deleted\n"; }));
  });
}

void AddTargetAuth(CLI::App& target, CtlContext& ctx) {
  struct Args {
    std::string name, user, secretFile, mutualUser, mutualSecretFile;
    bool off = false;
  };
  auto a = std::make_shared<Args>();
  CLI::App* sub = target.add_subcommand("auth", "set or turn off a target's CHAP authentication");
  sub->add_option("NAME", a->name, "target name")->required();
  auto* userOpt = sub->add_option("--user", a->user, "the user name initiators log in with");
  auto* secretOpt = sub->add_option("--secret-file", a->secretFile,
                                    "a file holding the secret (12 to 16 characters; - for standard input)");
  auto* mutualOpt =
      sub->add_option("--mutual-user", a->mutualUser, "the user name the target answers with (mutual CHAP)");
  auto* mutualSecretOpt =
      sub->add_option("--mutual-secret-file", a->mutualSecretFile, "a file holding the target's secret");
  auto* offOpt = sub->add_flag("--off", a->off, "turn CHAP off: mapped initiators log in without credentials");
  for (auto* opt : {userOpt, secretOpt, mutualOpt, mutualSecretOpt}) offOpt->excludes(opt);
  userOpt->needs(secretOpt);
  secretOpt->needs(userOpt);
  mutualOpt->needs(mutualSecretOpt)->needs(userOpt);
  mutualSecretOpt->needs(mutualOpt);
  sub->callback([a, &ctx] {
    Command c;
    c.build = [a, &ctx](std::unique_ptr<CNMessageBase>& request) -> CRnError {
      if (!a->off && a->user.empty()) return UsageError("target auth needs --user and --secret-file, or --off");
      std::string secret, mutualSecret;
      if (!a->off) {
        if (CRnError e = ReadSecretFile(a->secretFile, secret)) return e;
        if (!a->mutualUser.empty())
          if (CRnError e = ReadSecretFile(a->mutualSecretFile, mutualSecret)) return e;
      }
      request = MakeSetTargetAuth(a->name, a->off ? std::string() : a->user, secret, a->mutualUser, mutualSecret,
                                  ctx.g.flags);
      return CRnError();
    };
    c.printOk = [a](const ReplyView&, std::ostream& o) {
      if (a->off)
        o << "CHAP of target " << a->name << " off\n";
      else
        o << "CHAP of target " << a->name << " on, user " << a->user
          << (a->mutualUser.empty() ? std::string() : ", mutual user " + a->mutualUser) << "\n";
    };
    ctx.choose(std::move(c));
  });
}

void AddTargetList(CLI::App& target, CtlContext& ctx) {
  target.add_subcommand("list", "list the targets")->callback([&ctx] {
    ctx.choose(Simple([&ctx] { return MakeListTargets(ctx.g.flags); }, PrintTargetTable));
  });
}

// The detailed views, 80 columns wide for people, everything in full with
// --json: `target show [TARGET]` and `lun show [TARGET [LUN]]`.
// A named target or LUN that does not exist is an error (exit 4), never an
// empty listing: a typo must not pass for "nothing there". `lun show` asks
// for the target's record too, which tells a missing target from a target
// without LUNs, and keeps the LUN asked for.
Command DetailedShow(CtlContext& ctx, const char* kind, std::string (*format)(const ReplyView&, size_t),
                     const std::string& target, int64_t lun) {
  const bool luns = std::string(kind) == "lun";
  const std::string asked = luns && !target.empty() ? "" : kind;
  Command c = Simple([&ctx, asked, target] { return MakeShow(asked, target, -1, ctx.g.flags); },
                     [format](const ReplyView& v, std::ostream& o) { o << format(v, 80); });
  c.toJson = DetailsJson;
  if (target.empty()) return c;
  c.narrow = [luns, target, lun](ReplyView& v, std::string& next) -> std::string {
    bool hasTarget = false;
    std::string numbers;
    std::vector<std::string> kept;
    for (const std::string& line : v.results) {
      DetailRecord r;
      if (!ParseDetailRecord(line, r)) continue;
      if (r.kind == "target") hasTarget = true;
      if (r.kind == "lun") numbers += (numbers.empty() ? "" : ", ") + r.Get("lun");
      if (r.kind == (luns ? "lun" : "target") && (lun < 0 || r.Get("lun") == std::to_string(lun))) kept.push_back(line);
    }
    if (!hasTarget) {
      next = "`wzscsictl target list` shows the targets";
      return "no target " + target;
    }
    if (luns && lun >= 0 && kept.empty()) {
      next = "the LUNs of " + target + ": " + (numbers.empty() ? "none" : numbers);
      return "target " + target + " has no LUN " + std::to_string(lun);
    }
    v.results = kept;
    return std::string();
  };
  return c;
}

void AddTargetShow(CLI::App& target, CtlContext& ctx) {
  auto name = std::make_shared<std::string>();
  CLI::App* sub = target.add_subcommand("show", "a target's description, CHAP state (never a secret) and LUN count");
  sub->add_option("TARGET", *name, "only this target");
  sub->callback([name, &ctx] { ctx.choose(DetailedShow(ctx, "target", FormatTargetDetails, *name, -1)); });
}

// ---------------------------------------------------------------- lun

void AddLunCreate(CLI::App& lun, CtlContext& ctx) {
  struct Args {
    LunCreateArgs cfg;
    std::string type;
    std::string image;
    std::string size;
  };
  auto a = std::make_shared<Args>();
  CLI::App* sub = lun.add_subcommand("create", "create a LUN on a target");
  sub->add_option("TARGET", a->cfg.target, "target name")->required();
  sub->add_option("--type", a->type, "backing store: kernel, blkdev, devsnap, fsblb, rbd or a number")->required();
  auto* pathOpt = sub->add_option("--path", a->cfg.path, "backing file or device");
  auto* ssidOpt = sub->add_option("--ssid", a->cfg.ssid, "snapshot id (devsnap)");
  auto* imageOpt = sub->add_option("--image", a->image, "RBD image POOL/IMAGE (rbd)");
  pathOpt->excludes(ssidOpt);
  imageOpt->excludes(pathOpt)->excludes(ssidOpt);
  sub->add_option("--serial", a->cfg.serial, "serial-number prefix (letters and digits, at most 16)")->required();
  auto* sizeOpt = sub->add_option("--size", a->size, "size in bytes, or with K, M, G or T (10G)");
  sub->add_flag("--existing", a->cfg.existing, "adopt the RBD image that exists (rbd; --size: at least this big)");
  sub->add_option("--args", a->cfg.rawArgs, "further backing-store options, appended as given (--args=\"-x y\")");
  sub->callback([a, sizeOpt, &ctx] {
    a->cfg.hasSize = sizeOpt->count() > 0;
    Command c;
    c.build = [a, &ctx](std::unique_ptr<CNMessageBase>& request) -> CRnError {
      if (CRnError e = ParseLunType(a->type, a->cfg.type)) return e;
      if (a->cfg.hasSize) {
        if (CRnError e = ParseByteSize(a->size, a->cfg.size)) return e;
      }
      if (a->cfg.type == WzScsiServer::BSTOR_RBD) {
        if (a->image.empty()) return UsageError("lun create --type rbd needs --image POOL/IMAGE");
        if (!a->cfg.hasSize && !a->cfg.existing)
          return UsageError("lun create --type rbd needs --size for a new image, or --existing");
        a->cfg.path = a->image;
      } else if (!a->image.empty() || a->cfg.existing) {
        return UsageError("--image and --existing are for --type rbd");
      }
      if (a->cfg.path.empty() == a->cfg.ssid.empty())
        return UsageError("lun create needs exactly one of --path and --ssid");
      if (a->cfg.type != WzScsiServer::BSTOR_RBD && !a->cfg.path.empty() && a->cfg.path[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) == nullptr)
          return UsageError(
              ("--path " + a->cfg.path + " is relative and the working directory cannot be read").c_str());
        a->cfg.path = AbsolutePathIn(cwd, a->cfg.path);
      }
      request = MakeCreateLun(a->cfg, ctx.g.flags);
      return CRnError();
    };
    c.printOk = [a](const ReplyView& v, std::ostream& o) {
      o << "LUN " << v.lunId << " created on target " << a->cfg.target;
      if (!v.serialPrefix.empty()) o << " (serial prefix " << v.serialPrefix << ")";
      o << "\n";
    };
    ctx.choose(std::move(c));
  });
}

// TARGET and LUN, the arguments of the commands on one LUN.
struct LunRef {
  std::string target;
  int64_t lun = 0;
};

void AddLunRef(CLI::App& sub, LunRef& ref) {
  sub.add_option("TARGET", ref.target, "target name")->required();
  sub.add_option("LUN", ref.lun, "LUN number")->required();
}

void AddLunDelete(CLI::App& lun, CtlContext& ctx) {
  struct Args {
    LunRef ref;
    bool closeOnly = false;
    bool removeImage = false;
  };
  auto a = std::make_shared<Args>();
  CLI::App* sub = lun.add_subcommand("delete", "delete a LUN (it must have no host mapping)");
  AddLunRef(*sub, a->ref);
  auto* closeOpt =
      sub->add_flag("--close-only", a->closeOnly, "only close it (devsnap): it stays configured and saved");
  sub->add_flag("--remove-image", a->removeImage,
                "remove the RBD image too (rbd; refused while another gateway or client holds it open)")
      ->excludes(closeOpt);
  sub->callback([a, &ctx] {
    ctx.choose(Simple(
        [a, &ctx] {
          return MakeDeleteLun(a->ref.target, a->ref.lun, a->closeOnly,
                               a->removeImage ? (ctx.g.flags | kFlagRemoveImage) : ctx.g.flags);
        },
        [a](const ReplyView&, std::ostream& o) {
          o << "LUN " << a->ref.lun << " of target " << a->ref.target << (a->closeOnly ? " closed\n" : " deleted\n");
        }));
  });
}

void AddLunResize(CLI::App& lun, CtlContext& ctx) {
  struct Args {
    LunRef ref;
    std::string size;
  };
  auto a = std::make_shared<Args>();
  CLI::App* sub = lun.add_subcommand(
      "resize", "grow a LUN (rbd; blkdev on a file): the engine serves the new size after a short gap");
  AddLunRef(*sub, a->ref);
  sub->add_option("SIZE", a->size, "the new size in bytes, or with K, M, G or T (20G)")->required();
  sub->callback([a, &ctx] {
    Command c;
    c.build = [a, &ctx](std::unique_ptr<CNMessageBase>& request) -> CRnError {
      uint64_t bytes = 0;
      if (CRnError e = ParseByteSize(a->size, bytes)) return e;
      request = MakeResizeLun(a->ref.target, a->ref.lun, bytes, ctx.g.flags);
      return CRnError();
    };
    c.printOk = [a](const ReplyView&, std::ostream& o) {
      o << "LUN " << a->ref.lun << " of target " << a->ref.target << " resized to " << a->size << "\n";
    };
    ctx.choose(std::move(c));
  });
}

void AddLunOpen(CLI::App& lun, CtlContext& ctx) {
  auto ref = std::make_shared<LunRef>();
  CLI::App* sub = lun.add_subcommand("open", "open a closed devsnap LUN again");
  AddLunRef(*sub, *ref);
  sub->callback([ref, &ctx] {
    ctx.choose(Simple([ref, &ctx] { return MakeOpenLun(ref->target, ref->lun, ctx.g.flags); },
                      [ref](const ReplyView&, std::ostream& o) {
                        o << "LUN " << ref->lun << " of target " << ref->target << " opened\n";
                      }));
  });
}

void AddLunList(CLI::App& lun, CtlContext& ctx) {
  struct Args {
    std::string target, host;
  };
  auto a = std::make_shared<Args>();
  CLI::App* sub = lun.add_subcommand("list", "list LUNs with their hosts and creation times (UTC)");
  sub->add_option("--target", a->target, "only this target");
  sub->add_option("--host", a->host, "only LUNs mapped to this host");
  sub->callback([a, &ctx] {
    Command c = Simple([a, &ctx] { return MakeListLuns(a->target, a->host, ctx.g.flags); },
                       [a, &ctx](const ReplyView& v, std::ostream& o) {
                         PrintLunTable(v, o);
                         // A LUN that failed to restore has no listing line (it has no
                         // host nor engine state); the detailed listing knows it.
                         if (!a->host.empty()) return;
                         CallResult shown = CallOnce(ctx.g.Endpoint(), ctx.g.token,
                                                     *MakeShow("lun", a->target, -1, ctx.g.flags), ctx.g.TimeoutMs());
                         if (!shown.reply) return;
                         const ReplyView details = ViewReply(*shown.reply);
                         for (const std::string& line : details.results) {
                           DetailRecord r;
                           if (ParseDetailRecord(line, r) && r.Get("restored") == "no")
                             o << "LUN " << r.Get("lun") << " of target " << r.Get("target")
                               << " NOT RESTORED: its saved configuration failed (wzscsictl status)\n";
                         }
                       });
    c.listsLuns = true;
    ctx.choose(std::move(c));
  });
}

void AddLunShow(CLI::App& lun, CtlContext& ctx) {
  struct Args {
    std::string target;
    int64_t lun = -1;
  };
  auto a = std::make_shared<Args>();
  CLI::App* sub =
      lun.add_subcommand("show", "each LUN's backing store, path, size, serial, closed state, hosts and creation time");
  sub->add_option("TARGET", a->target, "only this target's LUNs");
  sub->add_option("LUN", a->lun, "only this LUN (needs TARGET)")->check(CLI::NonNegativeNumber);
  sub->callback([a, &ctx] { ctx.choose(DetailedShow(ctx, "lun", FormatLunDetails, a->target, a->lun)); });
}

// ---------------------------------------------------------------- host

struct HostRef {
  LunRef lun;
  std::string host;
};

std::shared_ptr<HostRef> AddHostRef(CLI::App& sub) {
  auto ref = std::make_shared<HostRef>();
  AddLunRef(sub, ref->lun);
  sub.add_option("HOST", ref->host, "host (initiator) name, case-sensitive")->required();
  return ref;
}

void AddHostMap(CLI::App& host, CtlContext& ctx) {
  CLI::App* sub = host.add_subcommand("map", "map a LUN to a host");
  auto r = AddHostRef(*sub);
  sub->callback([r, &ctx] {
    ctx.choose(Simple([r, &ctx] { return MakeMapHost(r->lun.target, r->lun.lun, r->host, ctx.g.flags); },
                      [r](const ReplyView&, std::ostream& o) {
                        o << "host " << r->host << " mapped to LUN " << r->lun.lun << " of target " << r->lun.target
                          << "\n";
                      }));
  });
}

void AddHostUnmap(CLI::App& host, CtlContext& ctx) {
  CLI::App* sub = host.add_subcommand("unmap", "remove a host mapping");
  auto r = AddHostRef(*sub);
  sub->callback([r, &ctx] {
    ctx.choose(Simple([r, &ctx] { return MakeUnmapHost(r->lun.target, r->lun.lun, r->host, ctx.g.flags); },
                      [r](const ReplyView&, std::ostream& o) {
                        o << "host " << r->host << " unmapped from LUN " << r->lun.lun << " of target " << r->lun.target
                          << "\n";
                      }));
  });
}

// ---------------------------------------------------------------- service

void AddReload(CLI::App& app, CtlContext& ctx) {
  app.add_subcommand("reload", "replay the saved configuration into the running service")->callback([&ctx] {
    ctx.choose(Simple([&ctx] { return MakeReload(ctx.g.flags); },
                      [](const ReplyView& v, std::ostream& o) { PrintMessageOr(v, "reloaded", o); }));
  });
}

void AddStatus(CLI::App& app, CtlContext& ctx) {
  app.add_subcommand("status", "the service's state and what its last replay could not restore")->callback([&ctx] {
    Command c = Simple([&ctx] { return MakeStatus(ctx.g.flags); },
                       [](const ReplyView& v, std::ostream& o) { o << FormatStatus(v); });
    c.isStatus = true;
    ctx.choose(std::move(c));
  });
}

void AddReconcile(CLI::App& app, CtlContext& ctx) {
  auto dryRun = std::make_shared<bool>(false);
  CLI::App* sub =
      app.add_subcommand("reconcile",
                         "make the engine hold exactly the configuration: create what it lacks, remove the service's "
                         "objects the configuration lacks");
  sub->add_flag("--dry-run", *dryRun, "list the differences, change nothing");
  sub->callback([dryRun, &ctx] {
    ctx.choose(Simple([dryRun, &ctx] { return MakeReconcile(*dryRun, ctx.g.flags); },
                      [](const ReplyView& v, std::ostream& o) {
                        for (const std::string& line : v.results) o << line << "\n";
                        o << (v.errorMessage.empty() ? "done" : v.errorMessage) << "\n";
                      }));
  });
}

// cluster import: a gateway whose cluster start was refused (an empty
// cluster, local targets) writes its configuration into the cluster.
void AddClusterImport(CLI::App& app, CtlContext& ctx) {
  CLI::App* sub = app.add_subcommand(
      "import", "write this gateway's configuration into its empty cluster and follow the cluster from then on");
  sub->callback([&ctx] {
    ctx.choose(Simple(
        [&ctx] { return MakeClusterImport(ctx.g.flags); },
        [](const ReplyView& v, std::ostream& o) { o << (v.errorMessage.empty() ? "done" : v.errorMessage) << "\n"; }));
  });
}

// ioctl: the rest of the line is the command's option string, so that
// `ioctl llh -hi host1` reads naturally; only --help is ours.
void AddIoctl(CLI::App& app, CtlContext& ctx) {
  auto command = std::make_shared<std::string>();
  CLI::App* sub = app.add_subcommand("ioctl", "send a control command; the rest of the line is its option string");
  sub->set_help_flag("--help", "print this help message and exit");
  sub->prefix_command();
  sub->fallthrough(false);
  sub->add_option("COMMAND", *command, "command word (ll, llt, llh, lt, rc)")->required();
  sub->callback([command, sub, &ctx] {
    std::string arguments;
    for (const std::string& a : sub->remaining()) arguments += (arguments.empty() ? "" : " ") + a;
    Command c = Simple([&ctx, word = *command, arguments] { return MakeIoctl(word, arguments, ctx.g.flags); },
                       PrintResultLines);
    c.listsLuns = true;
    ctx.choose(std::move(c));
  });
}

void AddSend(CLI::App& app, CtlContext& ctx) {
  auto file = std::make_shared<std::string>();
  CLI::App* sub =
      app.add_subcommand("send", "send any XML message (file, or - for standard input); prints the reply's XML");
  sub->add_option("FILE", *file, "file holding one message")->required();
  sub->callback([file, &ctx] {
    Command c;
    c.build = [file, &ctx](std::unique_ptr<CNMessageBase>& msg) -> CRnError {
      std::string text;
      if (CRnError e = ReadAll(*file, *ctx.in, text)) return e;
      int status = 0;
      msg = CNMessageBase::ParseXml(text.data(), text.size(), &status);
      if (!msg)
        return FXErrorUtil::ErrorWin32(FX_HERE_IN("wzscsictl"), ERROR_INVALID_PARAMETER, "%s is not a message: %s",
                                       *file == "-" ? "the input" : file->c_str(), CNXmlStatusText(status));
      return CRnError();
    };
    c.printsXml = true;
    ctx.choose(std::move(c));
  });
}

// ---------------------------------------------------------------- the table

// Every subcommand, by the group it belongs to ("" for the top level), in
// the order --help lists them.
struct CommandRow {
  const char* group;
  CommandBuilder add;
};
const CommandRow kCommands[] = {
    {"", AddStart},
    {"target", AddTargetCreate},
    {"target", AddTargetDelete},
    {"target", AddTargetAuth},
    {"target", AddTargetList},
    {"lun", AddLunCreate},
    {"lun", AddLunDelete},
    {"lun", AddLunOpen},
    {"lun", AddLunResize},
    {"lun", AddLunList},
    {"target", AddTargetShow},
    {"lun", AddLunShow},
    {"host", AddHostMap},
    {"host", AddHostUnmap},
    {"", AddReload},
    {"", AddStatus},
    {"", AddReconcile},
    {"cluster", AddClusterImport},
    {"", AddImport},
    {"", AddExport},
    {"", AddIoctl},
    {"", AddSend},
};

const char* GroupDescription(const std::string& group) {
  if (group == "target") return "create, delete and list targets";
  if (group == "lun") return "create, delete, open, resize and list LUNs";
  if (group == "cluster") return "bring a gateway's configuration into its cluster";
  return "map LUNs to hosts (initiators) and remove mappings";
}

void AddGlobalOptions(CLI::App& app, GlobalOptions& g) {
  app.fallthrough();
  app.require_subcommand(1);
  app.add_option("--socket", g.socket, "Unix socket of wzscsid")->envname("WZSCSI_SOCKET")->capture_default_str();
  app.add_option("--tcp", g.tcp, "HOST:PORT of wzscsid's TCP listener (instead of the Unix socket)");
  app.add_option("--token", g.token, "shared token for TCP (better: the WZSCSI_TOKEN variable)")
      ->envname("WZSCSI_TOKEN");
  app.add_option("--tls-ca", g.tls.caFile, "CA certificates (PEM) that wzscsid's TLS certificate is checked against")
      ->envname("WZSCSI_TLS_CA");
  app.add_option("--tls-cert", g.tls.certFile, "this client's certificate (PEM), for a daemon that asks for one")
      ->envname("WZSCSI_TLS_CERT");
  app.add_option("--tls-key", g.tls.keyFile, "the key of --tls-cert (PEM; default: in the --tls-cert file)")
      ->envname("WZSCSI_TLS_KEY");
  app.add_flag("--no-tls", g.tls.plain, "speak clear text over TCP (a daemon with PlainTcpOnLoopback=yes)");
  app.add_flag("--json", g.json, "print each reply as one JSON object");
  app.add_option("--timeout", g.timeoutSecs, "seconds to wait for the connection and for the reply")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--flags", g.flags, "request context flags (1 close only, 2 open only)");
  app.set_version_flag("--version", std::string("wzscsictl ") + WZ_VERSION, "print the version and exit");
}

int Execute(const GlobalOptions& g, const Command& cmd, std::ostream& out, std::ostream& err) {
  if (cmd.run) return cmd.run(out, err);
  std::unique_ptr<CNMessageBase> request;
  if (CRnError e = cmd.build(request)) {
    if (g.json)
      out << ClientErrorJson(e.AsString(), std::string(), kExitFailed) << "\n";
    else
      err << "wzscsictl: " << e.AsString() << "\n";
    return kExitFailed;
  }
  CallResult result = CallOnce(g.Endpoint(), g.token, *request, g.TimeoutMs(), g.tls);
  if (!result.reply) {
    if (g.json) {
      out << ClientErrorJson(result.errorText, result.nextStep, result.exitCode) << "\n";
    } else {
      err << "wzscsictl: " << result.errorText << "\n";
      if (!result.nextStep.empty()) err << "  next: " << result.nextStep << "\n";
    }
    return result.exitCode;
  }
  ReplyView view = ViewReply(*result.reply);
  if (result.exitCode == kExitOk && cmd.narrow) {
    std::string next;
    const std::string missing = cmd.narrow(view, next);
    if (!missing.empty()) {
      if (g.json) {
        out << ClientErrorJson(missing, next, kExitNotFound) << "\n";
      } else {
        err << "wzscsictl: " << missing << "\n";
        if (!next.empty()) err << "  next: " << next << "\n";
      }
      return kExitNotFound;
    }
  }
  if (g.json) {
    out << (cmd.toJson ? cmd.toJson(view) : cmd.isStatus ? StatusJson(view) : ReplyJson(view, cmd.listsLuns)) << "\n";
  } else if (cmd.printsXml) {
    std::string xml;
    if (result.reply->serialize(xml, true) != 0) xml = "(the reply cannot be written as XML)";
    out << xml << (xml.empty() || xml.back() != '\n' ? "\n" : "");
  } else if (result.exitCode == kExitOk) {
    cmd.printOk(view, out);
  }
  if (result.exitCode != kExitOk && !g.json) err << FormatFailure(view);
  return result.exitCode;
}

}  // namespace

int RunCtl(int argc, const char* const* argv, std::ostream& out, std::ostream& err, std::istream& in) {
  CtlContext ctx;
  ctx.in = &in;
  Command cmd;
  bool chosen = false;
  ctx.choose = [&](Command c) {
    cmd = std::move(c);
    chosen = true;
  };

  CLI::App app{
      "wzscsictl: the command-line client of wzscsid, the SCSI target service.\n"
      "Exit status: 0 success, 1 the service answered with an error (or bad usage),\n"
      "2 wzscsid cannot be reached or refused the connection, 3 no reply in time,\n"
      "4 the target or LUN a show command names does not exist.",
      "wzscsictl"};
  AddGlobalOptions(app, ctx.g);
  // A group is added where its first subcommand comes, so --help lists
  // everything in the table's order.
  std::map<std::string, CLI::App*> groups{{"", &app}};
  for (const CommandRow& row : kCommands) {
    CLI::App*& parent = groups[row.group];
    if (parent == nullptr) parent = &AddGroup(app, row.group, GroupDescription(row.group));
    row.add(*parent, ctx);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e, out, err);
  } catch (const CLI::ParseError& e) {
    (void)app.exit(e, out, err);
    return kExitFailed;
  }
  if (!chosen) {
    out << app.help();
    return kExitFailed;
  }
  return Execute(ctx.g, cmd, out, err);
}

}  // namespace WzCtl
