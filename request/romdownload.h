// The package download: a resumable HTTP transfer into the package file, with
// percentage and speed reports, pause/continue/stop commands from the front end,
// redirects, paced retries and a checksum check on completion.
#pragma once

#include <curl/curl.h>
#include <openssl/md5.h>
#include <stdint.h>
#include <stdio.h>

#include <chrono>
#include <memory>
#include <string>

#include "norvotools/norvo-update/dir2url.h"
#include "request/command_listener.h"
#include "request/download_figures.h"
#include "request/download_vouch.h"
#include "request/frontend_protocol.h"
#include "request/package_file.h"
#include "request/retry_policy.h"
#include "request/secure_event.h"

class RomDownload;

// Result of a completed download whose MD5 differs from the ROM record's. libcurl
// has no code for a checksum mismatch; CURLE_BAD_CONTENT_ENCODING ("the content
// does not decode to what was announced") is the closest and never arises
// otherwise here, because no Accept-Encoding is requested.
constexpr int kChecksumMismatch = frontend_protocol::kCauseChecksumMismatch;  // 61
// Result of a redirect whose target cannot be split into scheme, host and path:
// the server's reply is unusable (CURLE_WEIRD_SERVER_REPLY), not our URL.
constexpr int kRedirectUnparsable = frontend_protocol::kCauseRedirectUnparsable;  // 8
// Result of a completed download whose whole-file signature does not verify
// against the device's key store: a corrupt (or forged) download, dropped and
// fetched again under the same limit as a wrong MD5.
constexpr int kSignatureMismatch = frontend_protocol::kCauseSignatureMismatch;  // 62
// Redirects followed in a row before the attempt counts as failed.
constexpr int kMaxRedirects = 10;
// Attempts in a row that get no answer at all from a mirror (its name not found,
// the connection refused or timed out, closed before any answer) before the
// download leaves it for the next mirror of the record. The last mirror is
// tried on, paced, as a single one always was: an outage may pass.
constexpr int kMaxUnansweredAttempts = 3;
// True for the failures of an attempt that got no answer: `answered` says
// whether any HTTP status came back.
bool is_unanswered_failure(int code, bool answered);

// Progress of one attempt, handed to xferinfo as its user pointer.
struct XferProgress {
  int32_t lastPercent = 0;
  int64_t fileTotalSize = 0;
  int64_t lastChunk = 0;   // dlnow of the latest callback
  int64_t lastSize = 0;    // absolute size at the last speed report
  int64_t lastResume = 0;  // bytes of the package file kept by this attempt
  // The answer's head said its body goes into the file; until then the bytes on
  // disk may still be dropped (a restart), and nothing is reported.
  bool bodyKept = true;
  FILE* file = nullptr;    // borrowed: the package file
  FILE* status = nullptr;  // borrowed: where the p and s lines go (the driver's stream)
  std::chrono::steady_clock::time_point lastTick = std::chrono::steady_clock::now();
  RomDownload* event = nullptr;  // applies pause/continue requests; may be null
};

// One download target split from an absolute URL.
struct SplitUrl {
  std::string scheme;  // "http://"
  std::string host;    // "name" or "name:port"
  std::string path;    // "/..." or empty
};
// Splits a redirect target. False for a target without "://" or with parts
// beyond the size limits (scheme 15, host 1023, path 524287 characters).
bool split_redirect_url(const std::string& url, SplitUrl* out);
// The expected size from the size record: its decimal value, 0 when empty or not a number.
uint64_t parse_file_size(const std::string& text);
// True for the schemes a download may use: http and https, any letter case.
bool allowed_scheme(const std::string& scheme);
// Low-speed abort time in seconds: 60, or NORVO_LOW_SPEED_TIME (1 to 3600) as the
// process found it at start; system tests shorten it that way.
long low_speed_time();
// The time `text` (the variable's value, or null) asks for.
long low_speed_time_from(const char* text);

class RomDownload : public SecureEvent {
 public:
  RomDownload();
  virtual ~RomDownload();

