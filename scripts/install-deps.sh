#!/usr/bin/env bash
# Installs, only when missing, every Debian package that building, testing and
# running need. Used by `make run`, `make test` and CI; safe to run again.
set -euo pipefail

PACKAGES=(
  build-essential cmake make pkg-config ccache clang clang-tidy
  libboost-dev libboost-system-dev libboost-thread-dev
  libpugixml-dev libspdlog-dev libfmt-dev libcli11-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  tgt libiscsi-bin libiscsi-dev
  # LUNs on Ceph RBD: tgtd's rbd backing store and the libraries the RBD
  # store links; the monitor and OSD only for the tests' one-node cluster
  # (no manager: RBD needs none). No Ceph service is configured or started.
  tgt-rbd librbd-dev librados-dev ceph-common ceph-mon ceph-osd
  etcd-server etcd-client libssl-dev openssl
  # The metrics endpoint's exposition text; the server and promtool check
  # it in the end-to-end test (the package's system unit is left stopped).
  prometheus-cpp-dev prometheus
  qemu-system-x86 busybox-static
  # The multipath test's guest runs the host's Linux initiator and multipath
  # tools in its chroot; nothing is configured on the host.
  open-iscsi multipath-tools
  # The import test runs the kernel target's own tool in the guest; it asks
  # a (private) message bus for tcmu-runner's stores.
  targetcli-fb dbus-daemon
  # make bench counts the daemon's instructions per change under callgrind.
  valgrind
  procps iproute2 python3 systemd
  dpkg-dev file groff-base
)

# The kernel-target end-to-end tests boot Debian's kernel under QEMU; it is
# fetched (not installed) into the checkout's cache once. Without it those
# tests skip, so a failed download does not stop the install.
fetch_kernel() {
  bash "$(dirname "$0")/fetch-test-kernel.sh" ||
    echo "install-deps: no test kernel: the kernel-target end-to-end tests will skip" >&2
}

# Debian's etcd-server and prometheus enable system units on their default
# ports; the tests start their own servers, so no system one may run.
quiet_unit() {
  command -v systemctl >/dev/null 2>&1 || return 0
  if [ -d /run/systemd/system ]; then
    $SUDO systemctl disable --now "$1" >/dev/null 2>&1 || true
  else
    $SUDO systemctl disable "$1" >/dev/null 2>&1 || true
  fi
}

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  fetch_kernel
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
# Other installs may run at the same time: wait for dpkg's lock a while.
APT=(apt-get -o DPkg::Lock::Timeout=120)
$SUDO "${APT[@]}" update -q
$SUDO "${APT[@]}" install -y -q --no-install-recommends "${missing[@]}"
case " ${missing[*]} " in *" etcd-server "*) quiet_unit etcd.service ;; esac
case " ${missing[*]} " in *" prometheus "*) quiet_unit prometheus.service ;; esac
fetch_kernel
