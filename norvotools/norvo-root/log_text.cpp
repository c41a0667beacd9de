#include "norvotools/norvo-root/log_text.h"

#include <android-base/file.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

std::string printable(const std::string& text, size_t max_bytes) {
  std::string out;
  const size_t shown = text.size() < max_bytes ? text.size() : max_bytes;
  out.reserve(shown + 8);
  for (size_t i = 0; i < shown; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '\r':
        out += "\\r";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\\':
      case '"':
        out += '\\';
        out += static_cast<char>(c);
        continue;
      default:
        break;
    }
    if (c < 0x20 || c >= 0x7f) {
      char hex[5];
      snprintf(hex, sizeof(hex), "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > shown) out += "...";
  return out;
}

std::string printable(const char* text, size_t max_bytes) {
  return printable(std::string(text != nullptr ? text : ""), max_bytes);
}

int printable_curl_trace(CURL*, curl_infotype type, char* data, size_t size, void*) {
  const char* prefix = nullptr;
  switch (type) {
    case CURLINFO_TEXT:
      prefix = "* ";
      break;
    case CURLINFO_HEADER_IN:
      prefix = "< ";
      break;
    case CURLINFO_HEADER_OUT:
      prefix = "> ";
      break;
    default:
      return 0;
  }
  std::string out;
  size_t start = 0;
  while (start < size) {
    const char* begin = data + start;
    const void* lf = memchr(begin, '\n', size - start);
    size_t end = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - data) : size;
    size_t len = end - start;
    if (len > 0 && begin[len - 1] == '\r') --len;  // the line's own end
    out += prefix;
    out += printable(std::string(begin, len));
    out += '\n';
    start = end + 1;
  }
  // One write: the trace never interleaves with another writer's line.
  fflush(stderr);
  android::base::WriteFully(STDERR_FILENO, out.data(), out.size());
  return 0;
}
