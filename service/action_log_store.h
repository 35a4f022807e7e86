// The action-log record store of a gateway of its own (change/record_store.h
// says where a change is recorded, by its source).
//
// Thread safety: no state of its own; what one change set aside is kept in
// that change's context.
#pragma once

#include <string>

#include "change/record_store.h"

class WzScsiSrv;

// The action log of a gateway of its own: an addition is saved by the
// service's LogAction, a removal's saved file set aside and then discarded
// or put back.
class WzScsiSrvActionLogStore : public WzScsiSrvRecordStore {
 public:
  explicit WzScsiSrvActionLogStore(WzScsiSrv& service) : m_service(service) {}
  WzScsiSrvActionLogStore(const WzScsiSrvActionLogStore&) = delete;
  WzScsiSrvActionLogStore& operator=(const WzScsiSrvActionLogStore&) = delete;

  CRnError Admit(WzScsiSrvHandlerContext&) override { return CRnError(); }
  // A refusal (SAVE_FAILED) when LogAction fails.
  CRnError Record(WzScsiSrvHandlerContext& ctx) override;
  // LogAction of the change's request, its failure returned as it is.
  CRnError LogAction(WzScsiSrvHandlerContext& ctx);
  CRnError SetAside(WzScsiSrvHandlerContext& ctx, const std::string& path) override;
  void EndRemoval(WzScsiSrvHandlerContext& ctx, bool done) override;

 private:
  WzScsiSrv& m_service;
};
