#include "plugins/tgtd_client/tgt_client.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "tests/support/hostlib/rn_test_temp_dir.h"

namespace wztgt {
namespace {

// What a fake tgtd answers to one request.
struct ScriptedReply {
  uint32_t status = kTgtSuccess;
  std::string text;
  bool hangUp = false;  // close without answering
};

// A stand-in for tgtd's management socket: answers each connection with the
// next scripted reply and keeps the requests it received.
class FakeTgtd {
 public:
  explicit FakeTgtd(const std::string& path) : m_path(path) {
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(m_fd, 8) != 0) {
      ADD_FAILURE() << "cannot listen on " << path;
    }
    m_thread = std::thread([this] { Serve(); });
  }
  ~FakeTgtd() {
    m_stop = true;
    m_thread.join();
    ::close(m_fd);
    ::unlink(m_path.c_str());
  }
  FakeTgtd(const FakeTgtd&) = delete;
  FakeTgtd& operator=(const FakeTgtd&) = delete;

  void Script(const ScriptedReply& reply) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_replies.push_back(reply);
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests;
  }

 private:
  void Serve() {
    while (!m_stop) {
      pollfd p{m_fd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int c = ::accept(m_fd, nullptr, nullptr);
      if (c < 0) continue;
      std::string request(kRequestHeaderSize, '\0');
      if (ReadFull(c, &request[0], request.size())) {
        uint32_t length = 0;
        std::memcpy(&length, &request[72], sizeof(length));
        if (length > kRequestHeaderSize) {
          std::string body(length - kRequestHeaderSize, '\0');
          ReadFull(c, &body[0], body.size());
          request += body;
        }
        ScriptedReply reply;
        {
          std::lock_guard<std::mutex> guard(m_lock);
          m_requests.push_back(request);
          if (!m_replies.empty()) {
            reply = m_replies.front();
            m_replies.pop_front();
          }
        }
        if (!reply.hangUp) {
          uint32_t header[2] = {reply.status, static_cast<uint32_t>(kReplyHeaderSize + reply.text.size())};
          (void)!::write(c, header, sizeof(header));
          if (!reply.text.empty()) (void)!::write(c, reply.text.data(), reply.text.size());
        }
      }
      ::close(c);
    }
  }
  static bool ReadFull(int fd, char* p, size_t n) {
    while (n > 0) {
      ssize_t r = ::read(fd, p, n);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }

  std::string m_path;
  int m_fd = -1;
  std::atomic<bool> m_stop{false};
  std::mutex m_lock;
  std::deque<ScriptedReply> m_replies;
  std::vector<std::string> m_requests;
  std::thread m_thread;
};

template <typename T>
T Field(const std::string& request, size_t offset) {
  T v;
  std::memcpy(&v, &request[offset], sizeof(v));
  return v;
}

class TgtClientTest : public ::testing::Test {
 protected:
  CRnTempDirForTest m_dir;
  std::string m_socket = m_dir.Join("sock.0");
};

TEST_F(TgtClientTest, SendsOneFramedRequestPerOperation) {
  FakeTgtd tgtd(m_socket);
  TgtClient client(m_socket);
  ASSERT_TRUE(client.NewLun(4, 9, "/srv/a.img", 4096).IsSuccess());
  ASSERT_TRUE(client.BindInitiatorName(4, "iqn.h:a").IsSuccess());
  ASSERT_TRUE(client.DeleteTarget(4, true).IsSuccess());

  std::vector<std::string> requests = tgtd.Requests();
  ASSERT_EQ(3u, requests.size());
  const std::string body = "path=/srv/a.img,blocksize=4096";
  const std::string& lu = requests[0];
  ASSERT_EQ(kRequestHeaderSize + body.size() + 1, lu.size());
  EXPECT_EQ(2u, Field<uint32_t>(lu, 0));  // logical unit
  EXPECT_EQ(0u, Field<uint32_t>(lu, 4));  // new
  EXPECT_STREQ("iscsi", lu.c_str() + 8);
  EXPECT_EQ(lu.size(), Field<uint32_t>(lu, 72));
  EXPECT_EQ(4, Field<int32_t>(lu, 76));
  EXPECT_EQ(9u, Field<uint64_t>(lu, 88));
  EXPECT_EQ(body + std::string(1, '\0'), lu.substr(kRequestHeaderSize));

  EXPECT_EQ(3u, Field<uint32_t>(requests[1], 4));  // bind
  EXPECT_EQ("initiator-name=iqn.h:a" + std::string(1, '\0'), requests[1].substr(kRequestHeaderSize));

  const std::string& del = requests[2];
  EXPECT_EQ(kRequestHeaderSize, del.size());
  EXPECT_EQ(1u, Field<uint32_t>(del, 4));    // delete
  EXPECT_EQ(1u, Field<uint32_t>(del, 116));  // force
  EXPECT_EQ(kNoLun, Field<uint64_t>(del, 88));
}

TEST_F(TgtClientTest, RefusalsCarryTgtdsTextAndStatus) {
  FakeTgtd tgtd(m_socket);
  tgtd.Script({kTgtLunExists, "", false});
  TgtClient client(m_socket);
  uint32_t status = 0;
  CRnError err = client.NewLun(1, 1, "/a", 0, &status);
  ASSERT_TRUE(err.IsError());
  EXPECT_EQ(kTgtLunExists, status);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_FOUND_OR_NOT_ALLOWED), err.GetCode());
  EXPECT_NE(std::string::npos, err.AsString().find("this logical unit number already exists")) << err.AsString();
  EXPECT_NE(std::string::npos, err.AsString().find("logicalunit new tid=1 lun=1")) << err.AsString();
}

