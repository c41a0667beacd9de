#define LOG_TAG "SyncServerTime"

#include "request/syncservertime.h"

#include <android-base/logging.h>
#include <android-base/properties.h>
#include <errno.h>
#include <string.h>
#include <sys/time.h>

#include "norvo_config.h"
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

bool ParseServerDate(FILE* headers, time_t* seconds) {
  bool found = false;
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length;
  while ((length = getline(&line, &capacity, headers)) >= 0) {
    std::string text(line, length);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    printf("%s\n", text.c_str());
    if (text.find("Date") == std::string::npos) continue;
    LOG(DEBUG) << ">> Synchronized the server date: " << text;
    std::string value = text.size() > 6 ? text.substr(6) : std::string();
    *seconds = curl_getdate(value.c_str(), nullptr);
    found = true;
  }
  free(line);
  fflush(stdout);
  return found;
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
  if (dated) {
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
        LOG(ERROR) << "the server's date " << seconds
                   << " is implausibly far ahead of this build's ("
                   << (build > 0 ? build : kEarliestBuildTime) << "), the clock is left unchanged";
        return kServerDateImplausible;
    }
  }
  if (dated) {
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
  } else {
    // Setting the clock from an unset value would throw it to an arbitrary time.
    LOG(WARNING) << "no Date header in the server's answer, the clock is left unchanged";
  }
  android::base::SetProperty("norvo.timesync.ready", "1");
  return SecureEvent::PostExecuted();
}
