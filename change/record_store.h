// Where a change is recorded: the seam behind the handler frame's one
// sequence. Every change, whatever its source, runs the same steps (validate,
// engine step, record, model, reply; a removal: record set aside, engine
// step, then commit or put back); the source chooses the store that records
// it, never which checks run:
//   a client on a gateway of its own   the action log (WzScsiSrvActionLogStore)
//   a client in a cluster              etcd, then the action log as its cache
//                                      (WzScsiSrvClusterStore)
//   the replay, a cluster event, a     nothing (WzScsiSrvNoRecordStore): the
//   reconcile re-creation              record exists already
//
// Thread safety: a store is shared by the changes that run at once; what
// one change set aside is kept in that change's context.
#pragma once

#include <string>

#include "hostlib/errors/CRnError.h"

class WzScsiSrvHandlerContext;

class WzScsiSrvRecordStore {
 public:
  // What a removal took out of a store beyond the action log's files
  // (those are the context's set-asides), kept by the change until it ends.
  class Removal {
   public:
    virtual ~Removal() = default;
  };

  virtual ~WzScsiSrvRecordStore() = default;
  // Before the work of a change: one this store cannot record now is
  // refused at once (the refusal set in the context).
  virtual CRnError Admit(WzScsiSrvHandlerContext& ctx) = 0;
  // An addition, after its engine step: durable when this returns success.
  // An error is the refusal (set in the context); the frame then undoes the
  // engine step.
  virtual CRnError Record(WzScsiSrvHandlerContext& ctx) = 0;
  // A removal, before its engine step: its record taken out so that it can
  // be put back. path: one more saved file or directory of the change (the
  // request's own record when empty). An error is the refusal; nothing was
  // taken out then.
  virtual CRnError SetAside(WzScsiSrvHandlerContext& ctx, const std::string& path) = 0;
  // The end of a removal: what it set aside is deleted (done) or put back.
  virtual void EndRemoval(WzScsiSrvHandlerContext& ctx, bool done) = 0;
};

// Records nothing: the source's change is recorded already.
class WzScsiSrvNoRecordStore : public WzScsiSrvRecordStore {
 public:
  CRnError Admit(WzScsiSrvHandlerContext&) override { return CRnError(); }
  CRnError Record(WzScsiSrvHandlerContext&) override { return CRnError(); }
  CRnError SetAside(WzScsiSrvHandlerContext&, const std::string&) override { return CRnError(); }
  void EndRemoval(WzScsiSrvHandlerContext&, bool) override {}
};
