#include "bench/e2e_daemon.h"

#include <stdlib.h>

#include <fstream>
#include <vector>

#include "bench/bench_requests.h"
#include "hostlib/net/client.h"
#include "hostlib/util/RnFiles.h"

namespace wzbench {

namespace {

CRnError WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 29, "cannot write %s", path.c_str());
  return CRnError();
}

}  // namespace

BenchDaemon::BenchDaemon(const DaemonSetup& setup) : m_setup(setup) {}

BenchDaemon::~BenchDaemon() { Remove(); }

void BenchDaemon::Remove() {
  if (m_process.Running()) m_process.Stop(30000);
  if (!m_dir.empty()) {
    CRnError ignored = CRnDirectory::Remove(m_dir, true, false);
    (void)ignored;
    m_dir.clear();
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
  const std::string engine = m_setup.engine.empty() ? std::string() : "sScsiEngine=" + m_setup.engine + "\n";
  return WriteText(m_config, "[Quellport]\nsScsiSrvStagingLoc=" + m_staging + "\n" + engine + m_setup.extraConfig);
}

CRnError BenchDaemon::Start(bool autostart, int readyTimeoutMs) {
  WzDaemonLaunch cfg;
  cfg.stateDir = m_dir + "/state";
  cfg.socketPath = m_socket;
  cfg.driverDir = m_setup.driverDir;
  cfg.logFile = m_logFile;
  cfg.logLevel = m_setup.logLevel;
  cfg.extraArgs = {"--config", m_config};
  if (!autostart) cfg.extraArgs.push_back("--no-autostart");
  cfg.readyTimeoutMs = readyTimeoutMs;
  cfg.wrapper = m_setup.wrapper;
  cfg.wrapper.insert(cfg.wrapper.end(), m_wrapper.begin(), m_wrapper.end());
  m_startedAt = std::chrono::steady_clock::now();
  return m_process.Start(cfg);
}

CRnError BenchDaemon::StartTimed(double& replaySec, double& servingSec, int timeoutMs) {
  typedef std::chrono::steady_clock Clock;
  if (CRnError e = Start(false, timeoutMs)) return e;
  CWzClient client;
  if (CRnError e = Connect(client)) return e;
  const Clock::time_point sent = Clock::now();
  int64_t code = -1;
  if (CRnError e = CallForCode(client, *StartRequest(), timeoutMs, code)) return e;
  const Clock::time_point answered = Clock::now();
  replaySec = std::chrono::duration<double>(answered - sent).count();
  servingSec = std::chrono::duration<double>(answered - m_startedAt).count();
  if (code != 0)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 1067, "start request answered with code %lld",
                                   static_cast<long long>(code));
  return CRnError();
}

CRnError BenchDaemon::CheckServing(int timeoutMs) {
  CWzClient client;
  if (CRnError e = Connect(client)) return e;
  int64_t code = -1;
  if (CRnError e = CallForCode(client, *IoctlRequest("lt"), timeoutMs, code)) return e;
  if (code != 0)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 1067, "wzscsid answers a listing with code %lld",
                                   static_cast<long long>(code));
  return CRnError();
}

CRnError BenchDaemon::Stop(int timeoutMs) {
  const int status = m_process.Stop(timeoutMs);
  if (status != 0)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 1067, "wzscsid stopped with status %d (-1: killed)", status);
  return CRnError();
}

CRnError BenchDaemon::Connect(CWzClient& client, int timeoutMs) { return client.Connect(m_socket, "", timeoutMs); }

std::string BenchDaemon::LogLinesWith(const std::string& needle, size_t maxLines) const {
  std::vector<std::string> found;
  for (const std::string& file : {m_logFile, m_process.StderrFile()}) {
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
