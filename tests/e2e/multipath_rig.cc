#include "tests/e2e/multipath_rig.h"

#include <cstdlib>
#include <sstream>
#include <vector>

#include "apps/wzscsictl/ctl_lib.h"
#include "drivers/unit_serial.h"

namespace wze2e {

const char* const MultipathRig::kTarget = "iqn.2024-01.com.example:mpath";
const char* const MultipathRig::kInitiator = "iqn.2024-01.com.example:guest";
const char* const MultipathRig::kSerialPrefix = "MP";

namespace {

// TCG on a shared machine: logins, udev and multipathd take seconds each.
constexpr int kPathsMs = 120000;
constexpr long long kDiskBytes = 64ll << 20;
// wz_direct_io's region: 256 blocks of 64 KiB.
constexpr int kIoBlocks = 256;
const char* const kIoLog = "/tmp/wz_direct_io.log";
const char* const kIoStop = "/tmp/wz_direct_io.stop";
const char* const kOtherTarget = "iqn.2024-01.com.example:mpath-first";

bool Ok(const WzCtl::ReplyView& v, const std::string& what, std::string* message) {
  if (v.errorCode == 0) return true;
  *message = what + ": " + std::to_string(v.errorCode) + " " + v.errorMessage;
  return false;
}

std::string Portal(const TgtdProcess& tgtd) {
  return std::string(LioVm::kHostAddress) + ":" + std::to_string(tgtd.Port());
}

long long LastValue(const std::string& text, const std::string& key) {
  const size_t at = text.rfind(key + "=");
  return at == std::string::npos ? 0 : std::atoll(text.c_str() + at + key.size() + 1);
}

}  // namespace

MultipathRig::Result MultipathRig::Start(const MultipathSettings& settings, std::string* message) {
  std::string missing;
  if (!ClusterRig::Installed(&missing) || !LioVm::InitiatorInstalled(&missing)) {
    *message = missing;
    return Result::kSkip;
  }
  if (!InPath("qemu-system-x86_64")) {
    *message = "qemu-system-x86_64 is missing: scripts/install-deps.sh installs qemu-system-x86";
    return Result::kSkip;
  }
  m_dir = std::make_unique<CRnTempDirForTest>();
  ClusterRigOptions options;
  if (!m_cluster.Start(options, message)) return Result::kFailed;

  // Two targets, the first one deleted: each tgtd holds the served one under
  // tid 2, and a rebuilt tgtd will give it tid 1. B must hold the first
  // before the second comes, or it might give the second tid 1.
  if (!Ok(m_cluster.Call(kA, *WzCtl::MakeCreateTarget(kOtherTarget, "", 0)), "create the first target", message))
    return Result::kFailed;
  if (!WaitUntil([&] { return TidOf(kB, kOtherTarget) != 0; }, 30000, 100)) {
    *message = "gateway b did not follow the first target within 30 s:\n" + m_cluster.Describe();
    return Result::kFailed;
  }
  if (!Ok(m_cluster.Call(kA, *WzCtl::MakeCreateTarget(kTarget, "", 0)), "create the target", message) ||
      !Ok(m_cluster.Call(kA, *WzCtl::MakeDeleteTarget(kOtherTarget, 0)), "delete the first target", message))
    return Result::kFailed;
  WzCtl::LunCreateArgs args;
  args.target = kTarget;
  args.type = 2;  // blkdev: a file of the shared directory
  args.path = m_cluster.MakeDisk("shared.img", kDiskBytes);
  args.serial = kSerialPrefix;
  const WzCtl::ReplyView lun = m_cluster.Call(kA, *WzCtl::MakeCreateLun(args, 0));
  if (!Ok(lun, "create the LUN", message)) return Result::kFailed;
  m_lun = static_cast<int>(lun.lunId);
  m_serial = WzScsiSrvUnitSerial(kSerialPrefix, kTarget, m_lun);
  if (!Ok(m_cluster.Call(kA, *WzCtl::MakeMapHost(kTarget, m_lun, kInitiator, 0)), "map the guest", message))
    return Result::kFailed;
  const bool followed = WaitUntil(
      [&] {
        const auto luns = m_cluster.Luns(kB);
        auto t = luns.find(kTarget);
        return Tid(kB) != 0 && t != luns.end() && t->second.count(m_lun) != 0 &&
               t->second.at(m_lun).count(kInitiator) != 0;
      },
      30000, 100);
  if (!followed) {
    *message = "gateway b did not follow within 30 s:\n" + m_cluster.Describe();
    return Result::kFailed;
  }

  LioVmOptions vmOptions;
  vmOptions.initiator = true;
  switch (m_vm.Boot(m_dir->Path(), m_dir->Path(), message, vmOptions)) {
    case LioVm::BootResult::kReady:
      break;
    case LioVm::BootResult::kNoKernel:
      return Result::kSkip;
    case LioVm::BootResult::kFailed:
      return Result::kFailed;
  }
  if (!m_vm.StartInitiator(kInitiator, settings, message)) return Result::kFailed;
  // Sendtargets would answer the host's 127.0.0.1: the records are made by hand.
  std::string login = "set -e\n";
  for (size_t g : {kA, kB})
    login += std::string("iscsiadm -m node -o new -T ") + kTarget + " -p " + Portal(m_cluster.Tgtd(g)) + "\n";
  login += std::string("iscsiadm -m node -T ") + kTarget + " -l\n";
  CommandResult in = m_vm.Chroot(login, 120000);
  if (in.exitCode != 0) {
    *message = "the guest cannot log in: " + in.output;
    return Result::kFailed;
  }
  if (!WaitActivePaths(2, 2, kPathsMs)) {
    *message = "no multipath device with two active paths within " + std::to_string(kPathsMs / 1000) + " s:\n" +
               MultipathLl() + m_vm.Chroot("iscsiadm -m session; ls -l /dev/mapper /dev/sd* 2>&1").output;
    return Result::kFailed;
  }
  return Result::kReady;
}

void MultipathRig::Stop() {
  m_vm.Stop();
  m_cluster.Stop();
  m_dir.reset();
}

std::string MultipathRig::MultipathLl() const { return m_vm.Chroot("multipath -ll 2>&1", 60000).output; }

int MultipathRig::ActivePaths(int* total) const {
  CommandResult r = m_vm.Chroot("multipath -ll 2>&1", 60000);
  if (r.exitCode != 0) return -1;
  int active = 0, all = 0;
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);) {
    // Path lines: "  |- 2:0:0:1 sda 8:0 active ready running" (columns
    // padded: words, not text, are compared).
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string w; fields >> w;) words.push_back(w);
    bool path = false, up = false;
    for (size_t i = 0; i < words.size(); ++i) {
      if (words[i].size() > 2 && words[i].compare(0, 2, "sd") == 0 && i > 0 &&
          words[i - 1].find(':') != std::string::npos)
        path = true;
      if (i + 1 < words.size() && words[i] == "active" && words[i + 1] == "ready") up = true;
    }
    all += path ? 1 : 0;
    active += path && up ? 1 : 0;
  }
  if (total != nullptr) *total = all;
  return active;
}

