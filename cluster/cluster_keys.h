// The cluster mode's keys in etcd. Every gateway of a cluster keeps the
// same saved requests (the documents of the action log) under
// /wzscsi/<cluster>/, one key per saved file:
//
//   t/<T>/target                 the target's CreateTarget
//   t/<T>/auth                   its SetTargetAuth
//   t/<T>/lun/<NNNNNNNNNN>       a LUN's CreateLun
//   t/<T>/map/<NNNNNNNNNN>/<H>   a mapping's MapLun2Host
//   t/<T>/seq                    touched by every change of the target
//                                (removals compare the range under their
//                                object in their own transaction; gateways
//                                of earlier versions compare this key)
//   rev                          touched by every change of the cluster: its
//                                revision is the cluster's latest, which a
//                                gateway compares with what it applied
//   cluster                      the cluster's marker, written when the
//                                cluster is made: its name and id
//
// <T> and <H> are the lower-cased target name and the host id in hex, so
// that a key alone names its object (a deletion event carries only the
// key); <NNNNNNNNNN> is the LUN number in ten digits. It is a stored format,
// shared by every gateway of a cluster: it never changes.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>

namespace WzScsiSrvClusterKeys {

// "/wzscsi/<name>/"; names are letters, digits, "-", "_" and ".".
bool ValidName(const std::string& name);
std::string Prefix(const std::string& clusterName);
std::string TargetPrefix(const std::string& prefix, const std::string& target);
std::string TargetKey(const std::string& prefix, const std::string& target);
std::string AuthKey(const std::string& prefix, const std::string& target);
std::string SeqKey(const std::string& prefix, const std::string& target);
std::string RevKey(const std::string& prefix);
std::string MarkerKey(const std::string& prefix);
// The cluster's id, a key apart from the marker so that gateways that read
// the marker whole keep reading it.
std::string ClusterIdKey(const std::string& prefix);
std::string LunKey(const std::string& prefix, const std::string& target, int32_t lun);
std::string LunMapsPrefix(const std::string& prefix, const std::string& target, int32_t lun);
std::string MapKey(const std::string& prefix, const std::string& target, int32_t lun, const std::string& host);

struct Parsed {
  enum Kind { NONE, TARGET, AUTH, SEQ, LUN, MAP } kind = NONE;
  std::string target;
  int32_t lun = -1;
  std::string host;
};
// What a key under prefix names; kind NONE for any other key.
Parsed Parse(const std::string& prefix, const std::string& key);

}  // namespace WzScsiSrvClusterKeys
