// The action-log writer: saves the request of every configuration change
// durably, and takes it out again when the change is undone, in the layout
// of actionlog/action_log_layout.h.
//
// A save replaces its file atomically (temporary file, fsync, rename, fsync
// of the directory) and makes new directories durable in their parents, so a
// crash leaves the old file or the new one, never a torn or mixed one.
//
// A removal is made undoable until the change it records is done: SetAside
// renames the saved file (a target: its whole directory) to a temporary name
// that replay ignores and makes that durable; Restore puts it back (the
// change failed), Discard deletes it (the change was made). A crash in
// between leaves the object removed from the saved configuration; the file
// set aside is cleaned up at the next start.
//
// Thread safety: no state of its own beyond the root; callers serialise the
// changes of one target (its change lock), different targets may be written
// at the same time.
#pragma once

#include <cstdint>
#include <string>

#include "hostlib/errors/CRnError.h"
#include "messages/WzScsiServerMessages.h"

// A saved file (or directory) set aside by a removal in progress.
class WzScsiSrvSetAside {
 public:
  bool Active() const { return !m_from.empty(); }

 private:
  friend class WzScsiSrvActionLogWriter;
  std::string m_from;  // where it was saved; empty: nothing set aside
  std::string m_to;    // where it is now
  std::string m_dir;   // the directory that holds both names
  bool m_isDir = false;
};

class WzScsiSrvActionLogWriter {
 public:
  explicit WzScsiSrvActionLogWriter(std::string root) : m_root(std::move(root)) {}

  // Saves a CreateTarget, a CreateLun (under lunId, the number the drivers
  // gave it), a MapLun2Host or a SetTargetAuth (readable by the owner only).
  // Other requests are an error.
  CRnError Save(const WzScsiServer::Message& request, int32_t lunId) const;
  // Sets the saved file of the object that a DeleteTarget, DeleteLun or
  // UnMapLun2Host removes aside. Nothing saved: success, nothing set aside.
  CRnError SetAside(const WzScsiServer::Message& request, WzScsiSrvSetAside& aside) const;
  // Sets aside one saved file or directory by its path (the mappings of a LUN
  // that is deleted without having been restored).
  CRnError SetAsidePath(const std::string& path, WzScsiSrvSetAside& aside) const;
  // Puts what SetAside moved back, durably.
  CRnError Restore(WzScsiSrvSetAside& aside) const;
  // Deletes what SetAside moved (no fsync: a leftover is never replayed).
  void Discard(WzScsiSrvSetAside& aside) const;

  // Replaces the file at path (under the root) with text, as Save does,
  // making missing directories durably: the cache of a cluster's saved
  // requests.
  CRnError SaveText(const std::string& path, const std::string& text, int mode) const;
  // A request's saved form, as Save writes it.
  static CRnError SavedText(const CNMessageBase& request, std::string& text);

  // Whether a request fits in a saved file (the document size limit).
  static CRnError CheckSavable(const CNMessageBase& request);

 private:
  std::string m_root;
};
