// The action log's file layout. It is a stored format: a running service,
// its replay at the next start and any tool that reads the saved
// configuration rely on these names, so they never change. Every path of
// the action log is built here and every name in it is parsed here.
//
//   <root>/Targets/<T>/<T>.wzf                 the target's CreateTarget
//   <root>/Targets/<T>/Luns/<NNNN>.wzf         a LUN's CreateLun
//   <root>/Targets/<T>/Mappings/<H>_<NNNN>.wzf  a mapping's MapLun2Host
//   <root>/Targets/<T>/Auth.wzf                the target's SetTargetAuth
//                                              (mode 0600: it holds secrets)
//   <root>/Cluster.marker                      cluster mode: the marker (name
//                                              and id) of the cluster this
//                                              gateway joined
//
// <T> is the name id (GetGUID) of the lower-cased target name, <H> that of
// the host id (exact case), <NNNN> the LUN number in decimal, at least four
// digits. Files whose names begin with the durable writer's temporary prefix
// are saves in progress (or cut off by a crash) and never saved requests.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>

namespace WzScsiSrvActionLog {

// The name key of a target: GetGUID of the name's bytes, as given (the
// callers give the lower-cased name). A target's directory and its own file
// are named with it, and the pre-initialised targets are matched by it.
std::string GetTargetGUID(const std::string& name);
// The directory of all target directories.
std::string TargetsDir(const std::string& root);
// The marker of the cluster a gateway in cluster mode joined.
std::string ClusterMarkerFile(const std::string& root);
// The name of a target's directory: the name id of the target name as
// stored (lower-cased by the caller; no folding here, so a pre-initialised
// target must be named as stored).
std::string TargetDirName(const std::string& targetId);
std::string TargetDir(const std::string& root, const std::string& targetId);
// The target's own file, named after its directory.
std::string TargetFile(const std::string& targetDir);
// The target's CHAP credentials.
std::string AuthFile(const std::string& targetDir);
std::string LunsDir(const std::string& targetDir);
std::string MappingsDir(const std::string& targetDir);
std::string LunFileName(int32_t lunId);
std::string LunFile(const std::string& targetDir, int32_t lunId);
// hostId as the request gives it (case kept).
std::string MappingFileName(const std::string& hostId, int32_t lunId);
std::string MappingFile(const std::string& targetDir, const std::string& hostId, int32_t lunId);

// Whether a bare name is that of a saved request (ends in ".wzf", any case)
// and not a temporary file.
bool IsSavedRequestName(const std::string& name);
// Whether a bare name is a temporary file of the durable writer.
bool IsTemporaryName(const std::string& name);
// The LUN number of a LUN file name ("0007.wzf" -> 7). False for any other
// name (no digits, other characters, a number out of range).
bool ParseLunFileName(const std::string& name, int32_t& lunId);
// The host's name id and the LUN number of a mapping file name. False for
// any other name.
bool ParseMappingFileName(const std::string& name, std::string& hostDirId, int32_t& lunId);

}  // namespace WzScsiSrvActionLog
