// The answer to a package request (see package_answer.h).
#include "request/package_answer.h"

#include <android-base/parseint.h>
#include <android-base/strings.h>
#include <curl/curl.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <algorithm>
#include <vector>

namespace {

constexpr int64_t kMiB = int64_t{1} << 20;
constexpr int64_t kGiB = int64_t{1} << 30;

bool isDecimal(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool startsWithNoCase(const std::string& text, const char* prefix) {
  return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

// The value of a "Name: value" header line whose name is `name`, or false.
bool headerValue(const std::string& line, const char* name, std::string* value) {
  size_t length = strlen(name);
  if (line.size() <= length || line[length] != ':' || !startsWithNoCase(line, name)) return false;
  *value = android::base::Trim(line.substr(length + 1));
  return true;
}

}  // namespace

int64_t content_range_start(const std::string& value) {
  std::string text = android::base::Trim(value);
  if (!startsWithNoCase(text, "bytes")) return -1;
  text = android::base::Trim(text.substr(5));
  size_t dash = text.find('-');
  if (dash == std::string::npos) return -1;
  int64_t start = -1;
  std::string digits = text.substr(0, dash);
  if (!isDecimal(digits) || !android::base::ParseInt(digits, &start, int64_t{0})) return -1;
  return start;
}

int64_t content_range_total(const std::string& value) {
  size_t slash = value.find('/');
  if (slash == std::string::npos) return -1;
  int64_t total = -1;
  std::string digits = android::base::Trim(value.substr(slash + 1));
  if (!isDecimal(digits) || !android::base::ParseInt(digits, &total, int64_t{0})) {
    return -1;
  }
  return total;
}

std::string choose_validator(const std::string& etag, const std::string& last_modified) {
  std::string tag = android::base::Trim(etag);
  bool strong = tag.size() >= 2 && tag.front() == '"' && tag.back() == '"' &&
                tag.find('"', 1) == tag.size() - 1;
  return strong ? tag : android::base::Trim(last_modified);
}

bool is_identity_encoding(const std::string& content_encoding) {
  for (const std::string& part : android::base::Split(content_encoding, ",")) {
    std::string coding = android::base::Trim(part);
    if (!coding.empty() && strcasecmp(coding.c_str(), "identity") != 0) return false;
  }
  return true;
}

AnswerHead::Line AnswerHead::add(const std::string& line) {
  if (startsWithNoCase(line, "HTTP/")) {
    std::vector<std::string> words = android::base::Split(android::base::Trim(line), " ");
    long code = 0;
    if (words.size() < 2 || !android::base::ParseInt(words[1], &code)) code = 0;
    *this = AnswerHead();
    facts_.status = code;
    return Line::kStatus;
  }
  std::string text = android::base::Trim(line);
  if (text.empty()) {
    facts_.validator = choose_validator(etag_, last_modified_);
    return Line::kEnd;
  }
  std::string value;
  if (headerValue(text, "Content-Range", &value)) {
    facts_.range_start = content_range_start(value);
    facts_.range_total = content_range_total(value);
  } else if (headerValue(text, "Content-Length", &value)) {
    int64_t length = -1;
    if (isDecimal(value) && android::base::ParseInt(value, &length, int64_t{0})) {
      facts_.content_length = length;
    } else {
      // Too large to hold, or not a number: no size we could trust.
      facts_.content_length = isDecimal(value) ? INT64_MAX : -1;
    }
  } else if (headerValue(text, "ETag", &value)) {
    etag_ = value;
  } else if (headerValue(text, "Last-Modified", &value)) {
    last_modified_ = value;
  } else if (headerValue(text, "Retry-After", &value)) {
    retry_after_ = value;
  } else if (headerValue(text, "Content-Encoding", &value)) {
    // Several fields list their codings in order; any one of them counts.
    facts_.content_encoding += (facts_.content_encoding.empty() ? "" : ", ") + value;
  }
  return Line::kField;
}

SizeBounds record_size_bounds(uint64_t record_size) {
  SizeBounds bounds;
  if (record_size == 0) return bounds;
  int64_t size = static_cast<int64_t>(std::min<uint64_t>(record_size, INT64_MAX / 2));
  int64_t slack = (size >= kGiB ? kGiB : kMiB) / 10 + 1;
  bounds.low = std::max<int64_t>(size - slack, 1);
  bounds.high = size + slack;
  return bounds;
}

bool is_temporary_status(long status) {
  return status == 408 || status == 429 || (status >= 500 && status <= 504);
}

int64_t parse_retry_after(const std::string& value, int64_t now_epoch_seconds) {
  std::string text = android::base::Trim(value);
  if (text.empty()) return -1;
  int64_t seconds = -1;
  if (isDecimal(text)) {
    if (!android::base::ParseInt(text, &seconds, int64_t{0})) seconds = INT64_MAX;
    return seconds;
  }
  time_t when = curl_getdate(text.c_str(), nullptr);
  if (when < 0) return -1;
  return std::max<int64_t>(static_cast<int64_t>(when) - now_epoch_seconds, 0);
}

AnswerDecision decide_answer(const AnswerFacts& answer, int64_t on_disk,
                             const PackageIdentity& stored, const SizeBounds& bounds) {
  AnswerDecision d;
  long status = answer.status;
  auto fail = [&d](int code, bool permanent) {
    d.action = AnswerAction::kFail;
    d.code = code;
    d.permanent = permanent;
    return d;
  };
  auto restart = [&d](int code) {
    d.action = AnswerAction::kRestartFromZero;
    d.code = code;
    return d;
  };
  if (status == 416) {
    // "Nothing left to send" proves completion only when the whole package is
    // what we hold: the size the first answer announced and the record allows.
    int64_t total = answer.range_total;
    bool whole = on_disk > 0 && total == on_disk && (stored.total < 0 || stored.total == on_disk) &&
                 bounds.contains(on_disk);
    if (whole) {
      d.action = AnswerAction::kAlreadyComplete;
      d.total = on_disk;
      return d;
    }
    return restart(CURLE_HTTP_RETURNED_ERROR);
  }
  if (status < 200 || status >= 300) {
    return fail(CURLE_HTTP_RETURNED_ERROR, !is_temporary_status(status));
  }
  if (!is_identity_encoding(answer.content_encoding)) {
    // Only identity was asked for: gzip or any other coding would be stored as
    // the package's bytes. A server that insists will not change on a retry.
    return fail(kForeignEncoding, true);
  }
  int64_t total = -1;
  if (status == 206) {
    if (answer.range_start == on_disk && on_disk > 0) {
      // The server resumed; If-Range made sure it is the same package, unless it
      // ignored the condition, which a changed validator or total gives away.
      bool changed = (!stored.validator.empty() && !answer.validator.empty() &&
                      stored.validator != answer.validator);
      total = answer.range_total >= 0
                  ? answer.range_total
                  : (answer.content_length >= 0 ? on_disk + answer.content_length : -1);
      if (stored.total >= 0 && total >= 0 && total != stored.total) changed = true;
      if (changed) return restart(CURLE_RANGE_ERROR);
      d.action = AnswerAction::kAppend;
    } else if (answer.range_start == 0) {
      total = answer.range_total >= 0 ? answer.range_total : answer.content_length;
      d.action = AnswerAction::kReplace;
    } else {
      return restart(CURLE_RANGE_ERROR);
    }
  } else {
    // A whole body: it replaces what the file holds.
    total = answer.content_length;
    d.action = on_disk > 0 ? AnswerAction::kReplace : AnswerAction::kAppend;
  }
  if (total >= 0) {
    if (total > kMaxPackageBytes || (bounds.known() && total > bounds.high)) {
      return fail(CURLE_FILESIZE_EXCEEDED, true);
    }
    if (bounds.known() && total < bounds.low) return fail(CURLE_PARTIAL_FILE, true);
  }
  d.total = total;
  return d;
}
