// wz_iscsi_probe: a small iSCSI initiator for the end-to-end tests, built on
// libiscsi. It logs in to one target as a given initiator name and runs the
// steps asked for, printing one "key=value" line per result:
//
//   wz_iscsi_probe --portal 127.0.0.1:3260 --target iqn.x --initiator iqn.h
//                  [--lun 1] [--report-luns] [--vpd-serial] [--vpd-id]
//                  [--write-lba N --pattern TEXT] [--read-lba N] [--hold-until-eof]
//   wz_iscsi_probe --url URL --initiator iqn.h [the same steps]
//
// --url takes portal, target, LUN and CHAP credentials in libiscsi's URL
// form, as libiscsi parses it (iscsi_parse_full_url):
//   iscsi://USER%SECRET@127.0.0.1:3260/iqn.x/1            one-way CHAP
//   iscsi://USER%SECRET@127.0.0.1:3260/iqn.x/1?target_user=MU&target_password=MS
//                                                          mutual CHAP: the
//                                                          target must answer
//                                                          as MU with MS
//
// Always: login, whether the LUN is there (a TEST UNIT READY that the target
// does not refuse with "logical unit not supported", and an inquiry whose
// peripheral qualifier is "connected"), inquiry (vendor, product, device
// type, peripheral qualifier), read capacity
// (capacity_bytes, block_size). --report-luns lists the LUNs the target
// reports to this initiator ("report_luns=0 3", before the LUN check);
// --vpd-serial reads the unit serial number (VPD page 0x80, "unit_serial=";
// the field is right-aligned, so leading blanks are dropped, as initiators do);
// --vpd-id lists the designators of VPD page 0x83 that name the logical unit,
// one line each: "designator=t10 TEXT" (trailing NULs and blanks dropped) or
// "designator=naa HEX" (lower-case, as Linux prints a WWID).
// --write-lba writes one block filled with
// the pattern; --read-lba reads one block and, with --pattern, says whether
// it holds the pattern. --hold-until-eof keeps the session and reads the
// block (LBA of --read-lba, else 0) every 100 ms until standard input
// closes, then reports how many reads failed: for session continuity tests.
// While holding, each chunk of input (a line) asks for one read at once,
// answered by "requested_read=ok" (with --pattern: the block holds it),
// "requested_read=mismatch" or "requested_read=failed", so that a test can
// tell, without sleeping, that the same session reads after some event.
//
// Exit status: 0 every step succeeded, 2 the login failed (login=refused),
// 3 the LUN is not there for this initiator (lun=absent), 1 a later step
// failed, 64 bad usage.
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
  std::string url;
  std::string portal;
  std::string target;
  std::string initiator;
  int lun = 1;
  long long writeLba = -1;
  long long readLba = -1;
  std::string pattern;
  bool holdUntilEof = false;
  bool reportLuns = false;
  bool vpdSerial = false;
  bool vpdId = false;
};

