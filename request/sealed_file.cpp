// Sealed memory files and the updater's placement (see sealed_file.h).
#include "request/sealed_file.h"

#include <android-base/file.h>
#include <android-base/unique_fd.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/memfd.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace package_verify {
namespace {

constexpr size_t kReadChunk = 1 << 20;

bool Fail(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
  return false;
}

// Reads exactly len bytes at offset; false on a short read.
bool ReadAt(int fd, uint8_t* buffer, size_t len, uint64_t offset) {
  return android::base::ReadFullyAtOffset(fd, buffer, len, static_cast<off64_t>(offset));
}

// Whether path is a regular file of mode 0755 holding exactly the size bytes
// of source.
bool HoldsExactly(const std::string& path, int source, uint64_t size) {
  android::base::unique_fd fd(
      TEMP_FAILURE_RETRY(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)));
  struct stat st;
  if (fd < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 07777) != 0755 ||
      static_cast<uint64_t>(st.st_size) != size) {
    return false;
  }
  std::vector<uint8_t> held(kReadChunk), want(kReadChunk);
  for (uint64_t done = 0; done < size;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kReadChunk, size - done));
    if (!ReadAt(fd.get(), held.data(), n, done) || !ReadAt(source, want.data(), n, done) ||
        memcmp(held.data(), want.data(), n) != 0) {
      return false;
    }
    done += n;
  }
  return true;
}

}  // namespace

android::base::unique_fd NewMemoryFile(const char* name) {
  // Called through syscall(): the target's C library (API 29) has no wrapper, and its
  // <sys/mman.h> has no MFD_ flags either (they come from the kernel's header).
  return android::base::unique_fd(
      static_cast<int>(syscall(SYS_memfd_create, name, MFD_CLOEXEC | MFD_ALLOW_SEALING)));
}

bool SealMemoryFile(int fd) {
  return fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) == 0;
}

bool SealedCopyOfFile(const char* path, size_t max, android::base::unique_fd* out,
                      std::string* why) {
  android::base::unique_fd fd(
      TEMP_FAILURE_RETRY(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)));
  if (fd < 0) return Fail(why, strerror(errno));
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Fail(why, "not a regular file");
  if (static_cast<uint64_t>(st.st_size) > max) return Fail(why, "too large");
  android::base::unique_fd copy = NewMemoryFile("update-binary");
  if (copy < 0) return Fail(why, strerror(errno));
  std::vector<uint8_t> buffer(kReadChunk);
  uint64_t total = 0;
  for (;;) {
    ssize_t n = TEMP_FAILURE_RETRY(read(fd.get(), buffer.data(), buffer.size()));
    if (n < 0) return Fail(why, strerror(errno));
    if (n == 0) break;
    total += static_cast<uint64_t>(n);
    // It may grow while we copy; the copy never passes the bound.
    if (total > max) return Fail(why, "too large");
    if (!android::base::WriteFully(copy.get(), buffer.data(), static_cast<size_t>(n))) {
      return Fail(why, strerror(errno));
    }
  }
  if (!SealMemoryFile(copy.get())) return Fail(why, std::string("cannot seal: ") + strerror(errno));
  *out = std::move(copy);
  return true;
}

bool InstallUpdater(int source, const std::string& path, bool* replaced, std::string* why) {
  *replaced = false;
  struct stat st;
  if (fstat(source, &st) != 0) return Fail(why, std::string("updater: ") + strerror(errno));
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (HoldsExactly(path, source, size)) return true;
  std::string temp = path + ".XXXXXX";
  // mkostemp creates the file with O_EXCL: it never opens what is already there.
  android::base::unique_fd fd(mkostemp(&temp[0], O_CLOEXEC | O_NOFOLLOW));
  if (fd < 0) return Fail(why, "cannot create " + temp + ": " + strerror(errno));
  bool ok = fchmod(fd.get(), 0755) == 0;
  std::vector<uint8_t> buffer(kReadChunk);
  for (uint64_t done = 0; ok && done < size;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kReadChunk, size - done));
    ok = ReadAt(source, buffer.data(), n, done) &&
         android::base::WriteFully(fd.get(), buffer.data(), n);
    done += n;
  }
  int err = errno;
  // Closed before the rename: a program cannot be started while a writer holds it.
  fd.reset();
  if (ok && rename(temp.c_str(), path.c_str()) == 0) {
    *replaced = true;
    return true;
  }
  if (ok) err = errno;
  unlink(temp.c_str());
  return Fail(why, "cannot write " + path + ": " + strerror(err));
}

bool InstallUpdater(const std::string& contents, const std::string& path, bool* replaced,
                    std::string* why) {
  android::base::unique_fd copy = NewMemoryFile("update-binary");
  if (copy < 0 || !android::base::WriteFully(copy.get(), contents.data(), contents.size())) {
    return Fail(why, std::string("updater: ") + strerror(errno));
  }
  return InstallUpdater(copy.get(), path, replaced, why);
}

}  // namespace package_verify
