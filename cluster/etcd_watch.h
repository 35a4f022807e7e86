// WzEtcdWatch: one running watch of a key prefix, made by
// WzScsiSrvEtcdClient::Watch. It holds its own connection to one member and
// a thread that reads etcd's stream and calls the callback:
//  - kEvents: changes in revision order, none skipped or repeated (the
//    changes of one transaction arrive in one update);
//  - kCompacted: the watch started before the oldest revision etcd keeps;
//    the caller reads the prefix whole and watches again from there;
//  - kProgress: etcd's progress notice: every change up to revision is
//    delivered already;
//  - kLost: the connection broke, the member lost its leader, etcd
//    cancelled the watch, or nothing came for the idle limit; the caller
//    watches again from NextRevision(), on any member, and misses nothing.
// kCompacted and kLost are the last update. Stop() ends the watch without
// a last update.
//
// Thread safety: Stop, Running, NextRevision and Endpoint may be called
// from any thread, the callback included. The object may even be destroyed
// from its own callback: the thread keeps what it uses alive and ends when
// the callback returns.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cluster/etcd_types.h"
#include "hostlib/util/wz_mutex.h"

class WzEtcdTlsContext;

class WZ_EXPORT WzEtcdWatch {
 public:
  // Runs on the watch's thread; what it throws ends the watch.
  using Callback = std::function<void(const WzEtcdWatchUpdate&)>;

  // Opens a watch on the first endpoint, from endpoints[first] on, that
  // accepts it before the deadline, then starts the thread. Used by the
  // client; tls is its TLS settings (null without https).
  static CRnError Open(const std::vector<WzEtcdEndpoint>& endpoints, const std::shared_ptr<WzEtcdTlsContext>& tls,
                       size_t first, const std::string& prefix, int64_t fromRevision,
                       std::chrono::steady_clock::time_point deadline, std::chrono::milliseconds idleLimit,
                       Callback callback, std::unique_ptr<WzEtcdWatch>& out);

  // Stops the watch and waits for its thread (unless called on it).
  ~WzEtcdWatch();
  WzEtcdWatch(const WzEtcdWatch&) = delete;
  WzEtcdWatch& operator=(const WzEtcdWatch&) = delete;

  // Ends the watch promptly: a callback running now finishes, no other
  // starts. Waits for the thread unless called from the callback.
  void Stop();
  // False once the watch ended (stopped, compacted, lost).
  bool Running() const;
  // The revision to watch from to miss nothing: one past the last change
  // delivered (or the start revision while none was).
  int64_t NextRevision() const;
  // The member this watch reads from.
  std::string Endpoint() const;

 private:
  struct State;
  explicit WzEtcdWatch(std::shared_ptr<State> state);
  static void Body(std::shared_ptr<State> state);

  std::shared_ptr<State> m_state;
  WzMutex m_joinLock;  // one thread joins
  std::thread m_thread WZ_GUARDED_BY(m_joinLock);
  // Set once at start: Stop compares it without touching m_thread, which
  // another thread may be joining.
  std::thread::id m_threadId;
};
