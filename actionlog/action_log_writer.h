// The action-log writer: saves the request of every configuration change
// durably, and takes it out again when the change is undone, in the layout
// of actionlog/action_log_layout.h.
//
// A save replaces its file atomically (temporary file, fsync, rename, fsync
// of the directory) and makes new directories durable in their parents, so a
// crash leaves the old file or the new one, never a torn or mixed one.
//
// Which file a request is saved in is its request class's (service/
// request_classes.h); the writer is given the path.
//
// A removal is made undoable until the change it records is done: SetAside
// renames the saved file (a target: its whole directory) to a temporary name
// that replay ignores and makes that durable; Restore puts it back (the
// change failed), Discard deletes it (the change was made). A crash in
// between leaves the object removed from the saved configuration; the file
// set aside is cleaned up at the next start.
//
// Thread safety: no state of its own; callers serialise the
// changes of one target (its change lock), different targets may be written
// at the same time.
#pragma once

#include <cstdint>
#include <string>

#include "hostlib/errors/CRnError.h"
#include "hostlib/msg/CNMessageBase.h"

// A saved file (or directory) set aside by a removal in progress.
class WzScsiSrvSetAside {
 public:
  bool Active() const { return !m_from.empty(); }

 private:
  friend class WzScsiSrvActionLogWriter;
  std::string m_from;  // where it was saved; empty: nothing set aside
  std::string m_to;    // where it is now
  std::string m_dir;   // the directory that holds both names
};

class WzScsiSrvActionLogWriter {
 public:
  // Replaces the file at path with the request's saved form (mode 0600 for
  // what holds secrets), making missing directories durably.
  CRnError Save(const std::string& path, const CNMessageBase& request, int mode = 0644) const;
  // Saves a new target's own request in targetDir, made with its LUN and
  // mapping folders, so that its first LUN and first mapping each cost one
  // fsync less.
  CRnError SaveTarget(const std::string& targetDir, const CNMessageBase& request) const;
  // Sets the saved file or directory at path aside (nothing saved there:
  // success, nothing set aside).
  CRnError SetAside(const std::string& path, WzScsiSrvSetAside& aside) const;
  // Puts what SetAside moved back, durably.
  CRnError Restore(WzScsiSrvSetAside& aside) const;
  // Deletes what SetAside moved (no fsync: a leftover is never replayed).
  void Discard(WzScsiSrvSetAside& aside) const;

  // Replaces the file at path with text, as Save does: the cache of a
  // cluster's saved requests.
  CRnError SaveText(const std::string& path, const std::string& text, int mode) const;
  // A request's saved form, as Save writes it.
  static CRnError SavedText(const CNMessageBase& request, std::string& text);

  // Whether a request fits in a saved file (the document size limit).
  static CRnError CheckSavable(const CNMessageBase& request);
};
