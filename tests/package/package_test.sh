#!/usr/bin/env bash
# The Debian package as an administrator gets it: built from this build tree
# into a scratch directory, unpacked into a scratch root (dpkg-deb -x), and
# checked for exactly the expected files, the real drivers (never the
# doubles), its control data, and binaries that run from the scratch root on
# their relative RUNPATH alone: both --version outputs, and an installed
# daemon that finds its own plug-in and drivers by default. And what the
# maintainer scripts do on removal, with no systemd running here (a stub
# systemctl records its calls): the package's tgtd, run as its unit runs it,
# is stopped with every target it exported, and a purge leaves no
# /run/wzscsi.
#
#   tests/package/package_test.sh BUILD_DIR VERSION
set -euo pipefail
BUILD=$(cd "$1" && pwd)
VERSION=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/wz-package-test.XXXXXX")
tgtd_pid=
trap '[ -n "$tgtd_pid" ] && kill -9 "$tgtd_pid" 2>/dev/null; rm -rf "$WORK"' EXIT
unset LD_LIBRARY_PATH

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if ! (cd "$BUILD" && cpack -G DEB -B "$WORK/out") >"$WORK/cpack.log" 2>&1; then
  cat "$WORK/cpack.log" >&2
  echo "FAIL: cpack" >&2
  exit 1
fi
DEB=$(ls "$WORK"/out/wzscsi_*.deb)
echo "package: $(basename "$DEB"), $(stat -c %s "$DEB") bytes"
ROOT=$WORK/root
dpkg-deb -x "$DEB" "$ROOT"
dpkg-deb -e "$DEB" "$WORK/control"

# Exactly these files: no test double, test or benchmark binary slips in.
expected=$(sort <<'EOF'
etc/wzscsi/wzscsi.conf
lib/systemd/system/wzscsi-tgtd.service
lib/systemd/system/wzscsid.service
lib/systemd/system/wzscsid.socket
usr/bin/wzscsictl
usr/lib/wzscsi/drivers/libWzScsiSrvBStorBlkDev.so
usr/lib/wzscsi/drivers/libWzScsiSrvBStorDevSnap.so
usr/lib/wzscsi/drivers/libWzScsiSrvBStorDrvFSBLB.so
usr/lib/wzscsi/drivers/libWzScsiSrvLio.so
usr/lib/wzscsi/drivers/libWzScsiSrvTgt.so
usr/lib/wzscsi/libRnUtils.so
usr/lib/wzscsi/libWzCluster.so
usr/lib/wzscsi/libWzLib.so
usr/lib/wzscsi/libWzScsiSrv.so
usr/lib/wzscsi/libWzScsiSrvMessages.so
usr/lib/wzscsi/libWzSession.so
usr/lib/wzscsi/libWzSessionServer.so
usr/lib/wzscsi/libWzXMLMessagesBase.so
usr/lib/wzscsi/wzscsi-tgtd
usr/sbin/wzscsid
usr/share/doc/wzscsi/README.md
usr/share/doc/wzscsi/copyright
usr/share/doc/wzscsi/operations.md
usr/share/doc/wzscsi/protocol.md
usr/share/man/man8/wzscsictl.8.gz
usr/share/man/man8/wzscsid.8.gz
EOF
)
actual=$(cd "$ROOT" && find . -type f -o -type l | sed 's|^\./||' | sort)
if [ "$actual" != "$expected" ]; then
  fail "the package's files differ from the expected ones (< expected, > packaged):"
  diff <(echo "$expected") <(echo "$actual") >&2 || true
fi

