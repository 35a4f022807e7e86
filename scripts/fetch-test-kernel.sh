#!/usr/bin/env bash
# Fetches the Debian kernel that the kernel-target end-to-end tests boot under
# QEMU, without installing it: `apt-get download` of the image package that
# linux-image-amd64 depends on, unpacked with dpkg-deb, cut down to the kernel
# and the modules the test VM loads (with what they depend on).
#
#   scripts/fetch-test-kernel.sh [CACHE_DIR]   (default <checkout>/.cache/test-kernel)
#
# Result: CACHE_DIR/current names CACHE_DIR/<version>/, which holds vmlinuz,
# lib/modules/<version>/ (the modules and their modules.dep),
# modules.load (the module names, in the order the VM loads them) and
# modules.initiator (what a guest with the Linux initiator and multipath
# loads as well) and modules.rbd (the kernel's RBD client, which every guest
# loads after modules.load). A kernel already in the cache is kept when it
# has the three lists: no network is needed again. Exit status 0
# when a kernel is ready, 1 when none could be fetched (the tests then skip).
set -euo pipefail
cd "$(dirname "$0")/.."
CACHE=${1:-$PWD/.cache/test-kernel}

# What the VM needs: virtio network and 9p (the host's files), virtio block
# (a block-device LUN), configfs and the kernel target with its file and
# block backstores and the iSCSI fabric. Dependencies are added from
# modules.dep.
MODULES=(virtio_pci virtio_net virtio_blk 9pnet_virtio 9p crc32c_generic configfs
  target_core_mod target_core_file target_core_iblock iscsi_target_mod)
# The Linux initiator (open-iscsi's kernel side), SCSI disks and multipath.
INITIATOR_MODULES=(scsi_transport_iscsi libiscsi iscsi_tcp sd_mod dm_mod dm_multipath dm_round_robin dm_service_time)
# The kernel's RBD client, which maps the images of RBD LUNs as block devices.
RBD_MODULES=(libcrc32c dns_resolver libceph rbd)

say() { echo "fetch-test-kernel: $*" >&2; }

if [ -f "$CACHE/current/modules.load" ] && [ -f "$CACHE/current/modules.initiator" ] &&
  [ -f "$CACHE/current/modules.rbd" ] && [ -f "$CACHE/current/vmlinuz" ]; then
  exit 0
fi
for tool in apt-get apt-cache dpkg-deb busybox; do
  command -v "$tool" >/dev/null || { say "$tool is missing (scripts/install-deps.sh installs busybox-static)"; exit 1; }
done

image_package() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'; }
package=$(image_package)
if [ -z "$package" ] && [ "$(id -u)" -eq 0 ]; then
  apt-get update -q >/dev/null 2>&1 || true
  package=$(image_package)
fi
if [ -z "$package" ]; then
  say "the package lists name no linux-image-amd64 (apt-get update needed)"
  exit 1
fi
version=${package#linux-image-}

work=$(mktemp -d "${TMPDIR:-/tmp}/wz-kernel.XXXXXX")
trap 'rm -rf "$work"' EXIT
# apt's sandbox user cannot write into a root-owned temporary directory.
chmod 0755 "$work"
if ! (cd "$work" && apt-get download "$package" >"$work/download.log" 2>&1); then
  say "apt-get download $package failed:"
  tail -3 "$work/download.log" >&2
  exit 1
fi
dpkg-deb -x "$work"/"$package"_*.deb "$work/root"
# The package leaves modules.dep to its postinst; without it there is no
# dependency order.
busybox depmod -b "$work/root" "$version"

src=$work/root/lib/modules/$version
out=$CACHE/$version.tmp
rm -rf "$out"
mkdir -p "$out/lib/modules/$version"
cp "$work/root/boot/vmlinuz-$version" "$out/vmlinuz"
: >"$out/modules.load"
: >"$out/modules.initiator"
: >"$out/modules.rbd"
take() {  # module list-file
  local line f name
  # File names spell some modules with '-' (dm-mod.ko).
  name=$(echo "$1" | sed 's/[-_]/[-_]/g')
  # Built into the kernel: nothing to load.
  if grep -qE "(^|/)${name}\.ko$" "$src/modules.builtin"; then return 0; fi
  line=$(grep -E "(^|/)${name}\.ko(\.xz|\.zst)?:" "$src/modules.dep") || { say "module $1 is not in $package"; exit 1; }
  for f in ${line%%:*} ${line#*:}; do
    mkdir -p "$out/lib/modules/$version/$(dirname "$f")"
    cp "$src/$f" "$out/lib/modules/$version/$f"
  done
  echo "$1" >>"$out/$2"
}
for m in "${MODULES[@]}"; do take "$m" modules.load; done
for m in "${INITIATOR_MODULES[@]}"; do take "$m" modules.initiator; done
for m in "${RBD_MODULES[@]}"; do take "$m" modules.rbd; done
cp "$src/modules.builtin" "$src/modules.order" "$out/lib/modules/$version/"
busybox depmod -b "$out" "$version"
rm -rf "${CACHE:?}/$version"
mv "$out" "$CACHE/$version"
ln -sfn "$version" "$CACHE/current"
say "kernel $version ready in $CACHE/$version ($(find "$CACHE/$version" -name '*.ko*' | wc -l) modules)"
