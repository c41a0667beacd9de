#define LOG_TAG "SyncServerTime"

#include "request/syncservertime.h"

#include <android-base/logging.h>
#include <android-base/properties.h>
#include <errno.h>
#include <string.h>
#include <strings.h>
#include <sys/time.h>

#include "norvo_config.h"
#include "norvotools/norvo-root/log_text.h"
#include "norvotools/norvo-root/work_area.h"
#include "request/vendor/norvo_property.h"

SyncServerTime::SyncServerTime() { EventWrapper<SyncServerTime>::instance = this; }

SyncServerTime::~SyncServerTime() {
  if (EventWrapper<SyncServerTime>::instance == this)
    EventWrapper<SyncServerTime>::instance = nullptr;
}

void SyncServerTime::InitCbmap() { SecureEvent::InitCbmap(); }

void SyncServerTime::run() {
  LOG(INFO) << ">> SyncServerTime is running...";
  url_ = URLWrapper{"http://",
                    isInternationalVersion() ? NORVO_UPDATE_HOST_INTL : NORVO_UPDATE_HOST, "", ""};
  LOG(DEBUG) << "SyncServerTime url " << url_.scheme << " " << url_.host << " " << url_.path;
  resolveHost(url_, EventWrapper<SyncServerTime>::fake_callback);
}

int SyncServerTime::PreExecuted() {
  // Without the file there is nowhere to put the headers and nothing to read
  // the date from: fail the event instead of transferring into nothing.
  if (int rc = prepareRequest(time_file_, TIME_FILE, "w+"); rc != 0) return rc;
  CurlOptions options(curl_.get());
  firstStageOptions(options).set(CURLOPT_HEADER, 1L).set(CURLOPT_NOBODY, 1L);
  return time_file_.attach(options).result();
}

int SyncServerTime::OnExecuted() {
  LOG(DEBUG) << ">> SyncServerTime::OnExecuted, url=" << url_.url();
  // Headers that did not reach the file cannot give the date back.
  return performTransfer(time_file_);
}

namespace {

// The header's value when `line` is a header named exactly "Date" (any case).
bool DateHeaderValue(const std::string& line, std::string* value) {
  size_t colon = line.find(':');
  if (colon != 4 || strncasecmp(line.c_str(), "Date", 4) != 0) return false;
  size_t begin = line.find_first_not_of(" \t", colon + 1);
  size_t end = line.find_last_not_of(" \t");
  *value = begin == std::string::npos ? std::string() : line.substr(begin, end - begin + 1);
  return true;
}

}  // namespace

bool ParseServerDate(FILE* headers, time_t* seconds) {
  std::string header_line, header_value, fallback_line;
  bool has_header = false;
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length;
  while ((length = getline(&line, &capacity, headers)) >= 0) {
    std::string text(line, length);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    // Behind a prefix of its own and escaped: a server's header never reads as a
    // status line (they begin with a digit and a colon) nor as two lines.
    printf("%s%s\n", kHeaderLinePrefix, printable(text).c_str());
    std::string value;
    if (DateHeaderValue(text, &value)) {
      // The Date header itself, wherever it stands: X-Amz-Date, Last-Date-Seen
      // and the like never stand in for it.
      has_header = true;
      header_line = text;
      header_value = value;
    } else if (text.find("Date") != std::string::npos) {
      fallback_line = text;
    }
  }
  free(line);
  fflush(stdout);
  if (has_header) {
    LOG(DEBUG) << ">> Synchronized the server date: " << printable(header_line);
    *seconds = curl_getdate(header_value.c_str(), nullptr);
    return true;
  }
  if (fallback_line.empty()) return false;
  // An answer without a Date header: the last line that names a date, its text
  // from the seventh character on, as servers without the header have been read.
  LOG(DEBUG) << ">> Synchronized the server date: " << printable(fallback_line);
  std::string fallback = fallback_line.size() > 6 ? fallback_line.substr(6) : std::string();
  *seconds = curl_getdate(fallback.c_str(), nullptr);
  return true;
}

ServerTime check_server_time(int64_t server, int64_t build_utc) {
  if (server < 0) return ServerTime::kUnreadable;
  int64_t floor = build_utc > 0 ? build_utc : kEarliestBuildTime;
  if (server < floor) return ServerTime::kBeforeBuild;
  if (server - floor > kMaxAheadOfBuild) return ServerTime::kTooFarAhead;
  return ServerTime::kApply;
}

int SyncServerTime::PostExecuted() {
  LOG(DEBUG) << ">> SyncServerTime::PostExecuted";
  time_t seconds = -1;
  bool dated = false;
  if (FILE* stream = time_file_.stream()) {
    rewind(stream);
    dated = ParseServerDate(stream, &seconds);
  }
  if (!dated) {
    // Setting the clock from an unset value would throw it to an arbitrary time,
    // and saying it is synchronised would be false.
    LOG(ERROR) << "no Date header in the server's answer, the clock is left unchanged";
    return kServerDateMissing;
  }
  // A clock thrown to 1970 or to the next century breaks every certificate and
  // timestamp on the handset: such a date is a failure of this step, and the
  // clock is not said to be synchronised.
  int64_t build = android::base::GetIntProperty<int64_t>("ro.build.date.utc", 0);
  switch (check_server_time(static_cast<int64_t>(seconds), build)) {
    case ServerTime::kApply:
      break;
    case ServerTime::kUnreadable:
      LOG(ERROR) << "the server's Date header is not a date, the clock is left unchanged";
      return kServerDateUnreadable;
    case ServerTime::kBeforeBuild:
      LOG(ERROR) << "the server's date " << seconds << " is before this build's ("
                 << (build > 0 ? build : kEarliestBuildTime) << "), the clock is left unchanged";
      return kServerDateImplausible;
    case ServerTime::kTooFarAhead:
      LOG(ERROR) << "the server's date " << seconds << " is implausibly far ahead of this build's ("
                 << (build > 0 ? build : kEarliestBuildTime) << "), the clock is left unchanged";
      return kServerDateImplausible;
  }
  struct timeval tv = {seconds, 0};
  int result = settimeofday(&tv, nullptr);
  if (result == 0) {
    printf("%ld %ld %d\n", static_cast<long>(tv.tv_sec), static_cast<long>(tv.tv_usec), result);
  } else {
    int err = errno;
    printf("%ld %ld %d %s\n", static_cast<long>(tv.tv_sec), static_cast<long>(tv.tv_usec), err,
           strerror(err));
  }
  fflush(stdout);
  android::base::SetProperty("norvo.timesync.ready", "1");
  return SecureEvent::PostExecuted();
}
