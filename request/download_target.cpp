#include "request/download_target.h"

#include <android-base/file.h>
#include <android-base/parseint.h>
#include <android-base/strings.h>
#include <ctype.h>
#include <strings.h>

#include "norvotools/norvo-root/secure_mount.h"
#include "norvotools/norvo-update/dir2url.h"

namespace {

// libbase's parsers also take a sign and a "0x" prefix; these texts are decimal.
bool isDecimal(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

bool split_redirect_url(const std::string& url, SplitUrl* out) {
  size_t colon = url.find(':');
  if (colon == std::string::npos || url.compare(colon, 3, "://") != 0) return false;
  SplitUrl parts;
  parts.scheme = url.substr(0, colon + 3);
  std::string rest = url.substr(colon + 3);
  // A target without a path keeps its host; the path is then empty.
  size_t end = rest.find_first_of("/?");
  parts.host = rest.substr(0, end);
  if (end != std::string::npos) parts.path = rest.substr(end);
  if (parts.scheme.size() > 15 || parts.host.empty() || parts.host.size() > 1023 ||
      parts.path.size() > 524287) {
    return false;
  }
  *out = std::move(parts);
  return true;
}

bool allowed_scheme(const std::string& scheme) {
  return strcasecmp(scheme.c_str(), "http://") == 0 || strcasecmp(scheme.c_str(), "https://") == 0;
}

bool redirect_leaves_tls(const std::string& from, const std::string& to) {
  return strcasecmp(from.c_str(), "https://") == 0 && strcasecmp(to.c_str(), "https://") != 0;
}

uint64_t parse_file_size(const std::string& text) {
  uint64_t size = 0;
  std::string digits = android::base::Trim(text);
  if (!isDecimal(digits) || !android::base::ParseUint(digits, &size)) return 0;
  return size;
}

std::string record_md5() {
  std::string dir;
  if (!android::base::Realpath(CURRENT_ROM_LINK, &dir)) return "";
  std::string text;
  if (read_record_file(dir + "/md5", kRecordValueMax, &text) != 0) return "";
  text = android::base::Trim(text);
  if (text.size() != 32) return "";
  for (char& ch : text) {
    if (!isxdigit(static_cast<unsigned char>(ch))) return "";
    ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  }
  return text;
}
