// The client's request and reply code, shared by wzscsictl, the daemon's own
// start request, the integration tests and the benchmarks: builders of every
// request, a flat view of any reply, its JSON and table forms, and one call
// over a fresh connection with the exit status it means.
//
// Thread safety: the free functions are reentrant; a CallResult or a message
// is used by one thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"
#include "hostlib/msg/CNMessageBase.h"
#include "hostlib/net/client.h"

namespace WzCtl {

// Exit statuses of wzscsictl.
enum ExitCode : int {
  kExitOk = 0,           // the reply's errorCode is 0
  kExitFailed = 1,       // any other errorCode, or a bad command line
  kExitUnreachable = 2,  // no connection, refused, or closed before the reply
  kExitNoReply = 3,      // connected, but no reply within the time-out
  kExitNotFound = 4,     // a show command's target or LUN does not exist
};

// Request context flags the client sets on its own (besides --flags).
constexpr int64_t kFlagCloseOnly = 1;
constexpr int64_t kFlagOpenOnly = 2;
constexpr int64_t kFlagRemoveImage = 4;  // a LUN delete removes the RBD image too

// What `lun create` needs. Exactly one of path and ssid is non-empty.
struct LunCreateArgs {
  std::string target;
  int64_t type = 0;
  std::string path;
  std::string ssid;
  std::string serial;
  bool hasSize = false;
  uint64_t size = 0;
  bool existing = false;  // an RBD LUN adopts its image ("-existing 1")
  std::string rawArgs;    // appended as given
};

// A size in bytes: decimal digits, optionally followed by K, M, G or T
// (binary multiples, any case, "iB" or "B" allowed after the letter): "10G",
// "512", "64MiB". Fails (Win32 87) on anything else or on overflow.
CRnError ParseByteSize(const std::string& text, uint64_t& bytes);

// "kernel" 1, "blkdev" 2, "devsnap" 3, "fsblb" 4 (any case), or a decimal
// number; fails (Win32 87) on anything else.
CRnError ParseLunType(const std::string& text, int64_t& type);
// " -ti <target> -path <P>|-ssid <S> -sp <serial> [-size N] [raw]", with the
// target in lower case as the service stores it.
std::string BuildLunArgs(const LunCreateArgs& cfg);
// path made absolute against the directory dir (absolute itself), as the
// shell that typed it meant; an absolute or empty path, or one that starts
// with a blank (which the service refuses), is returned as is.
// The service refuses a relative path: its working directory is not the
// client's.
std::string AbsolutePathIn(const std::string& dir, const std::string& path);

// Request builders. flags go into the request's RequestContext (left out
// when 0, as the service's own examples show).
std::unique_ptr<CNMessageBase> MakeStart(int64_t flags);
std::unique_ptr<CNMessageBase> MakeCreateTarget(const std::string& name, const std::string& desc, int64_t flags);
std::unique_ptr<CNMessageBase> MakeDeleteTarget(const std::string& name, int64_t flags);
std::unique_ptr<CNMessageBase> MakeCreateLun(const LunCreateArgs& cfg, int64_t flags);
// closeOnly adds kFlagCloseOnly to flags.
std::unique_ptr<CNMessageBase> MakeDeleteLun(const std::string& target, int64_t lun, bool closeOnly, int64_t flags);
std::unique_ptr<CNMessageBase> MakeResizeLun(const std::string& target, int64_t lun, uint64_t bytes, int64_t flags);
// A CreateLun with kFlagOpenOnly and the arguments " -li <lun>".
std::unique_ptr<CNMessageBase> MakeOpenLun(const std::string& target, int64_t lun, int64_t flags);
std::unique_ptr<CNMessageBase> MakeMapHost(const std::string& target, int64_t lun, const std::string& host,
                                           int64_t flags);
std::unique_ptr<CNMessageBase> MakeUnmapHost(const std::string& target, int64_t lun, const std::string& host,
                                             int64_t flags);
std::unique_ptr<CNMessageBase> MakeIoctl(const std::string& command, const std::string& arguments, int64_t flags);
// A SetTargetAuth; an empty user turns CHAP off.
std::unique_ptr<CNMessageBase> MakeSetTargetAuth(const std::string& target, const std::string& user,
                                                 const std::string& secret, const std::string& mutualUser,
                                                 const std::string& mutualSecret, int64_t flags);
// The secret held in a file ("-": standard input) without its line end.
// Secrets are read from files so that they appear in no command line or
// shell history.
CRnError ReadSecretFile(const std::string& path, std::string& secret);
// "lt".
std::unique_ptr<CNMessageBase> MakeListTargets(int64_t flags);
// "ll" with " -ti <target>" and/or " -hi <host>" when they are not empty.
std::unique_ptr<CNMessageBase> MakeListLuns(const std::string& target, const std::string& host, int64_t flags);
// "rc".
std::unique_ptr<CNMessageBase> MakeReload(int64_t flags);
// "status": answered at any time, during the start's replay too.
std::unique_ptr<CNMessageBase> MakeStatus(int64_t flags);
// "reconcile", with " -dry-run" when asked.
std::unique_ptr<CNMessageBase> MakeReconcile(bool dryRun, int64_t flags);
std::unique_ptr<CNMessageBase> MakeClusterImport(int64_t flags);

// A reply reduced to what a user or a script looks at. The has* members say
// whether the reply carries the field.
struct ReplyView {
  std::string replyClass;
  bool hasError = false;
  int64_t errorCode = 0;
  std::string errorMessage;  // the text's first line, the part clients match
  // The lines after it, each without its key: the object refused
  // ("object: "), the outcome when the code's text would mislead
  // ("meaning: "), the next step ("next: "); empty when the reply has none.
  std::string errorObject;
  std::string errorMeaning;
  std::string errorNext;
  bool hasLunId = false;
  int64_t lunId = 0;
  bool hasSerialPrefix = false;
  std::string serialPrefix;
  bool hasResults = false;
  std::vector<std::string> results;
};
ReplyView ViewReply(const CNMessageBase& reply);
// A failed reply for people, for standard error:
// "wzscsictl: <text> (<object>; error N, <meaning>)" and "  next: <step>"
// on its own line when the reply gives one.
std::string FormatFailure(const ReplyView& view);
// A failure without a reply (the daemon cannot be reached, a bad command
// line) as --json prints it: {"error":..,"exitCode":N} plus "next" when
// there is a next step.
std::string ClientErrorJson(const std::string& error, const std::string& next, int exitCode);
// kExitOk when errorCode is 0 (or the reply carries no Error record),
// kExitFailed otherwise.
int ExitCodeFor(const ReplyView& view);

// One LUN listing line, "target#host#lun#creationTime" (host "-" when the
// LUN has no mapping). Neither name holds "#": a line with another number of
// separators is refused.
struct LunTuple {
  std::string target;
  std::string host;
  int64_t lun = 0;
  uint64_t creationTime = 0;
};
bool ParseLunTuple(const std::string& line, LunTuple& out);
// "2024-01-31T12:00:00Z".
std::string IsoUtc(uint64_t secondsSinceEpoch);

// A JSON string literal (quotes included). Bytes that are not valid UTF-8
// become U+FFFD; control characters are escaped.
std::string JsonString(const std::string& text);
// One line, no trailing newline: {"reply":..,"errorCode":..,"errorMessage":..}
// plus object, meaning and next, lunId, serialPrefix and results when the
// reply has them; with
// withLuns, also "luns": the results parsed as LUN tuples.
std::string ReplyJson(const ReplyView& view, bool withLuns);
// The status reply: "key=value" lines, and "failure=" lines whose value is a
// tab-separated record kind, target, LUN, host, file, reason.
// StatusJson: {"reply":..,"errorCode":..,"errorMessage":..,"status":{key:
// value, numbers as numbers},"failures":[{"kind":..,"target":..,"lun":..,
// "host":..,"file":..,"reason":..}]}. FormatStatus: for people.
std::string StatusJson(const ReplyView& view);
std::string FormatStatus(const ReplyView& view);

// Columns padded to their widest cell, two blanks apart, one row a line.
std::string FormatTable(const std::vector<std::vector<std::string>>& rows);

// "ls", the detailed listing behind `target show` and `lun show`: kind
// "target" or "lun" (the records asked for), target "" for all, lun < 0 for
// every LUN of the target.
std::unique_ptr<CNMessageBase> MakeShow(const std::string& kind, const std::string& target, int64_t lun, int64_t flags);
// One record of "ls": "<kind> key=value key=value ...", values %XX-encoded.
// False when the line is not one (a token without "=", a bad escape).
struct DetailRecord {
  std::string kind;                           // "target" or "lun"
  std::map<std::string, std::string> fields;  // decoded values
  std::string Get(const std::string& key) const;
  // A list field (hosts): its items, each decoded.
  std::vector<std::string> GetList(const std::string& key) const;
};
bool ParseDetailRecord(const std::string& line, DetailRecord& out);
// The records for people: one block per target, values cut in the middle
// with "…" so that no line is wider than width columns. Closed LUNs read
// CLOSED.
std::string FormatTargetDetails(const ReplyView& view, size_t width);
std::string FormatLunDetails(const ReplyView& view, size_t width);
// {"reply":..,"errorCode":..,"errorMessage":..,"targets":[{"name":..,
// "description":..,"chap":{"enabled":..,"user":..,"mutualUser":..},"luns":N,
// "restored":"yes|partly|no"}],"luns":[{"target":..,"lun":N,"type":..,
// "path":..,"size":N|null,"serial":..,"closed":..,"hosts":[..],
// "creationTime":N,"created":"ISO"}]}: every value in full.
std::string DetailsJson(const ReplyView& view);

// One request over a fresh connection: connect, send, wait for the reply.
struct CallResult {
  int exitCode = kExitUnreachable;
  std::unique_ptr<CNMessageBase> reply;  // set when a reply came
  std::string errorText;                 // why there is no reply
  std::string nextStep;                  // what to do about it ("" when nothing helps)
};
// endpoint: a Unix socket path, or HOST:PORT. The time-out covers the
// connect and the wait for the reply, each.
// tls: how to speak to a TCP endpoint.
CallResult CallOnce(const std::string& endpoint, const std::string& token, const CNMessageBase& request, int timeoutMs,
                    const WznClientTls& tls = WznClientTls());

}  // namespace WzCtl
