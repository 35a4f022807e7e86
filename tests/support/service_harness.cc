#include "tests/support/service_harness.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/util/CRnLibrary.h"
#include "hostlib/util/RnFiles.h"
#include "hostlib/util/WzScsiUtils.h"
#include "messages/WzScsiServerRequests.h"
#include "tests/support/service_test_peer.h"

namespace wztest {

namespace {

std::string MakeTempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/wzscsi-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  char* dir = mkdtemp(buf.data());
  return dir != nullptr ? std::string(dir) : std::string();
}

void ListInto(const std::string& base, const std::string& rel, std::vector<std::string>& out) {
  std::string dirPath = rel.empty() ? base : base + "/" + rel;
  DIR* d = opendir(dirPath.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string r = rel.empty() ? name : rel + "/" + name;
    struct stat st;
    if (stat((base + "/" + r).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      out.push_back(r + "/");
      ListInto(base, r, out);
    } else {
      out.push_back(r);
    }
  }
  closedir(d);
}

}  // namespace

ServiceHarness::ServiceHarness(const HarnessOptions& options) : m_options(options) {
  m_root = MakeTempDir();
  m_configFile = m_root + "/wzscsi.conf";
  m_stateDir = m_root + "/state";
  m_journal = m_root + "/journal.txt";
  m_faults = m_root + "/faults.txt";
  mkdir(m_stateDir.c_str(), 0755);
  m_log = std::make_shared<CMemoryLogWriter>(options.logLevel);
  g_ptrLogWriter = m_log;
  WZPlatformInfo::SetConfigFile(m_configFile);
  WZPI_CommClient::SetStateDirectory(m_stateDir);
  CRnLibrary::SetSearchDirectory(options.driverDir);
  setenv("WZSCSI_FAKE_JOURNAL", m_journal.c_str(), 1);
  setenv("WZSCSI_FAKE_FAULTS", m_faults.c_str(), 1);
  MakeService();
  if (options.initialize) {
    CRnError e = Initialize();
    if (e.IsSuccess() && options.start) Start();
  }
}

ServiceHarness::~ServiceHarness() {
  Stop();
  // The idle semaphore outlives the process unless it is unlinked.
  sem_unlink(IdleSemaphoreName().c_str());
  unsetenv("WZSCSI_FAKE_JOURNAL");
  unsetenv("WZSCSI_FAKE_FAULTS");
  g_ptrLogWriter.reset();
  CRnError ignored = CRnDirectory::Remove(m_root, true, false);
  (void)ignored;
}

std::string ServiceHarness::IdleSemaphoreName() { return "/wzscsi-test-" + std::to_string(getpid()); }

void ServiceHarness::MakeService() { m_service = std::make_unique<WzScsiSrv>(); }

std::string ServiceHarness::ActionLogRoot() const { return m_service ? m_service->GetActionLogRoot() : std::string(); }

CRnError ServiceHarness::Initialize() {
  std::string sem = IdleSemaphoreName();
  int timeout = 0;
  return m_service->Initialize(0, nullptr, sem, timeout, nullptr);
}

int64_t ServiceHarness::Start() {
  auto reply = Send(MakeStart(), 60000);
  // The worker goes on after replying (job-completed step, freeing the
  // message); tests start from a quiet service.
  Drain();
  return ReplyCode(reply);
}

void ServiceHarness::Stop() {
  if (!m_service) return;
  CRnError ignored = m_service->KillAllJobs();
  (void)ignored;
  m_service->CleanUp();
  m_service.reset();
}

void ServiceHarness::Restart(bool start) {
  Stop();
  MakeService();
  if (Initialize().IsSuccess() && start) Start();
}

std::shared_ptr<CNMessageBase> ServiceHarness::Send(std::unique_ptr<CNMessageBase> request, int timeoutMs,
                                                    WznHandle_t handle) {
  if (handle == 0) handle = m_net.Connect();
  size_t before = m_net.Replies(handle).size();
  CRnError e = m_service->IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_RECEIVED, &m_net, handle, request.release());
  (void)e;
  if (!m_net.WaitForReplies(handle, before + 1, timeoutMs)) return nullptr;
  return m_net.Replies(handle)[before];
}

