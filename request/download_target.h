// What the download fetches and where from: the package's expected size and MD5
// as the ROM record states them, and the URL a redirect moves the download to.
#pragma once

#include <stdint.h>

#include <string>

#include "request/frontend_protocol.h"

// Redirects followed in a row before the attempt counts as failed.
constexpr int kMaxRedirects = 10;
// Result of a redirect whose target cannot be split into scheme, host and path:
// the server's reply is unusable (CURLE_WEIRD_SERVER_REPLY), not our URL.
constexpr int kRedirectUnparsable = frontend_protocol::kCauseRedirectUnparsable;  // 8

// One download target split from an absolute URL.
struct SplitUrl {
  std::string scheme;  // "http://"
  std::string host;    // "name" or "name:port"
  std::string path;    // "/..." or empty
};
// Splits a redirect target. False for a target without "://" or with parts
// beyond the size limits (scheme 15, host 1023, path 524287 characters).
bool split_redirect_url(const std::string& url, SplitUrl* out);
// True for the schemes a download may use: http and https, any letter case.
bool allowed_scheme(const std::string& scheme);
// True for a redirect from an https URL (`from`) to one that is not https (`to`):
// the package would go on in clear.
bool redirect_leaves_tls(const std::string& from, const std::string& to);

// The expected size from the size record: its decimal value, 0 when empty or not a number.
uint64_t parse_file_size(const std::string& text);
// The current ROM record's MD5 as 32 lower-case hex digits, or "" when it has
// none or not a valid one. Read without blocking: a FIFO planted as the record
// must not hold the task.
std::string record_md5();
