// The service's settings: the keys of section "Quellport" of the
// configuration store, in one table (key, type, default, allowed values, what
// it does) with one reader that checks every value.
//
// Initialize reads them once, before anything else is set up; the modules get
// the struct (or the fields they need) and never read these keys themselves.
// A value that does not parse or lies outside its range refuses the start
// with the key, the value and the range: a wrong value is never replaced by a
// default behind the operator's back. A missing key keeps its default.
//
// The package's wzscsi.conf and the settings tables of docs/operations.md are
// checked against the table (tests/unit/settings_docs_test.cc), so a key, a
// default or a range cannot drift between them.
//
// "WzScsiSrvInUse" is not a setting: Initialize writes it.
//
// Thread safety: WzScsiSrvReadSettings reads the configuration store, which
// is thread-safe. The table is immutable. A WzScsiSrvSettings is a plain value.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"

extern const char* const kWzScsiSrvSettingsSection;  // "Quellport"

struct WzScsiSrvSettings {
  // nWzScsiSrvInactivityTimeOutInSecs: seconds without a target and without a
  // request before an on-demand host stops the service; Initialize hands it
  // back to the host. 0 is allowed.
  int inactivityTimeoutSecs = 300;
  // sScsiSrvStagingLoc: the parent directory of the action log (its tree is
  // <this>/WzScsiSrvActionLogs). "": the host's job-results directory.
  std::string stagingLoc;
  // sPreInitializeTargets: comma-separated names of the targets the replay
  // brings up first (actionlog/preinit_targets.h).
  std::string preInitializeTargets;
  // sScsiEngine: "lio", "tgt" or "auto" (always lower case here).
  std::string engine = "auto";
  // BackingStoreDirs: comma-separated directories and block devices where
  // new LUNs may be backed (luns/backing_store_dirs.h). "": anywhere.
  std::string backingStoreDirs;
  // RbdConfFile, RbdUser: the Ceph configuration file and the Ceph user
  // (without "client.") every RBD LUN of this gateway connects with; the
  // store and the engine get them, a client never names them.
  std::string rbdConfFile = "/etc/ceph/ceph.conf";
  std::string rbdUser = "admin";
  // RbdPools: comma-separated Ceph pools whose images may back LUNs. "": no
  // RBD LUN.
  std::string rbdPools;
  // ClusterEndpoints: comma-separated client URLs of the etcd members. "": a
  // gateway of its own (no cluster mode).
  std::string clusterEndpoints;
  // ClusterName: the cluster's name; needed with ClusterEndpoints (its form
  // is checked where the cluster mode starts).
  std::string clusterName;
  // ClusterTlsCaFile, ClusterTlsCertFile, ClusterTlsKeyFile: files for https
  // members. "": the system's CAs, no client certificate.
  std::string clusterTlsCaFile;
  std::string clusterTlsCertFile;
  std::string clusterTlsKeyFile;
  // ClusterRequestTimeoutMs: how long one call to etcd may take.
  int clusterRequestTimeoutMs = 2000;
  // ClusterWatchDeadlineSecs: how long the cluster may be ahead of this
  // gateway's watch before the watch is opened again (then a resync).
  int clusterWatchDeadlineSecs = 5;
  // ClusterFenceAfterSecs: a gateway that could not confirm it is current
  // for this long stops serving until it is; 0: never.
  int clusterFenceAfterSecs = 0;
  // ClusterReadPageKeys: keys per answer when the cluster is read whole.
  int clusterReadPageKeys = 1000;
  // nEngineCheckIntervalSecs: seconds between two comparisons of the engine
  // with the configuration; 0: never. Cheap (one listing of the engine), so
  // drift is repaired within seconds.
  int engineCheckIntervalSecs = 5;
  // EngineCheckRepairs: "yes" (the check repairs the drift of the service's
  // own objects) or "no" (it only logs it).
  std::string engineCheckRepairs = "yes";
  // nEngineWatchPollMs: milliseconds between two looks at the engine's
  // instance.
  int engineWatchPollMs = 1000;
  // nMaxWorkerThreads: the most requests worked on at once. Changes of
  // different targets run in parallel, each waiting on its own fsync: enough
  // workers that 16 clients keep 16 fsyncs in flight.
  int maxWorkerThreads = 32;
  // nStopTimeoutSecs: how long a stop waits for a driver call in progress;
  // 0: without limit.
  int stopTimeoutSecs = 300;

  // The keys the configuration sets; the other fields hold their defaults.
  std::set<std::string> given;
  bool Given(const std::string& key) const { return given.count(key) != 0; }
};

// One row of the table.
struct WzScsiSrvSettingDef {
  enum Type {
    NUMBER,  // a decimal number from lo to hi
    TEXT,    // any text
    LIST,    // comma-separated items without blanks or control characters
             // (blanks around an item and empty items do not count); kept
             // as written, its reader splits it
    CHOICE,  // one of values (any case, blanks around it ignored; "" keeps
             // the default); kept in lower case
  };
  const char* key;
  Type type;
  int WzScsiSrvSettings::*number;        // NUMBER
  long long lo, hi;                      // NUMBER
  std::string WzScsiSrvSettings::*text;  // the others
  // TEXT and LIST: what they hold, as the docs say it; CHOICE: the allowed
  // values, comma-separated.
  const char* values;
  const char* doc;  // what the setting does, for the docs

  // The range or the allowed values, as the docs write them ("1 to 1024",
  // "lio, tgt, auto").
  std::string Values() const;
  // Parses and checks value and stores it in settings. On failure settings is
  // untouched and the error's text is the reason alone ("not a number from 1
  // to 1024"); WzScsiSrvReadSettings puts the key and the value before it.
  CRnError Apply(WzScsiSrvSettings& settings, const std::string& value) const;
  // The field as a configuration file writes it.
  std::string Show(const WzScsiSrvSettings& settings) const;
};

// Every setting of the service, in the order the docs list them.
const std::vector<WzScsiSrvSettingDef>& WzScsiSrvSettingsTable();

// Reads every setting of the table from the configuration store into
// settings (defaults for the keys that are missing). Fails, with settings
// untouched, for the first value that is refused (Win32 code 87): "setting
// nMaxWorkerThreads of section Quellport is "0", not a number from 1 to
// 1024"; or when the store cannot be read ("cannot read setting ... of
// section Quellport", with the store's error).
CRnError WzScsiSrvReadSettings(WzScsiSrvSettings& settings);