// An iSCSI context, destroyed (with its connection) on scope exit.
class Session {
 public:
  explicit Session(const char* initiator) : m_ctx(iscsi_create_context(initiator)) {}
  ~Session() {
    if (m_ctx == nullptr) return;
    if (m_loggedIn) iscsi_logout_sync(m_ctx);
    iscsi_destroy_context(m_ctx);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  iscsi_context* Get() const { return m_ctx; }
  void SetLoggedIn() { m_loggedIn = true; }

 private:
  iscsi_context* m_ctx;
  bool m_loggedIn = false;
};

// A SCSI task, freed on scope exit.
class Task {
 public:
  explicit Task(scsi_task* t) : m_task(t) {}
  ~Task() {
    if (m_task != nullptr) scsi_free_scsi_task(m_task);
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  scsi_task* Get() const { return m_task; }
  bool Good() const { return m_task != nullptr && m_task->status == SCSI_STATUS_GOOD; }

 private:
  scsi_task* m_task;
};

void Usage() {
  std::fprintf(stderr,
               "usage: wz_iscsi_probe --portal HOST:PORT --target IQN --initiator IQN [--lun N]\n"
               "       wz_iscsi_probe --url iscsi://[USER%%SECRET@]HOST:PORT/IQN/LUN --initiator IQN\n"
               "                      [--report-luns] [--vpd-serial] [--vpd-id]\n"
               "                      [--write-lba N --pattern TEXT] [--read-lba N] [--hold-until-eof]\n");
}

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--url") {
      if (!value(o.url)) return false;
    } else if (a == "--portal") {
      if (!value(o.portal)) return false;
    } else if (a == "--target") {
      if (!value(o.target)) return false;
    } else if (a == "--initiator") {
      if (!value(o.initiator)) return false;
    } else if (a == "--lun") {
      if (!value(v)) return false;
      o.lun = std::atoi(v.c_str());
    } else if (a == "--write-lba") {
      if (!value(v)) return false;
      o.writeLba = std::atoll(v.c_str());
    } else if (a == "--read-lba") {
      if (!value(v)) return false;
      o.readLba = std::atoll(v.c_str());
    } else if (a == "--pattern") {
      if (!value(o.pattern)) return false;
    } else if (a == "--hold-until-eof") {
      o.holdUntilEof = true;
    } else if (a == "--report-luns") {
      o.reportLuns = true;
    } else if (a == "--vpd-serial") {
      o.vpdSerial = true;
    } else if (a == "--vpd-id") {
      o.vpdId = true;
    } else {
      return false;
    }
  }
  if (o.initiator.empty()) return false;
  if (o.url.empty() == (o.portal.empty() || o.target.empty())) return false;  // one of the two forms
  if (o.writeLba >= 0 && o.pattern.empty()) return false;
  return true;
}

std::vector<unsigned char> PatternBlock(const std::string& pattern, uint32_t blockSize) {
  std::vector<unsigned char> block(blockSize);
  for (uint32_t i = 0; i < blockSize; ++i) block[i] = static_cast<unsigned char>(pattern[i % pattern.size()]);
  return block;
}

bool ReadBlock(iscsi_context* ctx, int lun, uint64_t lba, uint32_t blockSize, std::vector<unsigned char>& out) {
  Task t(iscsi_read16_sync(ctx, lun, lba, blockSize, static_cast<int>(blockSize), 0, 0, 0, 0, 0));
  if (!t.Good() || t.Get()->datain.size < static_cast<int>(blockSize)) return false;
  out.assign(t.Get()->datain.data, t.Get()->datain.data + blockSize);
  return true;
}

enum class Input { kNone, kRequest, kClosed };

Input WaitForInput(int timeoutMs) {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return Input::kNone;
  char buf[256];
  return read(STDIN_FILENO, buf, sizeof(buf)) <= 0 ? Input::kClosed : Input::kRequest;
}

// A parsed URL, destroyed on scope exit.
class Url {
 public:
  Url(iscsi_context* ctx, const std::string& url) : m_url(iscsi_parse_full_url(ctx, url.c_str())) {}
  ~Url() {
    if (m_url != nullptr) iscsi_destroy_url(m_url);
  }
  Url(const Url&) = delete;
  Url& operator=(const Url&) = delete;
  const iscsi_url* Get() const { return m_url; }

 private:
  iscsi_url* m_url;
};

