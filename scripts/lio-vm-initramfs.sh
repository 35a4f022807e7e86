#!/usr/bin/env bash
# Builds the initramfs of the kernel-target test VM: busybox, the modules
# that scripts/fetch-test-kernel.sh cut out of the Debian kernel, and an init
# that brings the kernel target up and hands the guest to the host.
#
#   scripts/lio-vm-initramfs.sh OUTPUT [KERNEL_DIR]   (default <checkout>/.cache/test-kernel/current)
#
# The guest, once booted (QEMU user networking, address 10.0.2.15):
# - has configfs mounted with the kernel target's modules and the kernel's
#   RBD client (rbd, libceph) loaded;
# - mounts the host's / read-only (9p tag "hostroot") at /host and the host
#   directory named by "wz.share=DIR" on the kernel command line read-write
#   (9p tag "share") at /host/DIR, so that a path means the same file on both
#   sides; /proc, /sys, configfs and /dev are bound into /host, so programs
#   built on the host run there with `chroot /host`;
# - serves a shell on TCP port 7777 per connection (script on the input, its
#   output back; the connection's end ends the shell);
# - with "wz.initiator=1" on the kernel command line: also has the modules
#   of the Linux initiator and multipath loaded;
# - with "wz.initiator=1" or "wz.reach_host=1": no default route (QEMU lets
#   it reach the host's loopback as 10.0.2.2, and nothing else is in reach);
# - shares one /tmp between its own root and /host, and points the kernel
#   target's dbroot at /tmp/target there: the kernel's threads resolve it
#   from the guest's root, the service in the chroot from /host, and under
#   /tmp both mean the same directory. Its pr/ directory, without which the
#   kernel refuses reservations that persist (APTPL), is left to the service;
# - prints WZ_GUEST_READY on the console, or WZ_GUEST_FAILED and the reason.
set -euo pipefail
OUT=$1
KDIR=${2:-$(cd "$(dirname "$0")/.." && pwd)/.cache/test-kernel/current}
KDIR=$(cd "$KDIR" && pwd -P)
VERSION=$(basename "$KDIR")
BUSYBOX=$(command -v busybox)

tree=$(mktemp -d "${TMPDIR:-/tmp}/wz-initramfs.XXXXXX")
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree"/{bin,sbin,proc,sys,dev,tmp,host,lib/modules}
cp "$BUSYBOX" "$tree/bin/busybox"
cp -r "$KDIR/lib/modules/$VERSION" "$tree/lib/modules/"
modules=$(tr '\n' ' ' <"$KDIR/modules.load")
initiator_modules=$(tr '\n' ' ' <"$KDIR/modules.initiator" 2>/dev/null || true)
rbd_modules=$(tr '\n' ' ' <"$KDIR/modules.rbd" 2>/dev/null || true)

cat >"$tree/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin:/sbin
fail() { echo "WZ_GUEST_FAILED \$*"; exec sleep 100000; }
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/shm /dev/pts
mount -t tmpfs shm /dev/shm
mount -t tmpfs tmp /tmp
echo /bin/modprobe >/proc/sys/kernel/modprobe
for m in $modules $rbd_modules; do modprobe \$m || fail "modprobe \$m"; done
mount -t configfs configfs /sys/kernel/config || fail "configfs"
initiator=\$(sed -n 's/.*wz\.initiator=\([^ ]*\).*/\1/p' /proc/cmdline)
if [ "\$initiator" = 1 ]; then
  for m in $initiator_modules; do modprobe \$m || fail "modprobe \$m"; done
fi
ip link set lo up
ip link set eth0 up
ip addr add 10.0.2.15/24 dev eth0
reach=\$(sed -n 's/.*wz\.reach_host=\([^ ]*\).*/\1/p' /proc/cmdline)
[ "\$initiator" = 1 ] || [ "\$reach" = 1 ] || ip route add default via 10.0.2.2
share=\$(sed -n 's/.*wz\.share=\([^ ]*\).*/\1/p' /proc/cmdline)
mount -t 9p -o trans=virtio,version=9p2000.L,ro hostroot /host || fail "9p hostroot"
# The host's /tmp and /run stay out of sight: the guest writes its own.
mount --bind /tmp /host/tmp
mount -t tmpfs run /host/run
if [ -n "\$share" ]; then
  mkdir -p "/host\$share" 2>/dev/null
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 share "/host\$share" || fail "9p share \$share"
fi
# A build tree under the host's /tmp or /run is shared on its own.
tree=\$(sed -n 's/.*wz\.tree=\([^ ]*\).*/\1/p' /proc/cmdline)
case "\$tree" in
  /tmp/*|/run/*)
    mkdir -p "/host\$tree"
    mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000 tree "/host\$tree" || fail "9p tree \$tree" ;;
esac
mount --bind /proc /host/proc
mount --bind /sys /host/sys
mount --bind /sys/kernel/config /host/sys/kernel/config
mount --rbind /dev /host/dev
if [ -f /sys/kernel/config/target/dbroot ]; then
  mkdir -p /tmp/target
  echo /tmp/target >/sys/kernel/config/target/dbroot || fail "dbroot"
fi
nc -ll -p 7777 -e /bin/sh &
echo "WZ_GUEST_READY \$(cut -d' ' -f1 /proc/uptime)"
exec sleep 100000000
EOF
chmod +x "$tree/init"
mkdir -p "$(dirname "$OUT")"
(cd "$tree" && find . | "$BUSYBOX" cpio -o -H newc -R 0:0 2>/dev/null | gzip -1) >"$OUT.tmp"
mv "$OUT.tmp" "$OUT"
