#include "cluster/etcd_watch.h"

#include <atomic>
#include <utility>

#include "cluster/etcd_codec.h"
#include "cluster/etcd_http.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kWatchPath = "/v3/watch";
// A pause between two rounds over the endpoints: an election takes a
// second or so, a watch opened during it fails at once on every member.
constexpr auto kRoundPause = std::chrono::milliseconds(50);

}  // namespace

// What the watch's thread uses; shared so that it outlives the WzEtcdWatch
// when that is destroyed from the callback.
struct WzEtcdWatch::State {
  State(const WzEtcdEndpoint& endpoint, const std::shared_ptr<WzEtcdTlsContext>& tls, Callback cb,
        std::chrono::milliseconds idle)
      : connection(endpoint, 0, tls), url(endpoint.Url()), callback(std::move(cb)), idleLimit(idle) {}

  // Calls the callback unless the watch is stopping; false when the watch
  // is to end (stopped, or the callback threw).
  bool Deliver(const WzEtcdWatchUpdate& update) {
    if (stopping.load()) return false;
    try {
      callback(update);
    } catch (...) {
      return false;
    }
    return !stopping.load();
  }

  WzEtcdHttpConnection connection;
  const std::string url;
  Callback callback;
  const std::chrono::milliseconds idleLimit;  // 0: none
  std::atomic<bool> stopping{false};
  std::atomic<bool> running{true};
  std::atomic<int64_t> nextRevision{0};
};

CRnError WzEtcdWatch::Open(const std::vector<WzEtcdEndpoint>& endpoints, const std::shared_ptr<WzEtcdTlsContext>& tls,
                           size_t first, const std::string& prefix, int64_t fromRevision, Clock::time_point deadline,
                           std::chrono::milliseconds idleLimit, Callback callback, std::unique_ptr<WzEtcdWatch>& out) {
  out.reset();
  const WzEtcdOp range = WzEtcdOp::GetPrefix(prefix);
  const std::string request = WzEtcdCodec::WatchCreateRequest(range.key, range.rangeEnd, fromRevision);
  std::string failures;
  for (size_t attempt = 0; !endpoints.empty(); ++attempt) {
    if (attempt > 0 && attempt % endpoints.size() == 0) {
      if (Clock::now() + kRoundPause >= deadline) break;
      std::this_thread::sleep_for(kRoundPause);
    }
    if (Clock::now() >= deadline) break;
    const WzEtcdEndpoint& endpoint = endpoints[(first + attempt) % endpoints.size()];
    auto state = std::make_shared<State>(endpoint, tls, callback, idleLimit);
    std::string line;
    WzEtcdCodec::WatchMessage created;
    CRnError err = state->connection.OpenStream(kWatchPath, request, true, deadline);
    if (err.IsSuccess()) err = state->connection.ReadLine(line, deadline);
    if (err.IsSuccess()) err = WzEtcdCodec::ParseWatchMessage(line, state->url, created);
    if (err.IsSuccess() && !created.created) {
      err = FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrBadAnswer, "%s did not confirm the watch: %s",
                                    state->url.c_str(), line.substr(0, 200).c_str());
    }
    if (err.IsSuccess()) {
      state->nextRevision.store(fromRevision > 0 ? fromRevision : created.revision + 1);
      out.reset(new WzEtcdWatch(state));
      WzMutexLock lock(&out->m_joinLock);
      out->m_thread = std::thread(&WzEtcdWatch::Body, state);
      out->m_threadId = out->m_thread.get_id();
      return CRnError();
    }
    if (!WzEtcd::IsUnavailable(err)) return err.Push(WZETCD_HERE, "cannot watch %s", endpoint.Url().c_str());
    if (attempt < endpoints.size()) failures += (failures.empty() ? "" : "; ") + WzEtcd::Reason(err);
  }
  return FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrUnavailable, "%s: no member accepted the watch in time (%s)",
                                 WzEtcd::kUnavailableText, failures.c_str());
}

WzEtcdWatch::WzEtcdWatch(std::shared_ptr<State> state) : m_state(std::move(state)) {}

WzEtcdWatch::~WzEtcdWatch() {
  if (std::this_thread::get_id() == m_threadId) {
    // From the callback: the thread ends on its own once it returns.
    m_state->stopping.store(true);
    m_state->connection.Interrupt();
    WzMutexLock lock(&m_joinLock);
    m_thread.detach();
    return;
  }
  Stop();
}

void WzEtcdWatch::Stop() {
  m_state->stopping.store(true);
  m_state->connection.Interrupt();
  if (std::this_thread::get_id() == m_threadId) return;
  WzMutexLock lock(&m_joinLock);
  if (m_thread.joinable()) m_thread.join();
}

bool WzEtcdWatch::Running() const { return m_state->running.load(); }

int64_t WzEtcdWatch::NextRevision() const { return m_state->nextRevision.load(); }

std::string WzEtcdWatch::Endpoint() const { return m_state->url; }

// The thread's body: reads the stream until it ends, is cancelled, or the
// watch is stopped. Nothing it calls throws past it (the connection and the
// codec return errors; Deliver catches the callback's).
void WzEtcdWatch::Body(std::shared_ptr<State> state) {
  for (;;) {
    std::string line;
    WzEtcdCodec::WatchMessage message;
    // A stream that stays silent past the limit may be half-open or held by
    // a member that no longer serves it: ended, so that it is opened again.
    const Clock::time_point until =
        state->idleLimit.count() > 0 ? Clock::now() + state->idleLimit : Clock::time_point::max();
    CRnError err = state->connection.ReadLine(line, until);
    if (state->stopping.load()) break;
    if (err.IsSuccess()) err = WzEtcdCodec::ParseWatchMessage(line, state->url, message);
    WzEtcdWatchUpdate update;
    if (err) {
      update.kind = WzEtcdWatchUpdate::Kind::kLost;
      // Whatever ended the stream, the caller's answer is the same: watch
      // again, elsewhere if need be.
      if (!WzEtcd::IsUnavailable(err)) {
        err = FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrUnavailable, "%s: the watch on %s ended: %s",
                                      WzEtcd::kUnavailableText, state->url.c_str(), err.AsString().c_str());
      }
      update.error = std::move(err);
      state->Deliver(update);
      break;
    }
    update.revision = message.revision;
    if (message.canceled) {
      if (message.compactRevision > 0) {
        update.kind = WzEtcdWatchUpdate::Kind::kCompacted;
        update.compactRevision = message.compactRevision;
      } else {
        update.kind = WzEtcdWatchUpdate::Kind::kLost;
        update.error =
            FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrUnavailable, "%s: %s cancelled the watch: %s",
                                    WzEtcd::kUnavailableText, state->url.c_str(), message.cancelReason.c_str());
      }
      state->Deliver(update);
      break;
    }
    if (message.events.empty()) {
      // A progress notice: everything up to its revision is delivered.
      if (message.created || message.revision <= 0) continue;
      update.kind = WzEtcdWatchUpdate::Kind::kProgress;
      if (!state->Deliver(update)) break;
      continue;
    }
    state->nextRevision.store(message.events.back().kv.modRevision + 1);
    update.events = std::move(message.events);
    if (!state->Deliver(update)) break;
  }
  state->connection.Close();
  state->running.store(false);
}
