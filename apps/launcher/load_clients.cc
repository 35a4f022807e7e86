#include "apps/launcher/load_clients.h"

#include <algorithm>
#include <chrono>

#include "apps/wzscsictl/ctl_lib.h"
#include "hostlib/net/frame.h"
#include "messages/WzScsiServerMessages.h"

namespace WzLoad {

std::string ListTargetsFrame(size_t bytes) {
  std::unique_ptr<CNMessageBase> request = WzCtl::MakeIoctl("lt", "", 0);
  std::string xml;
  if (request->serialize(xml, false) != 0) return std::string();
  auto* ioctl = dynamic_cast<WzScsiServer::Ioctl*>(request.get());
  if (bytes > xml.size() + 64 && ioctl != nullptr) {
    ioctl->setArguments(std::string(bytes - xml.size() - 64, 'x'));
    if (request->serialize(xml, false) != 0) return std::string();
  }
  return Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, xml);
}

std::string DetailListingFrame() {
  std::unique_ptr<CNMessageBase> request = WzCtl::MakeIoctl("ls", "", 0);
  std::string xml;
  if (request->serialize(xml, false) != 0) return std::string();
  return Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, xml);
}

CRnError CreateLargeDescriptionTargets(const std::string& endpoint, int count, size_t descBytes) {
  std::string desc(descBytes, 'd');
  for (size_t i = 1; i < desc.size(); i += 2) desc[i] = ' ';
  for (int t = 0; t < count; ++t) {
    const std::string name = "iqn.2024-01.com.example:big" + std::to_string(t);
    WzCtl::CallResult r = WzCtl::CallOnce(endpoint, "", *WzCtl::MakeCreateTarget(name, desc, 0), 120000);
    if (r.exitCode != 0) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN("load"), 13, "cannot create %s: %s", name.c_str(), r.errorText.c_str());
    }
  }
  return CRnError();
}

void CStallingClient::Start(const std::string& endpoint, const std::string& frame, long count, int sendTimeoutMs,
                            bool reconnect) {
  m_thread = std::thread([this, endpoint, frame, count, sendTimeoutMs, reconnect] {
    do {
      m_client = std::make_unique<CWzClient>();
      m_client->SetSendTimeoutMs(sendTimeoutMs);
      if (m_client->Connect(endpoint).IsError()) return;
      for (long i = 0; i < count && !m_stop && m_client->SendRaw(frame).IsSuccess(); ++i) ++m_sent;
    } while (reconnect && !m_stop);
  });
}

void CStallingClient::WaitUntilStalled() {
  if (m_thread.joinable()) m_thread.join();
}

void CStallingClient::Stop() {
  m_stop = true;
  WaitUntilStalled();
  m_client.reset();
}

void CBatchClient::Start(const std::string& endpoint, const std::string& frame, int count, int batch) {
  m_thread = std::thread([this, endpoint, frame, count, batch] {
    CWzClient client;
    if (client.Connect(endpoint).IsError()) return;
    for (int done = 0; done < count; done += batch) {
      const int n = std::min(batch, count - done);
      for (int i = 0; i < n; ++i)
        if (client.SendRaw(frame).IsError()) return;
      for (int i = 0; i < n; ++i) {
        std::unique_ptr<CNMessageBase> reply;
        if (client.ReceiveReply(reply, 60000).IsError()) return;
        ++m_replies;
      }
    }
  });
}

void CBatchClient::Join() {
  if (m_thread.joinable()) m_thread.join();
}

CRnError TimeRequests(const std::string& endpoint, const std::string& token, const CNMessageBase& request, int count,
                      std::vector<double>& ms, const WznClientTls& tls) {
  CWzClient client;
  client.SetTls(tls);
  if (CRnError e = client.Connect(endpoint, token)) return e;
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<CNMessageBase> reply;
    if (CRnError e = client.Call(request, reply, 120000)) return e;
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  return CRnError();
}

}  // namespace WzLoad
