#include "tests/e2e/lio_vm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "apps/launcher/daemon_launcher.h"
#include "hostlib/util/wz_fd.h"

namespace wze2e {

namespace {

// TCG emulation on a shared machine: a boot takes 5 to 40 s.
constexpr int kBootTimeoutMs = 240000;
constexpr int kStopTimeoutMs = 10000;
constexpr long long kDiskBytes = 64ll << 20;

std::string SourceDir() { return WZ_TEST_SOURCE_DIR; }
// The guest hides the host's /tmp and /run behind its own, so the build tree
// (a clone in /tmp, say) is shared on its own as well.
std::string BuildTree() {
  const std::string bin = WzBuildPaths::Daemon();
  const std::string dir = bin.substr(0, bin.rfind('/'));
  return dir.substr(0, dir.rfind('/'));
}
std::string KernelDir() { return SourceDir() + "/.cache/test-kernel/current"; }

bool IsFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Tail(const std::string& text, size_t bytes) {
  return text.size() <= bytes ? text : "..." + text.substr(text.size() - bytes);
}

int ConnectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

LioVm::BootResult LioVm::Boot(const std::string& shareDir, const std::string& workDir, std::string* message,
                              const LioVmOptions& options) {
  Stop();
  m_workDir = workDir;
  const auto started = std::chrono::steady_clock::now();
  // A kernel cached before the initiator's or the RBD client's modules were
  // listed lacks their list: the script completes such a cache.
  if (!IsFile(KernelDir() + "/vmlinuz") || !IsFile(KernelDir() + "/modules.initiator") ||
      !IsFile(KernelDir() + "/modules.rbd")) {
    CommandResult fetched = RunCommand({"bash", SourceDir() + "/scripts/fetch-test-kernel.sh"});
    if (fetched.exitCode != 0 || !IsFile(KernelDir() + "/vmlinuz")) {
      *message = "no test kernel in " + KernelDir() + " and scripts/fetch-test-kernel.sh could not fetch one:\n" +
                 fetched.output;
      return BootResult::kNoKernel;
    }
  }
  for (const char* tool : {"qemu-system-x86_64", "busybox"}) {
    if (!InPath(tool)) {
      *message = std::string(tool) + " is missing: scripts/install-deps.sh installs qemu-system-x86 and busybox-static";
      return BootResult::kFailed;
    }
  }
  const std::string initramfs = workDir + "/initramfs.gz";
  CommandResult built = RunCommand({"bash", SourceDir() + "/scripts/lio-vm-initramfs.sh", initramfs, KernelDir()});
  if (built.exitCode != 0) {
    *message = "cannot build the initramfs:\n" + built.output;
    return BootResult::kFailed;
  }
  { std::ofstream disk(DiskImage(), std::ios::binary | std::ios::trunc); }
  if (::truncate(DiskImage().c_str(), kDiskBytes) != 0) {
    *message = "cannot make " + DiskImage();
    return BootResult::kFailed;
  }
  const std::vector<int> ports = wztest::FreeLoopbackPorts(3);
  if (ports.empty()) {
    *message = "no free loopback port above 20000";
    return BootResult::kFailed;
  }
  m_iscsiPort = ports[0];
  m_shellPort = ports[1];
  m_daemonPort = ports[2];
  // The initiator reaches the gateways on the host's loopback (10.0.2.2),
  // a target guest with reachHost the host's Ceph; init leaves such a guest
  // no default route.
  const bool reach = options.initiator || options.reachHost;
  const std::string forwards = std::string("user,id=n0,restrict=") + (reach ? "off" : "on") +
                               ",hostfwd=tcp:127.0.0.1:" + std::to_string(m_iscsiPort) +
                               "-:3260,hostfwd=tcp:127.0.0.1:" + std::to_string(m_shellPort) +
                               "-:7777,hostfwd=tcp:127.0.0.1:" + std::to_string(m_daemonPort) +
                               "-:" + std::to_string(kGuestDaemonPort);
  const std::vector<std::string> argv = {
      "qemu-system-x86_64",
      "-accel",
      "tcg",
      "-cpu",
      "qemu64",
      "-smp",
      "1",
      "-m",
      "1024",
      "-no-reboot",
      "-display",
      "none",
      "-vga",
      "none",
      "-monitor",
      "none",
      "-serial",
      "file:" + workDir + "/console.log",
      "-kernel",
      KernelDir() + "/vmlinuz",
      "-initrd",
      initramfs,
      "-append",
      "console=ttyS0 panic=-1 quiet loglevel=4 wz.share=" + shareDir + " wz.tree=" + BuildTree() +
          (options.initiator ? " wz.initiator=1" : "") + (reach ? " wz.reach_host=1" : ""),
      "-netdev",
      forwards,
      "-device",
      "virtio-net-pci,netdev=n0",
      "-drive",
      "file=" + DiskImage() + ",if=none,id=d1,format=raw",
      "-device",
      "virtio-blk-pci,drive=d1",
      "-virtfs",
      "local,path=" + shareDir + ",mount_tag=share,security_model=none,id=fs0",
      "-virtfs",
      "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,id=fs1",
      "-virtfs",
      "local,path=" + BuildTree() + ",mount_tag=tree,security_model=none,readonly=on,id=fs2"};
  // QEMU dies with the test process, whatever ends that.
  const std::string qemuLog = workDir + "/qemu.log";
  WzScopedFd log(::open(qemuLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!log.Valid()) {
    *message = "cannot open " + qemuLog;
    return BootResult::kFailed;
  }
  wztest::SpawnOptions spawn;
  spawn.outputFd = log.Get();
  spawn.dieWithStarter = true;
  m_pid = wztest::Spawn(argv, spawn, message);
  if (m_pid < 0) return BootResult::kFailed;
  if (!WaitForGuest(kBootTimeoutMs, message)) {
    Stop();
    return BootResult::kFailed;
  }
  m_bootSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return BootResult::kReady;
}

bool LioVm::WaitForGuest(int timeoutMs, std::string* message) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string console = ConsoleText();
    if (console.find("WZ_GUEST_FAILED") != std::string::npos) {
      *message = "the guest could not start:\n" + Tail(console, 2000);
      return false;
    }
    if (console.find("WZ_GUEST_READY") != std::string::npos) {
      // The shell's listener starts just before the line: wait until it answers.
      for (int i = 0; i < 50; ++i) {
        if (Shell("true", 10000).exitCode == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
      *message = "the guest's shell does not answer";
      return false;
    }
    if (wztest::Reaped(m_pid)) {
      m_pid = -1;
      *message = "QEMU ended:\n" + Tail(wztest::ReadFile(m_workDir + "/qemu.log"), 2000) + Tail(console, 2000);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  *message = "the guest was not ready within " + std::to_string(timeoutMs / 1000) + " s:\n" + Tail(ConsoleText(), 2000);
  return false;
}

void LioVm::Stop() {
  if (m_pid <= 0) return;
  wztest::StopProcess(m_pid, kStopTimeoutMs);
  m_pid = -1;
}

CommandResult LioVm::Shell(const std::string& script, int timeoutMs) const {
  CommandResult result;
  const std::string marker = "__WZ_RC=";
  // Over user networking QEMU accepts the connection before the guest does;
  // a guest that is not listening yet shows as an empty answer: try again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    WzScopedFd s(ConnectLoopback(m_shellPort));
    if (s.Get() < 0) {
      result.output = "cannot connect to the guest's shell";
      return result;
    }
    const std::string text = "exec 2>&1\n" + script + "\necho " + marker + "$?\n";
    size_t sent = 0;
    while (sent < text.size()) {
      ssize_t n = ::send(s.Get(), text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    ::shutdown(s.Get(), SHUT_WR);
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        result.output = output + "\n(no end of the guest's answer within " + std::to_string(timeoutMs) + " ms)";
        return result;
      }
      pollfd p{s.Get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[8192];
      ssize_t n = ::recv(s.Get(), buf, sizeof buf, 0);
      if (n <= 0) break;
      output.append(buf, static_cast<size_t>(n));
    }
    const size_t at = output.rfind(marker);
    if (at == std::string::npos) {
      if (!output.empty()) {
        result.output = output;
        return result;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      continue;
    }
    result.exitCode = std::atoi(output.c_str() + at + marker.size());
    result.output = output.substr(0, at);
    return result;
  }
  result.output = "the guest's shell gave no answer";
  return result;
}

CommandResult LioVm::Chroot(const std::string& script, int timeoutMs) const {
  // A quoted here-document: the script reaches the chroot's shell untouched.
  return Shell("chroot /host /usr/bin/env PATH=/usr/sbin:/usr/bin:/sbin:/bin /bin/sh <<'WZ_CHROOT_END'\n" + script +
                   "\nWZ_CHROOT_END",
               timeoutMs);
}

bool LioVm::InitiatorInstalled(std::string* missing) {
  for (const char* tool :
       {"/usr/sbin/iscsid", "/usr/bin/iscsiadm", "/sbin/multipathd", "/sbin/multipath", "/lib/systemd/systemd-udevd"}) {
    if (::access(tool, X_OK) != 0 && ::access((std::string("/usr") + tool).c_str(), X_OK) != 0) {
      *missing = std::string(tool) +
                 " is missing: scripts/install-deps.sh installs open-iscsi, multipath-tools and systemd on the host";
      return false;
    }
  }
  return true;
}

bool LioVm::StartInitiator(const std::string& initiatorName, const MultipathSettings& settings, std::string* message) {
  // /etc of the host is read-only here: a writable copy is bound over it.
  CommandResult etc = Shell(
      "mkdir -p /tmp/etc && mount -t tmpfs etc /tmp/etc && cp -a /host/etc/. /tmp/etc/ && "
      "mount --bind /tmp/etc /host/etc",
      180000);
  if (etc.exitCode != 0) {
    *message = "cannot make /etc writable in the guest: " + etc.output;
    return false;
  }
  const std::string script =
      "set -e\n"
      "echo 'InitiatorName=" +
      initiatorName +
      "' >/etc/iscsi/initiatorname.iscsi\n"
      "sed -i 's/^node.session.timeo.replacement_timeout = .*/node.session.timeo.replacement_timeout = " +
      std::to_string(settings.replacementTimeoutS) +
      "/' /etc/iscsi/iscsid.conf\n"
      "mkdir -p /run/lock/iscsi /etc/multipath\n"
      "cat >/etc/multipath.conf <<'EOF'\n"
      "defaults {\n"
      "    user_friendly_names yes\n"
      "    find_multipaths no\n"
      "    polling_interval 2\n"
      "    path_grouping_policy " +
      settings.grouping +
      "\n"
      "    no_path_retry 12\n"
      "}\n"
      "blacklist {\n"
      "    devnode \"^vd[a-z]\"\n"
      "}\n"
      "EOF\n"
      "/lib/systemd/systemd-udevd --daemon\n"
      "SYSTEMD_IGNORE_CHROOT=1 udevadm trigger --action=add\n"
      "SYSTEMD_IGNORE_CHROOT=1 udevadm settle --timeout=60\n"
      "iscsid\n"
      "multipathd\n";
  CommandResult started = Chroot(script, 180000);
  if (started.exitCode != 0) {
    *message = "cannot start the initiator in the guest: " + started.output;
    return false;
  }
  return true;
}

std::string LioVm::ConsoleText() const { return wztest::ReadFile(m_workDir + "/console.log"); }

}  // namespace wze2e