TEST_F(TgtClientTest, ShowTextLosesTgtdsPaddingAndReportsThePeer) {
  FakeTgtd tgtd(m_socket);
  tgtd.Script({kTgtSuccess, std::string("Target 1: iqn.a\n") + std::string(5, '\0'), false});
  TgtClient client(m_socket);
  std::string text;
  pid_t peer = 0;
  ASSERT_TRUE(client.ShowTargets(text, &peer).IsSuccess());
  EXPECT_EQ("Target 1: iqn.a\n", text);
  EXPECT_EQ(::getpid(), peer);  // the fake runs in this process
}

TEST_F(TgtClientTest, AbsentDaemonAndHangUpsAreClearErrors) {
  TgtClient client(m_socket);
  pid_t pid = 0;
  CRnError err = client.Probe(pid);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(std::string::npos, err.AsString().find("tgtd is not running")) << err.AsString();
  EXPECT_NE(std::string::npos, err.AsString().find(m_socket)) << err.AsString();

  FakeTgtd tgtd(m_socket);
  tgtd.Script({kTgtSuccess, "", true});
  uint32_t status = 77;
  err = client.NewTarget(1, "iqn.a", &status);
  ASSERT_TRUE(err.IsError());
  EXPECT_EQ(kTgtSuccess, status);  // not a refusal: tgtd never answered
  EXPECT_NE(std::string::npos, err.AsString().find("closed the connection")) << err.AsString();
}

// A tid names a target only in the process that handed it out.
TEST_F(TgtClientTest, AClientBoundToOneTgtdSendsNothingToAnother) {
  FakeTgtd tgtd(m_socket);
  TgtClient client(m_socket);
  uint32_t status = 77;
  CRnError err = client.ForProcess(::getpid() + 1).DeleteTarget(3, true, &status);
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(TgtProcessChanged(err)) << err.AsString();
  EXPECT_EQ(kTgtSuccess, status);
  EXPECT_TRUE(tgtd.Requests().empty());

  ASSERT_TRUE(client.ForProcess(::getpid()).SetUnitSerial(3, 0, "WZSCSI1").IsSuccess());
  std::vector<std::string> requests = tgtd.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ(2u, Field<uint32_t>(requests[0], 0));  // logical unit
  EXPECT_EQ(5u, Field<uint32_t>(requests[0], 4));  // update
  EXPECT_EQ(0u, Field<uint64_t>(requests[0], 88));
  EXPECT_EQ("scsi_sn=WZSCSI1" + std::string(1, '\0'), requests[0].substr(kRequestHeaderSize));
  EXPECT_FALSE(TgtProcessChanged(CRnError()));

  // The identity goes in one update, so a unit never reports a scsi_id of
  // one LUN and a serial of another.
  ASSERT_TRUE(client.ForProcess(::getpid()).SetUnitIdentity(3, 7, "X13F2A9C100007").IsSuccess());
  requests = tgtd.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ(5u, Field<uint32_t>(requests[1], 4));
  EXPECT_EQ(7u, Field<uint64_t>(requests[1], 88));
  EXPECT_EQ("scsi_id=X13F2A9C100007,scsi_sn=X13F2A9C100007" + std::string(1, '\0'),
            requests[1].substr(kRequestHeaderSize));
  EXPECT_TRUE(client.ForProcess(::getpid()).SetUnitIdentity(3, 7, "A,B").IsError());
  EXPECT_EQ(2u, tgtd.Requests().size());
}