# The doubles carry the same file names as the real drivers; only their
# contents tell them apart.
for lib in "$ROOT"/usr/lib/wzscsi/drivers/*.so; do
  if grep -q "injected fault" "$lib"; then fail "$(basename "$lib") is a test double"; fi
done

# Control data: version, dependencies from the libraries plus tgt, the
# conffile and the maintainer scripts.
control=$WORK/control/control
grep -qx "Version: $VERSION-1" "$control" || fail "control: no 'Version: $VERSION-1'"
depends=$(sed -n 's/^Depends: //p' "$control")
for dep in tgt libc6 libstdc++6 libpugixml1v5 libspdlog; do
  case ", $depends" in
    *", $dep"*) ;;
    *) fail "Depends lacks $dep: $depends" ;;
  esac
done
grep -qx "/etc/wzscsi/wzscsi.conf" "$WORK/control/conffiles" || fail "wzscsi.conf is not a conffile"
for script in postinst prerm postrm; do
  [ -x "$WORK/control/$script" ] && sh -n "$WORK/control/$script" || fail "$script missing or not a valid script"
done

# Every ELF file finds its libraries inside the package, through a RUNPATH
# relative to itself; nothing points back into the build tree.
while IFS= read -r elf; do
  [ "$(head -c 4 "$elf" | tail -c 3)" = ELF ] || continue # the tgtd helper is a shell script
  runpath=$(readelf -d "$elf" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  case "$runpath" in
    '$ORIGIN'*) ;;
    *) fail "${elf#"$ROOT"/}: RUNPATH '$runpath' is not relative to \$ORIGIN" ;;
  esac
  if ldd "$elf" | grep -q "not found"; then fail "${elf#"$ROOT"/}: $(ldd "$elf" | grep "not found" | head -1)"; fi
  if ldd "$elf" | grep "libWz\|libRn" | grep -qv "$ROOT/"; then
    fail "${elf#"$ROOT"/}: a library resolves outside the package: $(ldd "$elf" | grep "libWz\|libRn" | grep -v "$ROOT/" | head -1)"
  fi
done < <(find "$ROOT/usr" -type f \( -name '*.so' -o -perm -u+x \))

out=$("$ROOT/usr/bin/wzscsictl" --version 2>&1) || fail "wzscsictl --version failed: $out"
[ "$out" = "wzscsictl $VERSION" ] || fail "wzscsictl --version printed '$out'"
out=$("$ROOT/usr/sbin/wzscsid" --version 2>&1) || fail "wzscsid --version failed: $out"
[ "$out" = "wzscsid $VERSION" ] || fail "wzscsid --version printed '$out'"

# The installed daemon, given only the packaged configuration and a tgtd
# socket where none listens: it must load its own plug-in and the real
# platform driver by default, which then fails to reach tgtd (exit 2).
conf="$ROOT/etc/wzscsi/wzscsi.conf"
before=$(sha256sum <"$conf")
mkdir -p "$WORK/state"
printf '[Quellport]\nsScsiEngine=tgt\n[WzScsiSrvTgt]\nTgtdControlSocket=%s\n' "$WORK/no-tgtd.sock" >"$WORK/state/wzscsi.conf"
status=0
timeout 60 "$ROOT/usr/sbin/wzscsid" --config "$conf" --state-dir "$WORK/state" \
  --socket "$WORK/wzscsid.sock" >"$WORK/daemon.log" 2>&1 || status=$?
if [ "$status" != 2 ] || ! grep -q "Loaded the service library $ROOT/usr/lib/wzscsi/libWzScsiSrv.so" "$WORK/daemon.log" ||
  ! grep -q "drivers $ROOT/usr/lib/wzscsi/drivers" "$WORK/daemon.log" || ! grep -q "$WORK/no-tgtd.sock" "$WORK/daemon.log"; then
  fail "the installed daemon (exit $status) did not load its plug-in and the platform driver from the package:"
  cat "$WORK/daemon.log" >&2
fi
# What the service records goes to the state directory, never into /etc.
[ "$(sha256sum <"$conf")" = "$before" ] || fail "the daemon wrote to its configuration file"
grep -q "WzScsiSrvInUse=Y" "$WORK/state/wzscsi.conf" || fail "the service recorded nothing in the state directory"

# wzscsid runs on the package's own tgtd, never on the distribution's.
unit=$ROOT/lib/systemd/system/wzscsid.service
grep -qx "Requires=wzscsi-tgtd.service" "$unit" && grep -q "^After=.*wzscsi-tgtd.service" "$unit" ||
  fail "wzscsid.service does not require and follow wzscsi-tgtd.service"
! grep -v "^#" "$unit" | grep -q "tgt.service" || fail "wzscsid.service still depends on the distribution's tgt.service"
grep -qx "Environment=TGT_IPC_SOCKET=/run/wzscsi/tgtd/socket" "$unit" ||
  fail "wzscsid.service does not name the package's tgtd socket"

# The removal's effects. tgtd as wzscsi-tgtd.service starts it, on a free
# loopback port, under the scratch root (DPKG_ROOT, as dpkg gives scripts).
if command -v tgtd >/dev/null && command -v tgtadm >/dev/null; then
  run=$ROOT/run/wzscsi/tgtd
  mkdir -p "$run" "$ROOT/run/systemd/system" "$WORK/bin"
  printf '#!/bin/sh\necho "$*" >>"%s"\n' "$WORK/systemctl.calls" >"$WORK/bin/systemctl"
  chmod +x "$WORK/bin/systemctl"
  helper=$ROOT/usr/lib/wzscsi/wzscsi-tgtd
  export TGT_IPC_SOCKET=$run/socket
  for attempt in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    tgtd -f -C 0 --iscsi portal="127.0.0.1:$port" >>"$WORK/tgtd.log" 2>&1 &
    tgtd_pid=$!
    for _ in $(seq 100); do
      tgtadm -C 0 --op show --mode sys >/dev/null 2>&1 && break
      sleep 0.1
    done
    "$helper" check-portal "127.0.0.1:$port" 2>>"$WORK/tgtd.log" && break
    # The port was taken (tgtd then listens on every interface): another.
    kill -9 "$tgtd_pid"
    wait "$tgtd_pid" 2>/dev/null || true
    tgtd_pid=
    rm -f "$run"/socket*
  done
  if [ -z "$tgtd_pid" ]; then
    fail "the package's tgtd did not start on a free loopback port: $(cat "$WORK/tgtd.log")"
  else
    "$helper" check-portal "127.0.0.1:1" 2>/dev/null && fail "check-portal accepts a portal tgtd does not listen on"
    tgtadm -C 0 --lld iscsi --op new --mode target --tid 1 -T iqn.2024-01.com.example:package
    tgtadm -C 0 --lld iscsi --op bind --mode target --tid 1 -I ALL
    out=$(PATH="$WORK/bin:$PATH" DPKG_ROOT=$ROOT sh "$WORK/control/prerm" remove 2>&1) || fail "prerm remove failed: $out"
    [ "$out" = "wzscsi: wzscsid and its tgtd are stopped; the service's targets are no longer exported." ] ||
      fail "prerm remove printed: $out"
    grep -qx "disable --now wzscsid.socket wzscsid.service wzscsi-tgtd.service" "$WORK/systemctl.calls" ||
      fail "prerm did not disable and stop the units: $(cat "$WORK/systemctl.calls")"
    for _ in $(seq 100); do
      kill -0 "$tgtd_pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$tgtd_pid" 2>/dev/null; then
      fail "the package's tgtd still runs after remove: $(tgtadm -C 0 --op show --mode target 2>&1)"
    else
      wait "$tgtd_pid" 2>/dev/null || true
      tgtd_pid=
    fi
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then fail "something still listens on the portal"; fi
    [ ! -e "$run/socket.0" ] || fail "tgtd's socket is left behind"
  fi
  unset TGT_IPC_SOCKET
  mkdir -p "$ROOT/var/lib/wzscsi"
  out=$(PATH="$WORK/bin:$PATH" DPKG_ROOT=$ROOT sh "$WORK/control/postrm" purge 2>&1) || fail "postrm purge failed: $out"
  [ ! -e "$ROOT/run/wzscsi" ] || fail "purge left $(cd "$ROOT" && find run/wzscsi)"
  [ -d "$ROOT/var/lib/wzscsi" ] || fail "purge removed the saved configuration"
  [ "$out" = "wzscsi: the saved configuration and disks stay in /var/lib/wzscsi; delete it by hand when no longer needed." ] ||
    fail "postrm purge printed: $out"
else
  echo "tgtd is not installed: the removal's stop of tgtd is not checked"
fi

# The man pages format without a warning.
for page in "$ROOT"/usr/share/man/man8/*.8.gz; do
  warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package checks passed"
