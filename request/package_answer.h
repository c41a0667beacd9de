// The answer to a package request: its head read line by line as libcurl hands
// it over, and what the download does with it given the bytes on disk (append,
// replace, finish, start again or fail), with the retry classes of statuses and
// Retry-After. Pure functions: the table tests cover them.
#pragma once

#include <stdint.h>

#include <string>

#include "request/frontend_protocol.h"
#include "request/package_file.h"

// Result of an answer whose body is encoded (gzip, ...) although only identity was
// asked for (3:f:24, and 3:f:124 when it ends the task).
constexpr int kForeignEncoding = frontend_protocol::kCauseEncodingRefused;

// The final sizes a record size allows. The server states sizes as text such as
// "2.5M", so the record is only good to a tenth of its unit: a MiB below 1 GiB,
// a GiB above. {-1, -1} when the record gives no size.
struct SizeBounds {
  int64_t low = -1;
  int64_t high = -1;
  bool known() const { return high >= 0; }
  bool contains(int64_t size) const { return !known() || (size >= low && size <= high); }
};
SizeBounds record_size_bounds(uint64_t record_size);

// The parts of a final answer's head that decide what happens to the file.
struct AnswerFacts {
  long status = 0;
  int64_t range_start = -1;  // Content-Range "bytes A-B/T": A
  int64_t range_total = -1;  // ... T (also of "bytes */T")
  int64_t content_length = -1;
  std::string validator;         // this answer's strong ETag, else Last-Modified
  std::string content_encoding;  // as sent; empty when the answer names none
};

// The validator of an answer that a later request may name in If-Range: the ETag
// when it is a strong one ("..."), else Last-Modified, else empty. A weak tag
// (W/"...") only says two bodies mean the same, not that their bytes are equal,
// so it can never vouch for splicing one onto the other.
std::string choose_validator(const std::string& etag, const std::string& last_modified);
// True when a body sent with this Content-Encoding is the package's own bytes:
// none, or "identity".
bool is_identity_encoding(const std::string& content_encoding);

// Start offset of a "Content-Range: bytes A-B/T" value, or -1.
int64_t content_range_start(const std::string& value);
// Total T of a "bytes */T" or "bytes A-B/T" value, or -1.
int64_t content_range_total(const std::string& value);

// The head of an answer, read line by line as libcurl hands it over.
class AnswerHead {
 public:
  enum class Line { kStatus, kField, kEnd };
  // A status line starts a new answer (after an interim 1xx, or a redirect);
  // the blank line ends the head.
  Line add(const std::string& line);
  // The facts so far; the validator is choose_validator()'s.
  const AnswerFacts& facts() const { return facts_; }
  const std::string& retryAfter() const { return retry_after_; }

 private:
  AnswerFacts facts_;
  std::string etag_, last_modified_, retry_after_;
};

enum class AnswerAction {
  kAppend,           // the body continues the bytes on disk
  kReplace,          // the body is the whole package: drop what is on disk first
  kAlreadyComplete,  // nothing to fetch: the file is the whole package
  kRestartFromZero,  // the answer does not fit the bytes on disk: drop them, retry
  kFail,             // no use for this answer; retry later or give up
};

struct AnswerDecision {
  AnswerAction action = AnswerAction::kFail;
  int64_t total = -1;      // size of the package once this answer is complete
  int code = 0;            // status-line code of kRestartFromZero and kFail
  bool permanent = false;  // kFail: asking again will not help
};

// Given a final answer, the bytes on disk and what the side file says about them,
// what the download does with the answer. Pure: the table tests cover it.
AnswerDecision decide_answer(const AnswerFacts& answer, int64_t on_disk,
                             const PackageIdentity& stored, const SizeBounds& bounds);

// True for statuses worth asking again for later: time-outs, rate limits and
// server-side failures. Other 4xx/5xx answers will not change by retrying.
bool is_temporary_status(long status);

// Seconds a Retry-After value asks for (a number or an HTTP date), -1 when none.
int64_t parse_retry_after(const std::string& value, int64_t now_epoch_seconds);
