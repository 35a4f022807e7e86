#!/usr/bin/env bash
# Fails when the service plug-in lacks one of the functions its design names
# (the ones a reader looks for: the record step, the replay's entry points,
# the handlers, the lookups). Reads the symbol table of the library, local
# symbols included (hidden ones are local in the plug-in).
#
# usage: service_names.sh LIBRARY
set -euo pipefail

lib=$1
# Members of the service object.
members="LogAction GetLun PlaybackLuns PlaybackLunMapping ProcessCreateLunArgs PlaybackTargets Playback
CreateLunInternal OpenLun DeleteLun MapHost UnMapHost GetUserDefBStoreOps GetTargetDirs StartScsiService ListTargets
ListLuns Ioctl IncomingMsgXDRCallback GetXDRMsgHandlingBStorType TargetExists CreateTarget DeleteTarget
IncomingMsgXMLCallback"
# Functions and classes of their own.
others="GetTargetGUID IsValidScsiTargetName LunReqFlagHandler WzScsiSrvHandleMessage WzScsiSrvIgnoreMessage"

symbols=$(nm -C --defined-only "$lib" | cut -d' ' -f3-)
missing=""
for name in $members; do
  # A name may carry an ABI tag before its parameters: f[abi:cxx11](...).
  grep -qE "(^|[^A-Za-z0-9_])WzScsiSrv::$name(\[abi:[a-z0-9]+\])?\(" <<<"$symbols" ||
    missing="$missing WzScsiSrv::$name"
done
for name in $others; do
  grep -qE "(^|[^A-Za-z0-9_])$name(\[abi:[a-z0-9]+\])?(\(|::|$)" <<<"$symbols" || missing="$missing $name"
done
if [ -n "$missing" ]; then
  echo "$lib lacks:$missing" >&2
  exit 1
fi
echo "$lib defines every named function"
