#define LOG_TAG "partver"

#include "partver/partver.h"

#include <android-base/file.h>
#include <android-base/properties.h>
#include <android-base/unique_fd.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <limits>

#include "norvotools/norvo-root/bounded_read.h"
#include "norvotools/norvo-root/version_text.h"

namespace partver {
namespace {

uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t LoadU64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadU32(p)) | static_cast<uint64_t>(LoadU32(p + 4)) << 32;
}

// Reads exactly `size` bytes. An early end of the device is a failure too; it leaves no
// error number of its own, so it is reported as ENODATA rather than as "Success".
bool ReadExactly(int fd, void* buf, size_t size) {
  errno = 0;
  if (android::base::ReadFully(fd, buf, size)) return true;
  if (errno == 0) errno = ENODATA;
  return false;
}

// Opens `path` for reading without blocking on it, then checks on the open
// descriptor that it is a kind of file the caller accepts: a FIFO found there
// would otherwise hold the probe until some writer appears. Blocking reads are
// restored once the kind is known. Returns -1 with errno set on failure, or
// with `*wrong_kind` set for a file of a kind that is not accepted.
android::base::unique_fd OpenForReading(const char* path, bool (*accepted)(mode_t),
                                        bool* wrong_kind) {
  *wrong_kind = false;
  android::base::unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd == -1) return fd;
  struct stat st;
  if (fstat(fd.get(), &st) == -1) return android::base::unique_fd();
  if (!accepted(st.st_mode)) {
    *wrong_kind = true;
    return android::base::unique_fd();
  }
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags == -1 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) == -1) {
    return android::base::unique_fd();
  }
  return fd;
}

bool IsPartitionKind(mode_t mode) { return S_ISBLK(mode) || S_ISREG(mode); }
bool IsRegular(mode_t mode) { return S_ISREG(mode); }

}  // namespace

std::string format_version_number(int32_t number) {
  char buf[4];
  // The cut to three characters is the published format.
  if (snprintf(buf, sizeof(buf), "%d", number) < 0) buf[0] = '\0';
  return buf;
}

bool version_record_offset(const uint8_t* header, uint64_t* offset) {
  const uint64_t dtbo_size = LoadU32(header + kDtboSizeOffset);
  const uint64_t dtbo_offset = LoadU64(header + kDtboOffsetOffset);
  const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
  // Plain uint64 arithmetic would wrap for offsets near 2^64 and seek to a small,
  // plausible-looking position; such headers are refused instead.
  if (dtbo_offset > limit || dtbo_size + 4095 > limit - dtbo_offset) return false;
  *offset = (dtbo_offset + dtbo_size + 4095) & ~static_cast<uint64_t>(4095);
  return true;
}

std::vector<std::pair<std::string, std::string>> parse_target_versions(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> entries;
  size_t start = 0;
  while (true) {
    const size_t end = text.find('\n', start);
    const std::string piece =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const size_t eq = piece.find('=');
    if (eq == std::string::npos) {
      entries.emplace_back(piece, piece);
    } else {
      entries.emplace_back(piece.substr(0, eq), piece.substr(eq + 1));
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return entries;
}

void probe_partition(const char* device_path) {
  bool wrong_kind = false;
  android::base::unique_fd fd = OpenForReading(device_path, IsPartitionKind, &wrong_kind);
  if (wrong_kind) {
    printf("failed to open norvo-dev (not a block device or regular file)\n");
    return;
  }
  if (fd == -1) {
    printf("failed to open norvo-dev (%s)\n", strerror(errno));
    return;
  }
  uint8_t header[kHeaderSize] = {};
  if (!ReadExactly(fd, header, sizeof(header))) {
    printf("failed to read norvo-dev (%s)\n", strerror(errno));
    return;
  }
  const bool existed = memcmp(header, "ANDROID!", 8) == 0;
  android::base::SetProperty("ota.norvo.existed", existed ? "1" : "0");

  uint64_t position = 0;
  if (!version_record_offset(header, &position)) {
    errno = EOVERFLOW;
    printf("failed to seek norvo_dev to 0 (%s)\n", strerror(errno));
    return;
  }
  const off_t landed = lseek(fd, static_cast<off_t>(position), SEEK_SET);
  if (landed < 0 || static_cast<uint64_t>(landed) != position) {
    printf("failed to seek norvo_dev to 0 (%s)\n", strerror(errno));
    return;
  }
  uint8_t record[kRecordSize] = {};
  if (!ReadExactly(fd, record, sizeof(record))) {
    printf("failed to read norvo_misc (%s)\n", strerror(errno));
    return;
  }
  android::base::SetProperty("ota.norvo.source.major",
                             format_version_number(static_cast<int32_t>(LoadU32(record + 8))));
  android::base::SetProperty("ota.norvo.source.middle",
                             format_version_number(static_cast<int32_t>(LoadU32(record + 12))));
  android::base::SetProperty("ota.norvo.source.minor",
                             format_version_number(static_cast<int32_t>(LoadU32(record + 16))));
}

void apply_target_versions(const char* path) {
  bool wrong_kind = false;
  android::base::unique_fd fd = OpenForReading(path, IsRegular, &wrong_kind);
  if (wrong_kind) {
    printf("failed to open %s: not a regular file\n", path);
    return;
  }
  if (fd == -1) {
    printf("failed to open %s: %s\n", path, strerror(errno));
    return;
  }
  // A file too large is refused whole (EFBIG): half of it could publish a cut value.
  std::string content;
  if (int rc = read_bounded(fd.get(), kMaxTargetVersionBytes, &content); rc != 0) {
    printf("failed to read %s: %s\n", path, strerror(-rc));
    return;
  }
  // The empty piece after a final line feed is refused by the store; that is expected.
  for (const auto& [key, value] : parse_target_versions(content)) {
    android::base::SetProperty(key, value);
  }
}

int run(int argc, char** argv, const char* device_path, const char* target_path) {
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    fputs(norvo_version::VersionText("partver").c_str(), stdout);
    fflush(stdout);
    return 0;
  }
  if (argc != 2 || strcmp(argv[1], "-v") != 0) return 0;
  probe_partition(device_path);
  apply_target_versions(target_path);
  fflush(stdout);
  return 0;
}

}  // namespace partver
