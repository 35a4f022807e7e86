// One accepted connection of CWzAsioNetworkServer: reads frames, hands them
// to the server to deliver, writes replies. Private to hostlib/net
// (asio_server_impl.h says how the server's parts meet).
//
// Thread safety: socket, timers, decoder and the read state are touched on
// the connection's strand only (or, after the network thread has ended, by
// Stop); the write queue, the count of requests in work and the state are
// shared with the sending threads under m_lock. The CWzNetwork operations,
// PostClose, RequestDone and Resume may be called from any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "hostlib/net/WzNetwork.h"
#include "hostlib/net/asio_server_impl.h"
#include "hostlib/net/frame.h"
#include "hostlib/util/wz_mutex.h"

namespace Wzn {

class CAsioConnection : public CWzNetwork, public std::enable_shared_from_this<CAsioConnection> {
 public:
  // tls: the context of a TLS listener (null: clear text); the handshake
  // comes before the first read.
  CAsioConnection(CWzAsioNetworkServer::Impl& server, WznHandle_t handle, GenericSocket socket, std::string peer,
                  std::string source, bool needsHello, asio::ssl::context* tls);
  CAsioConnection(const CAsioConnection&) = delete;
  CAsioConnection& operator=(const CAsioConnection&) = delete;

  void Begin();

  CRnError SendXMLMessage(CNMessageBase* message, int flags, int timeoutSecs, bool& disconnected) override;
  CRnError ReplyDisconnect(int timeoutSecs, bool& disconnected) override;
  CRnError AbortConnection(const WznStatus_t& status, int timeoutSecs, bool& disconnected) override;
  bool IsConnectionGood() override { return m_good.load(); }
  std::string PeerName() const override { return m_peer; }

  // Closes at once, dropping every queued frame. Called on the strand, or by
  // Stop after the network thread has ended.
  void CloseNow(int level, const std::string& reason);
  // Asks the strand to close (from any thread).
  void PostClose(int level, std::string reason);
  // The receiver freed one of this connection's requests.
  void RequestDone();
  // Reading was held back for lack of room, and there may be room now.
  void Resume();

 private:
  enum class State { kOpen, kClosing, kClosed };
  using Strand = asio::strand<asio::io_context::executor_type>;

  static constexpr size_t kReadChunk = 16 * 1024;
  // A peer that still owes its hello may send nothing larger than a hello.
  static constexpr size_t kHelloFrameBytes = 4 + kMaxTokenBytes;

  // One frame to write; the peer must take it by the deadline.
  struct WriteOp {
    std::string bytes;
    AsioClock::time_point deadline;
    int timeoutSecs = 0;
  };

  CRnError NotConnected() const;
  bool IsClosed();
  // A peer that has not authenticated is refused, not closed: its lines go
  // through the server's rate limit.
  void LogClose(int level, const std::string& reason);

  // Writes as much of bytes as the socket takes without waiting (m_lock
  // held, so that the socket is not closed meanwhile): what was written.
  size_t WriteNowLocked(const std::string& bytes) WZ_REQUIRES(m_lock);
  // Writes a frame at once when nothing is in line before it: false when
  // something is (it is to be queued); otherwise done (all of it written,
  // or the rest queued first in line) or disconnected. Takes bytes' rest.
  bool TryWriteNow(std::string& bytes, int timeoutSecs, bool& disconnected, bool& done);
  // Queues a frame behind those already queued and returns at once.
  // closeAfter: no frame may follow; the connection closes once it is out
  // (or after timeoutSecs at the latest).
  CRnError Enqueue(std::string bytes, bool closeAfter, int timeoutSecs, bool& disconnected);
  void StartWrite();
  // The frame being written must be out by its deadline.
  void ArmWriteDeadline(const std::shared_ptr<WriteOp>& op);
  void OnWritten(const std::shared_ptr<WriteOp>& op, const boost::system::error_code& ec);
  // Closes with one log line after telling the peer why; reading stops at
  // once, replies already queued still go out first.
  void CloseWithNotice(int level, const std::string& reason);
  void ArmLinger(int seconds);
  void ArmHelloTimer();
  // The idle check wakes once per period and measures from the last
  // traffic, so that traffic never has to cancel the timer.
  void ArmIdleTimer();
  void OnIdleCheck();

  void StartHandshake();
  void StartRead();
  void OnRead(const boost::system::error_code& ec, size_t length);
  // Hands over the frames in what was read, one at a time, and reads on
  // once everything is handed over; stops where a request has to wait for
  // room (Resume calls it again).
  void Pump();
  // Takes a place for one request: false when this connection or the
  // server is full (the connection then waits for Resume).
  bool Admit(size_t bytes);
  // Gives back a place taken by Admit for a request that was not delivered.
  void Unadmit(size_t bytes);
  // Acts on one frame; false when it has to wait for room.
  bool Dispatch(Frame& frame);
  void CheckHello(const Frame& frame);
  void HandleXml(const std::string& payload);
  // False when a notice has to wait for room.
  bool HandleControl(const std::string& payload, bool first);
  void DeliverNotice(int number);

  CWzAsioNetworkServer::Impl& m_server;
  const WznHandle_t m_handle;
  const std::string m_peer;
  const std::string m_source;  // the peer without its port: the key of rate-limited refusals
  Strand m_strand;
  GenericSocket m_socket;
  // Over m_socket when the listener speaks TLS; reads and writes then go
  // through it once the handshake is done.
  std::unique_ptr<asio::ssl::stream<GenericSocket&>> m_tls;
  bool m_handshakeDone = false;
  asio::steady_timer m_idleTimer;
  asio::steady_timer m_lingerTimer;
  asio::steady_timer m_writeTimer;
  asio::steady_timer m_helloTimer;
  CFrameDecoder m_decoder;
  std::array<uint8_t, kReadChunk> m_readBuffer;
  size_t m_readPos = 0;           // what Pump has fed to the decoder of m_readBuffer
  size_t m_readLength = 0;        // what the last read put there
  bool m_reading = false;         // a read is outstanding
  std::unique_ptr<Frame> m_held;  // a frame waiting for room
  AsioClock::time_point m_lastActivity;
  bool m_needsHello;
  bool m_firstFrame = true;

  std::atomic<bool> m_good{true};     // m_state == kOpen, readable without the lock
  std::atomic<bool> m_paused{false};  // waiting for room; whoever clears it calls Pump
  WzMutex m_lock;
  State m_state WZ_GUARDED_BY(m_lock) = State::kOpen;
  std::deque<std::shared_ptr<WriteOp>> m_queue WZ_GUARDED_BY(m_lock);
  size_t m_unsentBytes WZ_GUARDED_BY(m_lock) = 0;
  bool m_writing WZ_GUARDED_BY(m_lock) = false;
  size_t m_inWork WZ_GUARDED_BY(m_lock) = 0;  // delivered requests the receiver has not freed
};

}  // namespace Wzn