  void run() override;
  std::string getDescriptor() override { return "RomDownload"; }
  int Executed(DownloadTask* driver) override;
  int PreExecuted() override;
  int OnExecuted() override;
  int PostExecuted() override { return 0; }
  void InitCbmap() override;
  void releaseResource() override;
  Handler handleCurlCode(CURLcode code) override;

  static int xferinfo(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                      curl_off_t ulnow);
  // The percentage and speed part of xferinfo.
  static int reportProgress(XferProgress* p, curl_off_t dltotal, curl_off_t dlnow,
                            curl_off_t ultotal, curl_off_t ulnow);

  FILE* updateFile = nullptr;  // borrowed from package_ while an attempt runs
  uint64_t fileTotalSize = 0;
  std::unique_ptr<XferProgress> progress;

 private:
  enum class Outcome { kNone, kComplete, kFailed, kStopped, kRestart, kRedirect };

  void runAttempts();
  void startAttempt();
  // Performs the transfer, applying commands as soon as they arrive.
  CURLcode performWithCommands(CURL* handle);
  // Applies queued pause/continue requests on the transfer thread.
  void applyRequests();
  bool prepareFile(int64_t* resume);
  bool onHeadersEnd();
  // The completed file is the package the record and the answer describe.
  bool checkComplete(DownloadStatus status);
  // With a key store: the completed file is signed by a key of it.
  bool checkSignature(DownloadStatus status);
  // Drops a completed file that failed a check and reports the failed attempt.
  void dropCorrupt(DownloadStatus status, int code, bool permanent);
  // Reports a failed attempt: a retry line, or the final line once retrying is pointless.
  void reportFailure(DownloadStatus status, int code);
  void failAttempt(int code, bool permanent);
  // Moves the task to the next mirror of mirrors_.
  void nextMirror();
  // Bytes that another mirror sent (in this run or an earlier one) and that the
  // package's own identity, the record's size and MD5, will judge at the end.
  bool keepsAcrossMirrors(const PackageIdentity& stored) const;
  void writeFigures();

  static size_t writeBody(char* data, size_t size, size_t nmemb, void* userdata);
  static size_t onHeader(char* data, size_t size, size_t nmemb, void* userdata);

  PackageFile package_{UPDATE_PACKAGE_FILE};
  CommandListener listener_;
  DownloadVouch vouch_;
  PackageIdentity identity_;  // of the task's package, from the record
  SizeBounds bounds_;         // final sizes the record allows
  Outcome outcome_ = Outcome::kNone;
  // The mirrors this task may use, in the order it tries them; the first is the
  // URL it was given. One entry (index -1) when that URL is none of the record's.
  std::vector<RomMirror> mirrors_;
  size_t mirror_ = 0;      // the one in use
  int unanswered_ = 0;     // attempts in a row the mirror in use did not answer
  bool failover_ = false;  // this attempt's failure moves the task to the next mirror
  DownloadFigures figures_;
  std::string expectedMd5_;  // 32 lower-case hex digits, or empty
  int redirects_ = 0;
  RetryPolicy retry_;
  int64_t written_ = 0;     // body bytes that reached the file this attempt
  bool freshNext_ = false;  // the next attempt starts from byte 0
  bool permanent_ = false;  // this attempt failed for a reason retrying will not mend
  bool noRetry_ = false;    // ... nor trying twice more (no CA store)
  int64_t retryAfterMs_ = -1;

  // Per-response state of the header callback (transfer thread only).
  long httpCode_ = 0;
  bool discardBody_ = false;
  bool alreadyComplete_ = false;
  int failCode_ = 0;
  AnswerHead head_;
  int64_t expectedTotal_ = -1;        // size the file has once this answer is complete
  int64_t limit_ = kMaxPackageBytes;  // the file never grows past this

  MD5_CTX md5_;
  int64_t md5Length_ = -1;  // bytes covered by md5_, -1 when unknown

  // Pause state of the transfer, kept on the transfer thread.
  bool paused_ = false;        // the front end asked for a pause that still holds
  bool pauseApplied_ = false;  // the current transfer is paused
};
