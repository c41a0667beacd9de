#include "norvotools/norvo-root/bounded_read.h"

#include <errno.h>
#include <stdint.h>
#include <unistd.h>

#include <algorithm>

namespace {

// Small records are the common case: start small and double, so that a large
// limit costs memory only when the input is really that large.
constexpr size_t kFirstChunk = 4096;

}  // namespace

int read_up_to(int fd, size_t count, std::string* out) {
  std::string content;
  size_t have = 0;
  while (have < count) {
    if (have == content.size()) {
      content.resize(std::min(count, std::max(kFirstChunk, have * 2)));
    }
    ssize_t n = TEMP_FAILURE_RETRY(read(fd, &content[have], content.size() - have));
    if (n < 0) return -errno;
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  content.resize(have);
  *out = std::move(content);
  return 0;
}

int read_bounded(int fd, size_t max, std::string* out) {
  // One byte past the bound tells an input that fits from one that does not.
  const size_t count = max < SIZE_MAX ? max + 1 : max;
  std::string content;
  if (int rc = read_up_to(fd, count, &content); rc != 0) return rc;
  if (content.size() > max) {
    errno = EFBIG;
    return -EFBIG;
  }
  *out = std::move(content);
  return 0;
}
