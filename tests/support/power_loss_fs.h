// For tests only: a file-system double that knows what a power loss keeps.
// It passes every call through to the real file system and, for the tree
// under the root it is told to track, keeps the durable image: what the disk
// would hold if the power went now. It can lose power after any numbered
// step of a change and then rewind the real tree to that image, so that a
// replay sees exactly what a machine that lost power would find.
//
// The durability rules it holds the code to are those of fsync(2), with no
// promise beyond them:
//  - fsync of a file makes its data durable, never its name.
//  - A directory entry (a file or directory made, a rename, an unlink, an
//    rmdir) is durable only once its directory is fsynced (the directory
//    opened O_RDONLY | O_DIRECTORY and its descriptor fsynced, as
//    FXFile::SyncDirectory does). That fsync makes every current entry of
//    the directory durable, naming the file or directory it names now; it
//    says nothing of those files' data or of the entries of subdirectories.
//  - A directory whose own entry is not durable takes everything below it.
//  - Data not synced is lost whole: a file whose name is durable comes back
//    with what its last fsync saw, or empty when it never had one. A real
//    disk may keep any part of unsynced data; a file that an fsync never
//    covered is untrustworthy either way, and empty is the simplest such.
//  - A rename within one directory is one change of that directory: after
//    the power loss it is there whole or not at all, as rename(2) promises.
//    Across directories each side is durable with its own directory, so
//    both names or neither may survive (stricter than a journaling file
//    system; the action-log writer renames within a directory only).
//  - Modes are kept; owners, times and extended attributes are not modelled.
// Every file or directory under the root must be made through the seam
// (Open with O_CREAT, Mkdir) while tracking, so that an inode number the
// system reuses is never taken for the dead file that had it.
//
// Steps: each call on the tracked tree (a path under the root, or a
// descriptor opened under it) is one step, numbered from 1 after Track.
// After LosePowerAfter(n), once n steps have run the power is off: every
// further call fails with EIO and changes nothing (Close still releases the
// descriptor, as the kernel does for a dying process).
//
// Thread safety: every call may come from any thread (one lock, held across
// the system call so that the steps have one order). Track and
// DropUnsyncedData need the tree left alone (the service stopped).
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "hostlib/util/RnFiles.h"

namespace wztest {

class PowerLossFs : public IRnFileSystem {
 public:
  static constexpr size_t kNever = std::numeric_limits<size_t>::max();

  PowerLossFs() = default;
  PowerLossFs(const PowerLossFs&) = delete;
  PowerLossFs& operator=(const PowerLossFs&) = delete;

  // Takes the tree under root (an existing directory) as durable, as it is
  // now, and numbers steps from 0 again. The power is on.
  void Track(const std::string& root);
  // The power goes off once steps calls have run (at once when as many have
  // run already). kNever: it stays on.
  void LosePowerAfter(size_t steps);
  // The calls on the tracked tree that ran since Track.
  size_t Steps();
  bool PowerLost();
  // Rewinds the real tree to the durable image of the moment the power went
  // (or of now), then stops tracking.
  void DropUnsyncedData();
  // Forgets the image and turns the power on: the double passes every call
  // through, counting nothing, until the next Track.
  void StopTracking();

  int Open(const char* path, int flags, mode_t mode) override;
  ssize_t Write(int fd, const void* data, size_t length) override;
  int Fsync(int fd) override;
  int Rename(const char* from, const char* to) override;
  int Close(int fd) override;
  int Unlink(const char* path) override;
  int Mkdir(const char* path, mode_t mode) override;
  int Rmdir(const char* path) override;

 private:
  // A file or directory as the disk holds it durably.
  struct Node {
    bool isDir = false;
    mode_t mode = 0;
    std::string data;                       // a file's synced content
    std::map<std::string, size_t> entries;  // a directory's synced entries: name -> node
  };

  void StopTrackingLocked();
  // Whether a call may run; counts it as a step when it is on the tree.
  bool Step(bool onTree);
  bool OnTree(const char* path) const;
  // A fresh node for the inode st describes (made just now).
  size_t NewNode(const struct stat& st);
  // The node of an inode found in a directory (a fresh one when unknown).
  size_t NodeOf(const struct stat& st);
  size_t Snapshot(const std::string& path, const struct stat& st);
  void SyncFile(int fd, size_t node);
  void SyncDir(int fd, size_t node);
  void Build(size_t node, const std::string& path, std::set<size_t>& above) const;

  std::mutex m_lock;
  std::string m_sRoot;                // empty: not tracking
  std::vector<Node> m_vecNodes;       // the durable image; node 0 is the root
  std::map<ino_t, size_t> m_mapLive;  // inode on the real disk -> its node
  std::set<int> m_setTreeFds;         // descriptors opened under the root
  size_t m_nSteps = 0;
  size_t m_nLossAfter = kNever;
};

}  // namespace wztest
