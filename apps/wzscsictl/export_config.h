// The way back: the service's configuration (as the detailed listing shows
// it) written as tgt-admin's targets.conf or as the kernel target's saved
// configuration (targetcli's saveconfig.json), so that an operator can
// return to either tool, and so that an export imported again gives the
// same configuration.
//
// Listings never carry CHAP secrets. Without secrets the credentials are
// written with tgt-admin's own placeholder (PLEASE_CORRECT_THE_PASSWORD) or
// without passwords (the kernel target then refuses every login of the
// target until they are set); with them (ReadSavedSecrets) they are read
// from the daemon's saved configuration, which only root or the daemon's
// user may read.
//
// Thread safety: pure functions, but for ReadSavedSecrets's file reads.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "apps/wzscsictl/migrate_plan.h"
#include "hostlib/errors/CRnError.h"

namespace WzCtl {

struct ExportOptions {
  std::string source;  // where the configuration came from, for the header
  std::string time;    // when, for the header
  // The kernel target's portal of every target ("ADDRESS:PORT").
  std::string portal = "0.0.0.0:3260";
};

struct ExportResult {
  std::string text;
  // What the format cannot hold as the service has it, for standard error.
  std::vector<std::string> warnings;
};

// The CHAP secrets of every target that has CHAP on, by lower-case name,
// from the action log directory (the daemon's
// <state>/jobresults/WzScsiSrvActionLogs). Fails when one cannot be read
// or does not match the listing.
CRnError ReadSavedSecrets(const std::string& actionLogDir, const ServiceState& state,
                          std::map<std::string, PlannedChap>& secrets);

// secrets: null to leave them out.
ExportResult ExportTgt(const ServiceState& state, const std::map<std::string, PlannedChap>* secrets,
                       const ExportOptions& options);
ExportResult ExportLio(const ServiceState& state, const std::map<std::string, PlannedChap>* secrets,
                       const ExportOptions& options);

}  // namespace WzCtl
