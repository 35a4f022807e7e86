#include "apps/wzscsictl/ctl_cli.h"

#include <CLI/CLI.hpp>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>

#include "apps/wzscsictl/ctl_lib.h"
#include "hostlib/net/asio_network_server.h"
#include "messages/WzScsiServerMessages.h"

#ifndef WZ_VERSION
#define WZ_VERSION "unknown"
#endif

namespace WzCtl {
namespace {

struct GlobalOptions {
  std::string socket = kWznDefaultUnixSocketPath;
  std::string tcp;
  std::string token;
  bool json = false;
  double timeoutSecs = 60;
  int64_t flags = 0;
};

// What the chosen subcommand sends and how its success reads.
struct Command {
  // Builds the request; a failure is a usage error (exit 1).
  std::function<CRnError(std::unique_ptr<CNMessageBase>&)> build;
  // Prints a successful reply for people.
  std::function<void(const ReplyView&, std::ostream&)> printOk;
  bool listsLuns = false;
  bool printsXml = false;  // `send`: the reply's XML is the output
  bool isStatus = false;   // `status`: its own JSON form
  // A JSON form of its own (the show commands); ReplyJson when empty.
  std::function<std::string(const ReplyView&)> toJson;
};

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

template <class F>
Command Simple(F make, std::function<void(const ReplyView&, std::ostream&)> printOk) {
  Command c;
  c.build = [make](std::unique_ptr<CNMessageBase>& out) {
    out = make();
    return CRnError();
  };
  c.printOk = std::move(printOk);
  return c;
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

// What `target show` and `lun show` were given.
struct ShowArgs {
  std::string target;
  int64_t lun = -1;
};

// The detailed views: `target show [TARGET]` and `lun show [TARGET [LUN]]`,
// 80 columns wide for people, everything in full with --json.
void AddShowCommands(CLI::App* target, CLI::App* lun, ShowArgs& show, const GlobalOptions& g,
                     std::function<void(Command)> choose) {
  auto detailed = [&g, &show](const char* kind, std::string (*format)(const ReplyView&, size_t)) {
    Command c = Simple([&g, &show, kind] { return MakeShow(kind, show.target, show.lun, g.flags); },
                       [format](const ReplyView& v, std::ostream& o) { o << format(v, 80); });
    c.toJson = DetailsJson;
    return c;
  };
  auto* tShow = target->add_subcommand("show", "a target's description, CHAP state (never a secret) and LUN count");
  tShow->add_option("TARGET", show.target, "only this target");
  tShow->callback([choose, detailed] { choose(detailed("target", FormatTargetDetails)); });
  auto* lShow = lun->add_subcommand(
      "show", "each LUN's backing store, path, size, serial, closed state, hosts and creation time");
  lShow->add_option("TARGET", show.target, "only this target's LUNs");
  lShow->add_option("LUN", show.lun, "only this LUN (needs TARGET)")->check(CLI::NonNegativeNumber);
  lShow->callback([choose, detailed] { choose(detailed("lun", FormatLunDetails)); });
}

int Execute(const GlobalOptions& g, const Command& cmd, std::ostream& out, std::ostream& err) {
  std::unique_ptr<CNMessageBase> request;
  if (CRnError e = cmd.build(request)) {
    err << "wzscsictl: " << e.AsString() << "\n";
    return kExitFailed;
  }
  const std::string endpoint = g.tcp.empty() ? g.socket : g.tcp;
  const int timeoutMs = static_cast<int>(g.timeoutSecs * 1000);
  CallResult result = CallOnce(endpoint, g.token, *request, timeoutMs);
  if (!result.reply) {
    err << "wzscsictl: " << result.errorText << "\n";
    return result.exitCode;
  }
  ReplyView view = ViewReply(*result.reply);
  if (g.json) {
    out << (cmd.toJson ? cmd.toJson(view) : cmd.isStatus ? StatusJson(view) : ReplyJson(view, cmd.listsLuns)) << "\n";
  } else if (cmd.printsXml) {
    std::string xml;
    if (result.reply->serialize(xml, true) != 0) xml = "(the reply cannot be written as XML)";
    out << xml << (xml.empty() || xml.back() != '\n' ? "\n" : "");
  } else if (result.exitCode == kExitOk) {
    cmd.printOk(view, out);
  }
  if (result.exitCode != kExitOk && !g.json) {
    err << "wzscsictl: " << view.replyClass << ": error " << view.errorCode << " ("
        << WzScsiServer::ResultCodeText(view.errorCode) << "): " << view.errorMessage << "\n";
  }
  return result.exitCode;
}

}  // namespace

int RunCtl(int argc, const char* const* argv, std::ostream& out, std::ostream& err, std::istream& in) {
  GlobalOptions g;
  Command cmd;
  bool chosen = false;
  auto choose = [&](Command c) {
    cmd = std::move(c);
    chosen = true;
  };

  CLI::App app{
      "wzscsictl: the command-line client of wzscsid, the SCSI target service.\n"
      "Exit status: 0 success, 1 the service answered with an error (or bad usage),\n"
      "2 wzscsid cannot be reached or refused the connection, 3 no reply in time.",
      "wzscsictl"};
  app.fallthrough();
  app.require_subcommand(1);
  app.add_option("--socket", g.socket, "Unix socket of wzscsid")->envname("WZSCSI_SOCKET")->capture_default_str();
  app.add_option("--tcp", g.tcp, "HOST:PORT of wzscsid's TCP listener (instead of the Unix socket)");
  app.add_option("--token", g.token, "shared token for TCP (better: the WZSCSI_TOKEN variable)")
      ->envname("WZSCSI_TOKEN");
  app.add_flag("--json", g.json, "print each reply as one JSON object");
  app.add_option("--timeout", g.timeoutSecs, "seconds to wait for the connection and for the reply")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--flags", g.flags, "request context flags (1 close only, 2 open only)");
  app.set_version_flag("--version", std::string("wzscsictl ") + WZ_VERSION, "print the version and exit");

  // start
  app.add_subcommand("start", "start the service (replays the saved configuration)")->callback([&] {
    choose(Simple([&] { return MakeStart(g.flags); },
                  [](const ReplyView& v, std::ostream& o) { PrintMessageOr(v, "service started", o); }));
  });

  // target
  auto* target = app.add_subcommand("target", "create, delete and list targets");
  target->require_subcommand(1);
  auto* tCreate = target->add_subcommand("create", "create a target");
  std::string targetName, targetDesc;
  tCreate->add_option("NAME", targetName, "target name (an iSCSI qualified name)")->required();
  tCreate->add_option("--desc", targetDesc, "description");
  tCreate->callback([&] {
    choose(Simple([&] { return MakeCreateTarget(targetName, targetDesc, g.flags); },
                  [&](const ReplyView&, std::ostream& o) { o << "target " << targetName << " created\n"; }));
  });
  auto* tDelete = target->add_subcommand("delete", "delete a target (it must hold no LUN)");
  tDelete->add_option("NAME", targetName, "target name")->required();
  tDelete->callback([&] {
    choose(Simple([&] { return MakeDeleteTarget(targetName, g.flags); },
                  [&](const ReplyView&, std::ostream& o) { o << "target " << targetName << " deleted\n"; }));
  });
  auto* tAuth = target->add_subcommand("auth", "set or turn off a target's CHAP authentication");
  std::string authUser, secretFile, mutualUser, mutualSecretFile;
  bool authOff = false;
  tAuth->add_option("NAME", targetName, "target name")->required();
  auto* userOpt = tAuth->add_option("--user", authUser, "the user name initiators log in with");
  auto* secretOpt = tAuth->add_option("--secret-file", secretFile,
                                      "a file holding the secret (12 to 16 characters; - for standard input)");
  auto* mutualOpt =
      tAuth->add_option("--mutual-user", mutualUser, "the user name the target answers with (mutual CHAP)");
  auto* mutualSecretOpt =
      tAuth->add_option("--mutual-secret-file", mutualSecretFile, "a file holding the target's secret");
  auto* offOpt = tAuth->add_flag("--off", authOff, "turn CHAP off: mapped initiators log in without credentials");
  for (auto* opt : {userOpt, secretOpt, mutualOpt, mutualSecretOpt}) offOpt->excludes(opt);
  userOpt->needs(secretOpt);
  secretOpt->needs(userOpt);
  mutualOpt->needs(mutualSecretOpt)->needs(userOpt);
  mutualSecretOpt->needs(mutualOpt);
  tAuth->callback([&] {
    Command c;
    c.build = [&](std::unique_ptr<CNMessageBase>& request) -> CRnError {
      if (!authOff && authUser.empty())
        return FXErrorUtil::ErrorWin32(FX_HERE_IN("wzscsictl"), ERROR_INVALID_PARAMETER,
                                       "target auth needs --user and --secret-file, or --off");
      std::string secret, mutualSecret;
      if (!authOff) {
        if (CRnError e = ReadSecretFile(secretFile, secret)) return e;
        if (!mutualUser.empty())
          if (CRnError e = ReadSecretFile(mutualSecretFile, mutualSecret)) return e;
      }
      request =
          MakeSetTargetAuth(targetName, authOff ? std::string() : authUser, secret, mutualUser, mutualSecret, g.flags);
      return CRnError();
    };
    c.printOk = [&](const ReplyView&, std::ostream& o) {
      if (authOff)
        o << "CHAP of target " << targetName << " off\n";
      else
        o << "CHAP of target " << targetName << " on, user " << authUser
          << (mutualUser.empty() ? std::string() : ", mutual user " + mutualUser) << "\n";
    };
    choose(std::move(c));
  });
  target->add_subcommand("list", "list the targets")->callback([&] {
    choose(Simple([&] { return MakeListTargets(g.flags); }, PrintTargetTable));
  });

  // lun
  auto* lun = app.add_subcommand("lun", "create, delete, open and list LUNs");
  lun->require_subcommand(1);
  LunCreateArgs cfg;
  std::string typeText;
  int64_t lunId = 0;
  bool closeOnly = false;
  auto* lCreate = lun->add_subcommand("create", "create a LUN on a target");
  lCreate->add_option("TARGET", cfg.target, "target name")->required();
  lCreate->add_option("--type", typeText, "backing store: kernel, blkdev, devsnap, fsblb or a number")->required();
  auto* pathOpt = lCreate->add_option("--path", cfg.path, "backing file or device");
  auto* ssidOpt = lCreate->add_option("--ssid", cfg.ssid, "snapshot id (devsnap)");
  pathOpt->excludes(ssidOpt);
  lCreate->add_option("--serial", cfg.serial, "serial-number prefix (letters and digits, at most 16)")->required();
  auto* sizeOpt = lCreate->add_option("--size", cfg.size, "size in bytes");
  lCreate->add_option("--args", cfg.rawArgs, "further backing-store options, appended as given (--args=\"-x y\")");
  lCreate->callback([&] {
    cfg.hasSize = sizeOpt->count() > 0;
    Command c;
    c.build = [&](std::unique_ptr<CNMessageBase>& request) -> CRnError {
      if (cfg.path.empty() == cfg.ssid.empty())
        return FXErrorUtil::ErrorWin32(FX_HERE_IN("wzscsictl"), ERROR_INVALID_PARAMETER,
                                       "lun create needs exactly one of --path and --ssid");
      if (CRnError e = ParseLunType(typeText, cfg.type)) return e;
      request = MakeCreateLun(cfg, g.flags);
      return CRnError();
    };
    c.printOk = [&](const ReplyView& v, std::ostream& o) {
      o << "LUN " << v.lunId << " created on target " << cfg.target;
      if (!v.serialPrefix.empty()) o << " (serial prefix " << v.serialPrefix << ")";
      o << "\n";
    };
    choose(std::move(c));
  });
  auto* lDelete = lun->add_subcommand("delete", "delete a LUN (it must have no host mapping)");
  lDelete->add_option("TARGET", cfg.target, "target name")->required();
  lDelete->add_option("LUN", lunId, "LUN number")->required();
  lDelete->add_flag("--close-only", closeOnly, "only close it (devsnap): it stays configured and saved");
  lDelete->callback([&] {
    choose(Simple([&] { return MakeDeleteLun(cfg.target, lunId, closeOnly, g.flags); },
                  [&](const ReplyView&, std::ostream& o) {
                    o << "LUN " << lunId << " of target " << cfg.target << (closeOnly ? " closed\n" : " deleted\n");
                  }));
  });
  auto* lOpen = lun->add_subcommand("open", "open a closed devsnap LUN again");
  lOpen->add_option("TARGET", cfg.target, "target name")->required();
  lOpen->add_option("LUN", lunId, "LUN number")->required();
  lOpen->callback([&] {
    choose(Simple([&] { return MakeOpenLun(cfg.target, lunId, g.flags); },
                  [&](const ReplyView&, std::ostream& o) {
                    o << "LUN " << lunId << " of target " << cfg.target << " opened\n";
                  }));
  });
  std::string filterTarget, filterHost;
  auto* lList = lun->add_subcommand("list", "list LUNs with their hosts and creation times (UTC)");
  lList->add_option("--target", filterTarget, "only this target");
  lList->add_option("--host", filterHost, "only LUNs mapped to this host");
  lList->callback([&] {
    Command c = Simple([&] { return MakeListLuns(filterTarget, filterHost, g.flags); }, PrintLunTable);
    c.listsLuns = true;
    choose(std::move(c));
  });

  ShowArgs show;
  AddShowCommands(target, lun, show, g, choose);

  // host
  auto* host = app.add_subcommand("host", "map LUNs to hosts (initiators) and remove mappings");
  host->require_subcommand(1);
  std::string hostId;
  auto* hMap = host->add_subcommand("map", "map a LUN to a host");
  auto* hUnmap = host->add_subcommand("unmap", "remove a host mapping");
  for (auto* sub : {hMap, hUnmap}) {
    sub->add_option("TARGET", cfg.target, "target name")->required();
    sub->add_option("LUN", lunId, "LUN number")->required();
    sub->add_option("HOST", hostId, "host (initiator) name, case-sensitive")->required();
  }
  hMap->callback([&] {
    choose(Simple([&] { return MakeMapHost(cfg.target, lunId, hostId, g.flags); },
                  [&](const ReplyView&, std::ostream& o) {
                    o << "host " << hostId << " mapped to LUN " << lunId << " of target " << cfg.target << "\n";
                  }));
  });
  hUnmap->callback([&] {
    choose(Simple([&] { return MakeUnmapHost(cfg.target, lunId, hostId, g.flags); },
                  [&](const ReplyView&, std::ostream& o) {
                    o << "host " << hostId << " unmapped from LUN " << lunId << " of target " << cfg.target << "\n";
                  }));
  });

  // reload
  app.add_subcommand("reload", "replay the saved configuration into the running service")->callback([&] {
    choose(Simple([&] { return MakeReload(g.flags); },
                  [](const ReplyView& v, std::ostream& o) { PrintMessageOr(v, "reloaded", o); }));
  });

  // status
  app.add_subcommand("status", "the service's state and what its last replay could not restore")->callback([&] {
    Command c =
        Simple([&] { return MakeStatus(g.flags); }, [](const ReplyView& v, std::ostream& o) { o << FormatStatus(v); });
    c.isStatus = true;
    choose(std::move(c));
  });

  // reconcile
  bool dryRun = false;
  auto* reconcile =
      app.add_subcommand("reconcile",
                         "make the engine hold exactly the configuration: create what it lacks, remove the service's "
                         "objects the configuration lacks");
  reconcile->add_flag("--dry-run", dryRun, "list the differences, change nothing");
  reconcile->callback([&] {
    choose(Simple([&] { return MakeReconcile(dryRun, g.flags); },
                  [](const ReplyView& v, std::ostream& o) {
                    for (const std::string& line : v.results) o << line << "\n";
                    o << (v.errorMessage.empty() ? "done" : v.errorMessage) << "\n";
                  }));
  });

  // ioctl: the rest of the line is the command's option string, so that
  // `ioctl llh -hi host1` reads naturally; only --help is ours.
  std::string ioctlCommand;
  auto* ioctl = app.add_subcommand("ioctl", "send a control command; the rest of the line is its option string");
  ioctl->set_help_flag("--help", "print this help message and exit");
  ioctl->prefix_command();
  ioctl->fallthrough(false);
  ioctl->add_option("COMMAND", ioctlCommand, "command word (ll, llt, llh, lt, rc)")->required();
  ioctl->callback([&] {
    std::string arguments;
    for (const std::string& a : ioctl->remaining()) arguments += (arguments.empty() ? "" : " ") + a;
    Command c = Simple([&g, ioctlCommand, arguments] { return MakeIoctl(ioctlCommand, arguments, g.flags); },
                       [](const ReplyView& v, std::ostream& o) {
                         for (const std::string& line : v.results) o << line << "\n";
                         if (!v.errorMessage.empty()) o << v.errorMessage << "\n";
                       });
    c.listsLuns = true;
    choose(std::move(c));
  });

  // send
  std::string sendFile;
  auto* send =
      app.add_subcommand("send", "send any XML message (file, or - for standard input); prints the reply's XML");
  send->add_option("FILE", sendFile, "file holding one message")->required();
  send->callback([&] {
    Command c;
    c.build = [&](std::unique_ptr<CNMessageBase>& msg) -> CRnError {
      std::string text;
      if (CRnError e = ReadAll(sendFile, in, text)) return e;
      int status = 0;
      msg = CNMessageBase::ParseXml(text.data(), text.size(), &status);
      if (!msg)
        return FXErrorUtil::ErrorWin32(FX_HERE_IN("wzscsictl"), ERROR_INVALID_PARAMETER, "%s is not a message: %s",
                                       sendFile == "-" ? "the input" : sendFile.c_str(), CNXmlStatusText(status));
      return CRnError();
    };
    c.printsXml = true;
    choose(std::move(c));
  });

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
  return Execute(g, cmd, out, err);
}

}  // namespace WzCtl
