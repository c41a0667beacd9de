// Copies the ROM records and the last exchange from the download record area
// to the cache partition, where they survive the tmpfs.
#define LOG_TAG "secure_mount"

#include <android-base/file.h>
#include <android-base/logging.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "norvotools/norvo-root/scoped.h"
#include "norvotools/norvo-root/secure_mount.h"
#include "norvotools/norvo-root/secure_mount_internal.h"
#include "norvotools/norvo-root/work_area.h"
#include "norvotools/norvo-update/dir2url.h"

namespace {

// A file that cannot be read, or is not a regular file (a FIFO planted in the
// record must not stop the dump), or is larger than any answer, is copied empty.
std::string read_or_empty(const std::string& path) {
  std::string content;
  if (read_record_file(path, kAnswerFileMax, &content) != 0) content.clear();
  return content;
}

// Flat copy: every entry becomes a file of the same name; a mirror directory
// cannot be read and so arrives as an empty file.
void dump_record(const std::string& src, const std::string& dst) {
  int fd = TEMP_FAILURE_RETRY(open(src.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  UniqueDir dir(fd == -1 ? nullptr : fdopendir(fd));
  if (fd != -1 && !dir) close(fd);
  if (!dir) {
    int err = errno;
    LOG(DEBUG) << ">> Skip dumping \"" << src << "\": " << strerror(err);
    return;
  }
  LOG(DEBUG) << ">> Dump LatestRom under \"" << src << "\" to \"" << dst << "\"";
  size_t seen = 0;
  while (struct dirent* entry = readdir(dir.get())) {
    if (++seen > kMaxRecordEntries) break;
    std::string name = entry->d_name;
    if (name == "." || name == ".." || is_work_temp_name(name)) continue;
    create_file_and_writedata(dst, name, read_or_empty(src + "/" + name));
  }
}

}  // namespace

namespace norvo_storage {

void jsondump_to(const std::string& base, const std::string& environment) {
  const std::string latest = base + "/" + KEY_LATEST_ROM;
  const std::string cross = base + "/" + KEY_CROSS_ROM;

  // A file or link squatting on the destination is replaced by a directory;
  // unlink leaves an existing directory alone.
  unlink(base.c_str());
  mkdir(base.c_str(), 0755);
  // A link planted in place of a record copy would take the dump elsewhere.
  ensure_work_dir(latest, 0755);
  ensure_work_dir(cross, 0755);

  dump_record(LATEST_ROM_DIR, latest);
  dump_record(CROSS_ROM_DIR, cross);

  std::string current;
  if (android::base::Realpath(CURRENT_ROM_LINK, &current)) {
    if (current == LATEST_ROM_DIR) {
      create_file_and_writedata(base, KEY_CURRENT_ROM, KEY_LATEST_ROM);
    } else if (current == CROSS_ROM_DIR) {
      create_file_and_writedata(base, KEY_CURRENT_ROM, KEY_CROSS_ROM);
    }
  }

  for (const char* a : {"request", "response"}) {
    for (const char* b : {"uncrypted", "encrypted"}) {
      const std::string content = read_or_empty(DOWNLOAD_DIR + "/" + a + "." + b);
      create_file_and_writedata(base + "/" + a + "." + environment + "." + b, content);
    }
  }
}

}  // namespace norvo_storage

void jsondump() { norvo_storage::jsondump_to(DOWNLOAD_CACHE_DIR, whichEnvironment()); }