int Run(Options o) {
  Session s(o.initiator.c_str());
  if (s.Get() == nullptr) {
    std::printf("login=refused\nerror=cannot create an iSCSI context\n");
    return 2;
  }
  iscsi_set_session_type(s.Get(), ISCSI_SESSION_NORMAL);
  iscsi_set_header_digest(s.Get(), ISCSI_HEADER_DIGEST_NONE);
  if (!o.url.empty()) {
    // Sets the target name and the CHAP credentials in the context.
    Url url(s.Get(), o.url);
    if (url.Get() == nullptr) {
      // libiscsi's text quotes the URL, secrets and all.
      std::printf("url=bad\n");
      return 64;
    }
    o.portal = url.Get()->portal;
    o.target = url.Get()->target;
    o.lun = url.Get()->lun;
  } else {
    iscsi_set_targetname(s.Get(), o.target.c_str());
  }
  // A dropped session must show, not be healed behind the test's back.
  iscsi_set_noautoreconnect(s.Get(), 1);
  iscsi_set_timeout(s.Get(), 10);
  if (iscsi_connect_sync(s.Get(), o.portal.c_str()) != 0 || iscsi_login_sync(s.Get()) != 0) {
    std::printf("login=refused\nerror=%s\n", iscsi_get_error(s.Get()));
    return 2;
  }
  s.SetLoggedIn();
  std::printf("login=ok\n");

  if (o.reportLuns) {
    Task t(iscsi_reportluns_sync(s.Get(), 0, 16384));
    auto* list = t.Good() ? static_cast<scsi_reportluns_list*>(scsi_datain_unmarshall(t.Get())) : nullptr;
    if (list == nullptr) {
      std::printf("report_luns=failed\nerror=%s\n", iscsi_get_error(s.Get()));
      return 1;
    }
    std::vector<uint16_t> numbers(list->luns, list->luns + list->num);
    std::sort(numbers.begin(), numbers.end());
    std::string luns;
    for (uint16_t n : numbers) luns += (luns.empty() ? "" : " ") + std::to_string(n);
    std::printf("report_luns=%s\n", luns.c_str());
  }

  // The first commands of a session meet unit attentions (power on, LUNs
  // changed); a LUN this initiator may not see is "not supported".
  for (int attempt = 0; attempt < 10; ++attempt) {
    Task t(iscsi_testunitready_sync(s.Get(), o.lun));
    if (t.Get() == nullptr || t.Good()) break;
    if (t.Get()->status != SCSI_STATUS_CHECK_CONDITION) break;
    if (t.Get()->sense.key == SCSI_SENSE_ILLEGAL_REQUEST &&
        t.Get()->sense.ascq == SCSI_SENSE_ASCQ_LOGICAL_UNIT_NOT_SUPPORTED) {
      std::printf("lun=absent\n");
      return 3;
    }
    if (t.Get()->sense.key != SCSI_SENSE_UNIT_ATTENTION) break;
  }

  {
    Task t(iscsi_inquiry_sync(s.Get(), o.lun, 0, 0, 255));
    if (!t.Good()) {
      std::printf("inquiry=failed\nerror=%s\n", iscsi_get_error(s.Get()));
      return 1;
    }
    auto* inq = static_cast<scsi_inquiry_standard*>(scsi_datain_unmarshall(t.Get()));
    if (inq == nullptr) {
      std::printf("inquiry=failed\nerror=cannot decode the inquiry data\n");
      return 1;
    }
    std::printf("inquiry=ok\nvendor=%s\nproduct=%s\ndevice_type=%d\nperipheral_qualifier=%d\n",
                inq->vendor_identification, inq->product_identification, static_cast<int>(inq->device_type),
                static_cast<int>(inq->qualifier));
    // A target answers for a LUN 0 that this initiator may not see with a
    // placeholder whose qualifier says "not connected".
    if (inq->qualifier != SCSI_INQUIRY_PERIPHERAL_QUALIFIER_CONNECTED) {
      std::printf("lun=absent\n");
      return 3;
    }
  }

  if (o.vpdSerial) {
    Task t(iscsi_inquiry_sync(s.Get(), o.lun, 1, SCSI_INQUIRY_PAGECODE_UNIT_SERIAL_NUMBER, 255));
    auto* page = t.Good() ? static_cast<scsi_inquiry_unit_serial_number*>(scsi_datain_unmarshall(t.Get())) : nullptr;
    if (page == nullptr || page->usn == nullptr) {
      std::printf("unit_serial=failed\nerror=%s\n", iscsi_get_error(s.Get()));
      return 1;
    }
    const char* usn = page->usn;
    while (*usn == ' ') ++usn;
    std::printf("unit_serial=%s\n", usn);
  }

  if (o.vpdId) {
    Task t(iscsi_inquiry_sync(s.Get(), o.lun, 1, SCSI_INQUIRY_PAGECODE_DEVICE_IDENTIFICATION, 255));
    if (!t.Good() || t.Get()->datain.size < 4) {
      std::printf("designator=failed\nerror=%s\n", iscsi_get_error(s.Get()));
      return 1;
    }
    const unsigned char* page = t.Get()->datain.data;
    const size_t size = std::min<size_t>(static_cast<size_t>(t.Get()->datain.size), 4u + ((page[2] << 8) | page[3]));
    for (size_t at = 4; at + 4 <= size;) {
      const unsigned char* d = page + at;
      const size_t len = d[3];
      if (at + 4 + len > size) break;
      // Association 0: the logical unit (not a port or the target device).
      if ((d[1] & 0x30) == 0) {
        if ((d[1] & 0x0f) == 1) {
          std::string text(reinterpret_cast<const char*>(d + 4), len);
          while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
          std::printf("designator=t10 %s\n", text.c_str());
        } else if ((d[1] & 0x0f) == 3) {
          std::printf("designator=naa ");
          for (size_t i = 0; i < len; ++i) std::printf("%02x", d[4 + i]);
          std::printf("\n");
        }
      }
      at += 4 + len;
    }
  }

  uint32_t blockSize = 0;
  {
    Task t(iscsi_readcapacity16_sync(s.Get(), o.lun));
    auto* cap = t.Good() ? static_cast<scsi_readcapacity16*>(scsi_datain_unmarshall(t.Get())) : nullptr;
    if (cap == nullptr) {
      std::printf("capacity=failed\nerror=%s\n", iscsi_get_error(s.Get()));
      return 1;
    }
    blockSize = cap->block_length;
    std::printf("capacity_bytes=%llu\nblock_size=%u\n",
                static_cast<unsigned long long>(cap->returned_lba + 1) * cap->block_length, blockSize);
  }
  if (blockSize == 0) return 1;

  if (o.writeLba >= 0) {
    std::vector<unsigned char> block = PatternBlock(o.pattern, blockSize);
    Task t(iscsi_write16_sync(s.Get(), o.lun, static_cast<uint64_t>(o.writeLba), block.data(), blockSize,
                              static_cast<int>(blockSize), 0, 0, 0, 0, 0));
    if (!t.Good()) {
      std::printf("write=failed\nerror=%s\n", iscsi_get_error(s.Get()));
      return 1;
    }
    std::printf("write=ok\n");
  }

  if (o.readLba >= 0) {
    std::vector<unsigned char> block;
    if (!ReadBlock(s.Get(), o.lun, static_cast<uint64_t>(o.readLba), blockSize, block)) {
      std::printf("read=failed\nerror=%s\n", iscsi_get_error(s.Get()));
      return 1;
    }
    std::printf("read=ok\n");
    if (!o.pattern.empty()) {
      std::printf("read_matches_pattern=%d\n", block == PatternBlock(o.pattern, blockSize) ? 1 : 0);
    }
  }

  if (o.holdUntilEof) {
    std::printf("holding=1\n");
    std::fflush(stdout);
    const uint64_t lba = o.readLba >= 0 ? static_cast<uint64_t>(o.readLba) : 0;
    long reads = 0;
    long failures = 0;
    for (Input in = WaitForInput(100); in != Input::kClosed; in = WaitForInput(100)) {
      std::vector<unsigned char> block;
      ++reads;
      const bool ok = ReadBlock(s.Get(), o.lun, lba, blockSize, block);
      if (!ok) ++failures;
      if (in == Input::kRequest) {
        const bool matches = o.pattern.empty() || block == PatternBlock(o.pattern, blockSize);
        std::printf("requested_read=%s\n", !ok ? "failed" : matches ? "ok" : "mismatch");
        std::fflush(stdout);
      }
    }
    std::printf("hold_reads=%ld\nhold_failures=%ld\n", reads, failures);
    if (failures != 0) return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    Usage();
    return 64;
  }
  int rc = Run(o);
  std::fflush(stdout);
  return rc;
}