TEST_F(TgtClientTest, ValuesThatWouldSplitTheBodyAreNeverSent) {
  FakeTgtd tgtd(m_socket);
  TgtClient client(m_socket);
  EXPECT_TRUE(client.NewTarget(1, "iqn.a,b").IsError());
  EXPECT_TRUE(client.NewLun(1, 1, "/a\nb", 0).IsError());
  EXPECT_TRUE(client.BindInitiatorName(1, "iqn,h").IsError());
  EXPECT_TRUE(tgtd.Requests().empty());
}

// tgtd's account requests, and the secret kept out of every text: a
// refusal quotes the request.
TEST_F(TgtClientTest, AccountRequestsCarryTheirDirectionAndNeverShowTheSecret) {
  FakeTgtd tgtd(m_socket);
  tgtd.Script({kTgtAccountExists, "", false});
  TgtClient client(m_socket);
  const std::string secret = "s3cret,with=comma";
  uint32_t status = 0;
  CRnError err = client.NewAccount("u1", secret, &status);
  ASSERT_TRUE(err.IsError());
  EXPECT_EQ(kTgtAccountExists, status);
  EXPECT_NE(std::string::npos, err.AsString().find("account new user=u1,password=(hidden)")) << err.AsString();
  EXPECT_EQ(std::string::npos, err.AsString().find("s3cret")) << err.AsString();
  ASSERT_TRUE(client.BindAccount(5, "mu", TgtAccountDir::kOutgoing).IsSuccess());
  ASSERT_TRUE(client.DeleteAccount("u1").IsSuccess());
  EXPECT_TRUE(client.NewAccount("u2", "line\nbreak").IsError());
  EXPECT_TRUE(client.NewAccount("u,2", "twelve chars").IsError());

  std::vector<std::string> r = tgtd.Requests();
  ASSERT_EQ(3u, r.size()) << "refused values are never sent";
  EXPECT_EQ(7u, Field<uint32_t>(r[0], 0));  // account
  EXPECT_EQ(0u, Field<uint32_t>(r[0], 4));  // new
  EXPECT_EQ("user=u1,password=" + secret + std::string(1, '\0'), r[0].substr(kRequestHeaderSize))
      << "tgtd takes the rest of the body as the secret";
  EXPECT_EQ(3u, Field<uint32_t>(r[1], 4));  // bind
  EXPECT_EQ(5, Field<int32_t>(r[1], 76));
  EXPECT_EQ(1u, Field<uint32_t>(r[1], 108)) << "outgoing";
  EXPECT_EQ("user=mu" + std::string(1, '\0'), r[1].substr(kRequestHeaderSize));
  EXPECT_EQ(1u, Field<uint32_t>(r[2], 4));  // delete
  EXPECT_EQ("user=u1" + std::string(1, '\0'), r[2].substr(kRequestHeaderSize));
}

TEST(TgtProtocol, RequestsWithoutBodyAndStatusTexts) {
  TgtRequest r;
  r.mode = TgtMode::kTarget;
  r.op = TgtOp::kShow;
  std::string bytes = EncodeRequest(r);
  ASSERT_EQ(kRequestHeaderSize, bytes.size());
  EXPECT_EQ(-1, Field<int32_t>(bytes, 76));
  EXPECT_EQ(0u, Field<uint32_t>(bytes, 116));

  EXPECT_STREQ("this target already exists", TgtStatusText(kTgtTargetExists));
  EXPECT_STREQ("this access control rule does not exist", TgtStatusText(kTgtAclMissing));
  EXPECT_STREQ("(unknown tgtadm_errno)", TgtStatusText(999));
}

}  // namespace
}  // namespace wztgt
