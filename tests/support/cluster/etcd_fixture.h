// EtcdTestCluster: a private etcd cluster of one or three members for the
// tests and the benchmark, all on 127.0.0.1 at ports above 20000 found free
// when it starts, with data directories and member logs under one
// temporary directory that it removes.
//
// Each member is a child process started and stopped by its process id
// (SIGTERM, then SIGKILL after 5 s), never by name, and killed by the
// kernel if the thread that started it ends first (a crashed test leaves no
// member running): start members from a thread that outlives them. With TLS, the members
// serve https with a certificate for 127.0.0.1 from a CA made for the run
// and ask clients for theirs (ClientOptions names the files). Single members can be
// stopped and started again on the same ports and data, to take quorum
// away and give it back.
//
// WatchRecorder keeps what a watch delivers, for a test to wait on.
//
// Thread safety: EtcdTestCluster none, one test thread uses an object;
// WatchRecorder is safe from the watch's thread and the test's together.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "cluster/etcd_client.h"
#include "cluster/etcd_types.h"
#include "cluster/etcd_watch.h"

namespace wzetcdtest {

// Whether the etcd server program can be found (tests skip without it).
bool EtcdInstalled();

class EtcdTestCluster {
 public:
  EtcdTestCluster() = default;
  // Stops every member and removes the directory.
  ~EtcdTestCluster();
  EtcdTestCluster(const EtcdTestCluster&) = delete;
  EtcdTestCluster& operator=(const EtcdTestCluster&) = delete;

  // Starts members (1 or 3) and waits until they agree on a leader. A port
  // taken between its probe and the member's bind makes it start again on
  // other ports, a few times.
  bool Start(int members, std::string* error, bool tls = false);
  // Stops every member (the directory stays until destruction).
  void Stop();

  // SIGTERM, then SIGKILL after 5 s; reaps the member.
  void StopMember(size_t index);
  // Starts a stopped member again with its ports and data.
  bool StartMember(size_t index, std::string* error);
  // Waits until every running member names the same leader, one of them.
  bool WaitForLeader(int timeoutMs, std::string* error);

  size_t Size() const { return m_members.size(); }
  bool Running(size_t index) const { return m_members[index].pid > 0; }
  pid_t Pid(size_t index) const { return m_members[index].pid; }
  // "http://127.0.0.1:<port>" (https with TLS) of each member, in member
  // order.
  std::vector<std::string> ClientUrls() const;
  // Client options for this cluster: every member, and with TLS the CA, a
  // client certificate and its key.
  WzEtcdClientOptions ClientOptions() const;
  std::string ClientUrl(size_t index) const;
  const std::string& Directory() const { return m_dir; }
  // The member's log, for a failing test's message.
  std::string LogText(size_t index) const;

 private:
  struct Member {
    std::string name;
    int clientPort = 0;
    int peerPort = 0;
    pid_t pid = -1;
  };

  bool Launch(size_t index, std::string* error);
  bool MakeCertificates(std::string* error);
  std::string Url(int port) const;
  std::string TlsFile(const char* name) const { return m_dir + "/tls/" + name; }
  // Whether the member already exited (then reaped); its log says why.
  bool Exited(size_t index);
  std::string InitialCluster() const;

  std::string m_dir;
  std::string m_token;
  bool m_tls = false;
  std::vector<Member> m_members;
};

// Records a watch's updates: every event in the order delivered, and the
// last update when the watch ended (compacted or lost).
class WatchRecorder {
 public:
  // The callback to give to Watch; the recorder must outlive the watch.
  WzEtcdWatch::Callback Callback();
  // Waits until an event of at least this revision arrived.
  bool WaitForRevision(int64_t revision, int timeoutMs);
  // Waits until the watch ended.
  bool WaitForEnd(int timeoutMs);
  std::vector<WzEtcdEvent> Events() const;
  bool Ended() const;
  // The last update, once Ended().
  WzEtcdWatchUpdate End() const;

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<WzEtcdEvent> m_events;
  bool m_ended = false;
  int m_progress = 0;  // progress notices seen
  WzEtcdWatchUpdate m_end;
};

}  // namespace wzetcdtest
