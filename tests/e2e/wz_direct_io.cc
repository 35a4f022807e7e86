// wz_direct_io: the application of the multipath end-to-end test and
// benchmark, run in the initiator guest on the multipath device. It writes
// blocks with direct I/O (no page cache between it and the gateways), reads
// each one back and checks it, round after round over a region, until a stop
// file appears; then it reads the whole region once more and checks that
// every block holds what was last written to it.
//
//   wz_direct_io --device /dev/mapper/mpatha --stop-file /tmp/stop
//                [--blocks 256] [--block-kib 64] [--max-seconds 600]
//
// Standard output, one "key=value" line each, flushed at once:
//   progress=OPS                  every 20 operations (an operation: one
//                                 write and its read-back)
//   pause_ms=MS at_ms=T           an operation that took over a second, T
//                                 milliseconds after the start
//   error=write|read block=B errno=E    an I/O error (the loop goes on)
//   mismatch=B                    a read-back that differs
//   ops=N errors=E mismatches=M max_op_ms=X verified=V bad=W   at the end
// Exit status: 0 no error, no mismatch and every block verified; 1 otherwise;
// 64 bad usage; 2 the device cannot be opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long MsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

// Each 8-byte word of a block names the block, its generation and its place,
// so a block of another round, another block or a torn write all differ.
void Fill(unsigned char* buf, size_t size, uint64_t block, uint64_t generation) {
  for (size_t i = 0; i + 8 <= size; i += 8) {
    const uint64_t word = (block << 40) ^ (generation << 16) ^ (i / 8);
    std::memcpy(buf + i, &word, 8);
  }
}

bool FullIo(bool write, int fd, unsigned char* buf, size_t size, off_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write ? ::pwrite(fd, buf + done, size - done, offset + static_cast<off_t>(done))
                            : ::pread(fd, buf + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string device, stopFile;
  long long blocks = 256, blockKib = 64, maxSeconds = 600;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return 64;
    const std::string v = argv[++i];
    if (a == "--device") {
      device = v;
    } else if (a == "--stop-file") {
      stopFile = v;
    } else if (a == "--blocks") {
      blocks = std::atoll(v.c_str());
    } else if (a == "--block-kib") {
      blockKib = std::atoll(v.c_str());
    } else if (a == "--max-seconds") {
      maxSeconds = std::atoll(v.c_str());
    } else {
      return 64;
    }
  }
  if (device.empty() || stopFile.empty() || blocks <= 0 || blockKib <= 0) {
    std::fprintf(stderr, "usage: wz_direct_io --device DEV --stop-file FILE [--blocks N] [--block-kib K]\n");
    return 64;
  }
  const int fd = ::open(device.c_str(), O_RDWR | O_DIRECT | O_CLOEXEC);
  if (fd < 0) {
    std::printf("open=failed errno=%d\n", errno);
    return 2;
  }
  const size_t size = static_cast<size_t>(blockKib) * 1024;
  void* raw = nullptr;
  if (::posix_memalign(&raw, 4096, size * 2) != 0) return 2;
  unsigned char* out = static_cast<unsigned char*>(raw);
  unsigned char* in = out + size;
  std::vector<uint64_t> generation(static_cast<size_t>(blocks), 0);  // 0: never written

  const Clock::time_point start = Clock::now();
  long long ops = 0, errors = 0, mismatches = 0, maxOpMs = 0;
  while (!Exists(stopFile) && MsBetween(start, Clock::now()) < maxSeconds * 1000) {
    const uint64_t block = static_cast<uint64_t>(ops % blocks);
    const uint64_t gen = static_cast<uint64_t>(ops / blocks) + 1;
    const off_t offset = static_cast<off_t>(block * size);
    Fill(out, size, block, gen);
    const Clock::time_point opStart = Clock::now();
    if (!FullIo(true, fd, out, size, offset)) {
      ++errors;
      std::printf("error=write block=%llu errno=%d\n", static_cast<unsigned long long>(block), errno);
    } else {
      generation[block] = gen;
      if (!FullIo(false, fd, in, size, offset)) {
        ++errors;
        std::printf("error=read block=%llu errno=%d\n", static_cast<unsigned long long>(block), errno);
      } else if (std::memcmp(in, out, size) != 0) {
        ++mismatches;
        std::printf("mismatch=%llu\n", static_cast<unsigned long long>(block));
      }
    }
    const Clock::time_point opEnd = Clock::now();
    const long long opMs = MsBetween(opStart, opEnd);
    if (opMs > maxOpMs) maxOpMs = opMs;
    if (opMs > 1000) std::printf("pause_ms=%lld at_ms=%lld\n", opMs, MsBetween(start, opStart));
    ++ops;
    if (ops % 20 == 0) std::printf("progress=%lld\n", ops);
    std::fflush(stdout);
  }

  long long verified = 0, bad = 0;
  for (long long b = 0; b < blocks; ++b) {
    if (generation[static_cast<size_t>(b)] == 0) continue;
    Fill(out, size, static_cast<uint64_t>(b), generation[static_cast<size_t>(b)]);
    if (FullIo(false, fd, in, size, static_cast<off_t>(b) * static_cast<off_t>(size)) &&
        std::memcmp(in, out, size) == 0) {
      ++verified;
    } else {
      ++bad;
    }
  }
  ::close(fd);
  std::printf("ops=%lld errors=%lld mismatches=%lld max_op_ms=%lld verified=%lld bad=%lld\n", ops, errors, mismatches,
              maxOpMs, verified, bad);
  std::fflush(stdout);
  std::free(raw);
  return errors == 0 && mismatches == 0 && bad == 0 && verified > 0 ? 0 : 1;
}