bool MultipathRig::WaitActivePaths(int active, int total, int timeoutMs) const {
  return WaitUntil(
      [&] {
        int all = 0;
        return ActivePaths(&all) == active && all == total;
      },
      timeoutMs, 1000);
}

int MultipathRig::Tid(size_t g) const { return TidOf(g, kTarget); }

int MultipathRig::TidOf(size_t g, const std::string& target) const {
  const std::string show = m_cluster.Tgtd(g).ShowTargets();
  const std::string tail = ": " + target + "\n";
  const size_t at = show.find(tail);
  if (at == std::string::npos) return 0;
  const size_t start = show.rfind("Target ", at);
  return start == std::string::npos ? 0 : std::atoi(show.c_str() + start + 7);
}

bool MultipathRig::StartIo(std::string* message) {
  // udev in the chroot makes no /dev/mapper links: the map's dm device.
  const std::string ll = MultipathLl();
  const size_t at = ll.find(" dm-");
  if (at == std::string::npos) {
    *message = "no multipath device: " + ll;
    return false;
  }
  const std::string device = "/dev/" + ll.substr(at + 1, ll.find(' ', at + 1) - at - 1);
  CommandResult r = m_vm.Chroot(std::string("rm -f ") + kIoStop + "; " + WZ_TEST_DIRECT_IO + " --device " + device +
                                    " --stop-file " + kIoStop + " --blocks " + std::to_string(kIoBlocks) + " >" +
                                    kIoLog + " 2>&1 </dev/null &\necho started",
                                30000);
  if (r.exitCode != 0) {
    *message = "cannot start wz_direct_io: " + r.output;
    return false;
  }
  if (!WaitUntil([&] { return IoProgress() >= 20; }, 60000, 500)) {
    *message = "wz_direct_io makes no progress: " + IoOutput();
    return false;
  }
  return true;
}

std::string MultipathRig::IoOutput() const { return m_vm.Chroot(std::string("cat ") + kIoLog, 30000).output; }

long long MultipathRig::IoProgress() const {
  CommandResult r = m_vm.Chroot(std::string("grep progress= ") + kIoLog + " | tail -1", 30000);
  return r.exitCode == 0 ? LastValue(r.output, "progress") : -1;
}

std::string MultipathRig::StopIo(int timeoutMs) {
  m_vm.Chroot(std::string("touch ") + kIoStop, 30000);
  std::string out;
  WaitUntil(
      [&] {
        out = IoOutput();
        return out.find("verified=") != std::string::npos;
      },
      timeoutMs, 1000);
  return out;
}

void MultipathRig::KillTgtd(size_t g) { m_cluster.Tgtd(g).Kill(); }

bool MultipathRig::BringBackTgtd(size_t g, std::string* error) { return m_cluster.Tgtd(g).Restart(error); }

}  // namespace wze2e
