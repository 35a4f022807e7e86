#include "bench/e2e_daemon.h"

#include <stdlib.h>

#include <fstream>
#include <thread>
#include <vector>

#include "bench/bench_requests.h"
#include "hostlib/net/client.h"
#include "hostlib/util/RnFiles.h"

namespace wzbench {

namespace {

typedef std::chrono::steady_clock Clock;

CRnError WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 29, "cannot write %s", path.c_str());
  return CRnError();
}

}  // namespace

BenchDaemon::BenchDaemon(const DaemonSetup& setup) : m_setup(setup) {}

BenchDaemon::~BenchDaemon() {
  if (m_process.Running()) {
    CRnError ignored = m_process.Stop(30000);
    (void)ignored;
  }
  if (!m_dir.empty()) {
    CRnError ignored = CRnDirectory::Remove(m_dir, true, false);
    (void)ignored;
  }
}

CRnError BenchDaemon::Prepare() {
  std::string pattern = m_setup.parentDir + "/wzbench-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr)
    return FXErrorUtil::ErrorErrNo(FX_HERE_IN("bench"), errno, "cannot make a directory under %s",
                                   m_setup.parentDir.c_str());
  m_dir = buf.data();
  m_config = m_dir + "/wzscsi.conf";
  m_staging = m_dir + "/staging";
  m_socket = m_dir + "/s";
  m_logFile = m_dir + "/wzscsid.log";
  if (CRnError e = CRnDirectory::Create(m_staging, true)) return e;
  return WriteText(m_config, "[Quellport]\nsScsiSrvStagingLoc=" + m_staging + "\n");
}

CRnError BenchDaemon::Start(bool autostart) {
  std::vector<std::string> argv = {m_setup.daemonPath,
                                   "--config", m_config,
                                   "--state-dir", m_dir + "/state",
                                   "--driver-dir", m_setup.driverDir,
                                   "--socket", m_socket,
                                   "--log-level", std::to_string(m_setup.logLevel),
                                   "--log-file", m_logFile};
  if (!autostart) argv.push_back("--no-autostart");
  m_startedAt = Clock::now();
  return m_process.Start(argv, m_dir + "/wzscsid.out");
}

CRnError BenchDaemon::WaitListening(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    CWzClient client;
    CRnError e = client.Connect(m_socket, "", 1000);
    if (e.IsSuccess()) return CRnError();
    if (!m_process.Running())
      return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 1067, "wzscsid exited before it listened; see %s",
                                     m_logFile.c_str());
    if (Clock::now() >= deadline)
      return e.Push(FX_HERE_IN("bench"), "wzscsid does not listen on %s after %d ms", m_socket.c_str(), timeoutMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

CRnError BenchDaemon::WaitServing(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  if (CRnError e = WaitListening(timeoutMs)) return e;
  CWzClient client;
  if (CRnError e = Connect(client)) return e;
  for (;;) {
    int64_t code = -1;
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (CRnError e = CallForCode(client, *IoctlRequest("lt"), left > 0 ? left : 1, code)) return e;
    if (code == 0) return CRnError();
    if (Clock::now() >= deadline)
      return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 1460, "wzscsid not serving after %d ms (code %lld)",
                                     timeoutMs, static_cast<long long>(code));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

CRnError BenchDaemon::Stop(int timeoutMs) { return m_process.Stop(timeoutMs); }

CRnError BenchDaemon::Connect(CWzClient& client, int timeoutMs) { return client.Connect(m_socket, "", timeoutMs); }

std::string BenchDaemon::LogLinesWith(const std::string& needle, size_t maxLines) const {
  std::vector<std::string> found;
  for (const std::string& file : {m_logFile, m_dir + "/wzscsid.out"}) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
      if (line.find(needle) != std::string::npos) found.push_back(line);
  }
  std::string out;
  const size_t first = found.size() > maxLines ? found.size() - maxLines : 0;
  for (size_t i = first; i < found.size(); ++i) out += (out.empty() ? "" : "\n") + found[i];
  return out;
}

CRnError CallForCode(CWzClient& client, const CNMessageBase& request, int timeoutMs, int64_t& code,
                     std::unique_ptr<CNMessageBase>* replyOut) {
  std::unique_ptr<CNMessageBase> reply;
  if (CRnError e = client.Call(request, reply, timeoutMs)) return e;
  code = ReplyCode(reply.get());
  if (replyOut != nullptr) *replyOut = std::move(reply);
  return CRnError();
}

}  // namespace wzbench
