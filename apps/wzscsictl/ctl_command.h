// The pieces every wzscsictl subcommand is built from: the global options,
// what a chosen subcommand does (one request and how its reply reads, or a
// run of its own for commands that send several), and the context each
// per-command builder registers its options and its action with.
//
// Thread safety: one RunCtl call owns a CtlContext and everything its
// builders registered; nothing here is shared between calls.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "apps/wzscsictl/ctl_lib.h"
#include "hostlib/net/asio_network_server.h"

namespace WzCtl {

struct GlobalOptions {
  std::string socket = kWznDefaultUnixSocketPath;
  std::string tcp;
  std::string token;
  WznClientTls tls;
  bool json = false;
  double timeoutSecs = 60;
  int64_t flags = 0;

  std::string Endpoint() const { return tcp.empty() ? socket : tcp; }
  int TimeoutMs() const { return static_cast<int>(timeoutSecs * 1000); }
};

// What the chosen subcommand does.
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
  // Keeps of a successful reply what was asked for; when that does not
  // exist, says so (and sets next to the step that helps): the command
  // then exits kExitNotFound. Null: every reply is shown as it is.
  std::function<std::string(ReplyView&, std::string& next)> narrow;
  // Commands that send several requests (import, export) run on their own
  // and return the exit status; build and the rest are then unused.
  std::function<int(std::ostream& out, std::ostream& err)> run;
};

// What a builder registers with: the global options (read when the action
// runs, after parsing), standard input, and the call that makes a parsed
// subcommand the one to execute.
struct CtlContext {
  GlobalOptions g;
  std::istream* in = nullptr;
  std::function<void(Command)> choose;
};

// A subcommand's builder: adds its subcommand (with options and action) to
// parent. Arguments live in state the action captures, so they outlive the
// builder.
using CommandBuilder = void (*)(CLI::App& parent, CtlContext& ctx);

// A command that sends the one request make() returns and prints printOk's
// text for a success.
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

// `import` and `export` (migrate_cli.cc).
void AddImport(CLI::App& app, CtlContext& ctx);
void AddExport(CLI::App& app, CtlContext& ctx);

}  // namespace WzCtl
