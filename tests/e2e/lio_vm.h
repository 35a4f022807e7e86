// LioVm: a QEMU guest running the Debian kernel with the Linux kernel target,
// for the kernel-target end-to-end tests. It boots the kernel that
// scripts/fetch-test-kernel.sh put into <checkout>/.cache/test-kernel (it
// runs the script when the cache is empty) with the initramfs of
// scripts/lio-vm-initramfs.sh, on TCG emulation (no KVM needed), and shares
// the host's / read-only and one host directory read-write, so programs
// built on the host run in the guest under `chroot /host` and see the same
// paths as the host.
//
// QEMU forwards three guest ports to free 127.0.0.1 ports of the host (all
// above 20000): the iSCSI portal (guest 3260), the guest's command shell
// (7777) and a port for wzscsid's TCP listener (7000). QEMU is a child of
// the test process, stopped by its pid (SIGTERM, then SIGKILL); it also dies
// with the test process, whatever ends that.
//
// With LioVmOptions::initiator the guest is an iSCSI initiator host instead:
// it loads the Linux initiator's and multipath's modules as well, and its
// user network lets it reach the host's loopback as 10.0.2.2 (kHostAddress)
// and nothing else; StartInitiator then runs the host's open-iscsi
// (iscsid, iscsiadm), udev and multipathd in the chroot, on a writable copy
// of the host's /etc. scripts/install-deps.sh installs them on the host.
//
// Thread safety: none; one test thread uses a VM.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/tgtd/tgtd_fixture.h"

namespace wze2e {

struct LioVmOptions {
  bool initiator = false;
  // The guest reaches the host's loopback as 10.0.2.2 (kHostAddress) and
  // nothing else: a target guest that serves RBD images of a Ceph cluster on
  // the host. An initiator guest always does.
  bool reachHost = false;
};

// The multipath settings the initiator guest runs with (docs/operations.md,
// "Multipath"): the replacement_timeout of open-iscsi, and multipath.conf.
struct MultipathSettings {
  int replacementTimeoutS = 5;
  // "multibus" (every path in use: gateways on one coherent store) or
  // "failover" (one path at a time).
  std::string grouping = "multibus";
};

class LioVm {
 public:
  static constexpr int kGuestDaemonPort = 7000;
  static constexpr const char* kHostAddress = "10.0.2.2";

  enum class BootResult {
    kReady,
    kNoKernel,  // the kernel cannot be had (no download possible): tests skip
    kFailed,    // anything else: tests fail
  };

  LioVm() = default;
  ~LioVm() { Stop(); }
  LioVm(const LioVm&) = delete;
  LioVm& operator=(const LioVm&) = delete;

  // Boots with shareDir (an absolute host path) shared read-write at the same
  // path; workDir holds the initramfs, the console log and the guest's
  // virtio disk (DiskImage, the guest's /dev/vda). Returns once the guest
  // serves its shell. message: why it did not.
  BootResult Boot(const std::string& shareDir, const std::string& workDir, std::string* message,
                  const LioVmOptions& options = LioVmOptions());
  // Whether the host has what StartInitiator runs (missing: what lacks).
  static bool InitiatorInstalled(std::string* missing);
  // Initiator guest only: udev, iscsid and multipathd running in the
  // chroot, the initiator named initiatorName. message: why not.
  bool StartInitiator(const std::string& initiatorName, const MultipathSettings& settings, std::string* message);
  // Stops QEMU by its pid and reaps it. Nothing when not running.
  void Stop();
  bool Running() const { return m_pid > 0; }

  // Runs a shell script in the guest (busybox sh, as root, outside the
  // chroot); exitCode is the script's last status, output its standard
  // output and error.
  CommandResult Shell(const std::string& script, int timeoutMs = 60000) const;
  // The same in the chroot of the host's / (/bin/sh there).
  CommandResult Chroot(const std::string& script, int timeoutMs = 60000) const;

  std::string IscsiPortal() const { return "127.0.0.1:" + std::to_string(m_iscsiPort); }
  std::string DaemonEndpoint() const { return "127.0.0.1:" + std::to_string(m_daemonPort); }
  std::string DiskImage() const { return m_workDir + "/vda.img"; }
  std::string ConsoleText() const;
  double BootSeconds() const { return m_bootSeconds; }

 private:
  bool WaitForGuest(int timeoutMs, std::string* message);

  pid_t m_pid = -1;
  int m_iscsiPort = 0;
  int m_shellPort = 0;
  int m_daemonPort = 0;
  std::string m_workDir;
  double m_bootSeconds = 0;
};

}  // namespace wze2e