void ServiceHarness::Drain() {
  for (int i = 0; i < 10000; ++i) {
    WzThreadPool& pool = WzScsiSrvTestPeer(*m_service).Pool();
    if (pool.QueuedCount() == 0 && pool.BusyCount() == 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void ServiceHarness::SetFaults(const std::vector<std::string>& operations) {
  std::string content;
  for (const std::string& op : operations) content += op + "\n";
  WriteFile(m_faults, content);
}

std::vector<std::string> ServiceHarness::Journal(const std::string& prefix) const {
  std::vector<std::string> out;
  std::ifstream in(m_journal);
  std::string line;
  while (std::getline(in, line))
    if (prefix.empty() || line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
  return out;
}

void ServiceHarness::ClearJournal() { WriteFile(m_journal, ""); }

void ServiceHarness::SetConfig(const std::string& key, const std::string& value, const std::string& section) {
  CRnError ignored = WZPlatformInfo::setString(section, key, value.data(), value.size());
  (void)ignored;
}

std::unique_ptr<WzScsiServer::CreateTarget> MakeCreateTarget(const std::string& name, const std::string& desc) {
  return WzScsiServer::NewCreateTarget(name, desc);
}

std::unique_ptr<WzScsiServer::DeleteTarget> MakeDeleteTarget(const std::string& name) {
  return WzScsiServer::NewDeleteTarget(name);
}

std::unique_ptr<WzScsiServer::CreateLun> MakeCreateLun(const std::string& target, int64_t type, const std::string& args,
                                                       int64_t flags) {
  return WzScsiServer::NewCreateLun(target, type, args, flags);
}

std::unique_ptr<WzScsiServer::DeleteLun> MakeDeleteLun(const std::string& target, int64_t lunId, int64_t flags) {
  return WzScsiServer::NewDeleteLun(target, lunId, flags);
}

std::unique_ptr<WzScsiServer::MapLun2Host> MakeMap(const std::string& target, int64_t lunId, const std::string& host) {
  return WzScsiServer::NewMapLun2Host(target, lunId, host);
}

std::unique_ptr<WzScsiServer::UnMapLun2Host> MakeUnMap(const std::string& target, int64_t lunId,
                                                       const std::string& host) {
  return WzScsiServer::NewUnMapLun2Host(target, lunId, host);
}

std::unique_ptr<WzScsiServer::Ioctl> MakeIoctl(const std::string& command, const std::string& arguments) {
  return WzScsiServer::NewIoctl(command, arguments);
}

std::unique_ptr<WzScsiServer::StartScsiService> MakeStart() { return WzScsiServer::NewStartScsiService(); }

int64_t ReplyCode(const std::shared_ptr<CNMessageBase>& reply) {
  auto* r = dynamic_cast<WzScsiServer::Reply*>(reply.get());
  if (r == nullptr || r->error() == nullptr) return -1;
  return r->error()->errorCode();
}

std::string ReplyText(const std::shared_ptr<CNMessageBase>& reply) {
  auto* r = dynamic_cast<WzScsiServer::Reply*>(reply.get());
  if (r == nullptr || r->error() == nullptr) return std::string();
  const std::string text = r->error()->errorMessage();
  return text.substr(0, text.find('\n'));
}

std::string ReplyLines(const std::shared_ptr<CNMessageBase>& reply) {
  auto* r = dynamic_cast<WzScsiServer::Reply*>(reply.get());
  if (r == nullptr || r->error() == nullptr) return std::string();
  const std::string text = r->error()->errorMessage();
  const size_t end = text.find('\n');
  return end == std::string::npos ? std::string() : text.substr(end + 1);
}

std::string Guid(const std::string& name) {
  std::string id;
  CRnError ignored = GetGUID(name.data(), static_cast<int>(name.size()), id);
  (void)ignored;
  return id;
}

void SaveRequest(const CNMessageBase& request, const std::string& path) {
  std::string text;
  ASSERT_EQ(request.serialize(text, false), 0);
  ASSERT_TRUE(CRnDirectory::Create(path.substr(0, path.find_last_of('/')), true).IsSuccess());
  WriteFile(path, text);
}

std::vector<std::string> ListTree(const std::string& dir) {
  std::vector<std::string> out;
  ListInto(dir, "", out);
  std::sort(out.begin(), out.end());
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace wztest
