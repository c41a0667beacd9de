// The package download: a resumable HTTP transfer into the package file, with
// percentage and speed reports, pause/continue/stop commands from the front end,
// redirects, paced retries and a checksum check on completion.
#pragma once

#include <curl/curl.h>
#include <stdint.h>
#include <stdio.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "norvotools/norvo-update/dir2url.h"
#include "request/command_listener.h"
#include "request/curl_transfer.h"
#include "request/download_figures.h"
#include "request/download_plan.h"
#include "request/download_target.h"
#include "request/download_vouch.h"
#include "request/frontend_protocol.h"
#include "request/package_answer.h"
#include "request/package_file.h"
#include "request/package_hasher.h"
#include "request/rate_cap.h"
#include "request/retry_policy.h"
#include "request/secure_event.h"
#include "request/transfer.h"

class RomDownload;

// Result of a completed download whose MD5 differs from the ROM record's. libcurl
// has no code for a checksum mismatch; CURLE_BAD_CONTENT_ENCODING ("the content
// does not decode to what was announced") is the closest and never arises
// otherwise here, because no Accept-Encoding is requested.
constexpr int kChecksumMismatch = frontend_protocol::kCauseChecksumMismatch;  // 61
// Result of a completed download whose whole-file signature does not verify
// against the device's key store: a corrupt (or forged) download, dropped and
// fetched again under the same limit as a wrong MD5.
constexpr int kSignatureMismatch = frontend_protocol::kCauseSignatureMismatch;  // 62
// The package's file system has no room for it.
constexpr int kCauseNoSpace = frontend_protocol::kCauseNoSpace;  // 202

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

// Who owns the stop. A stop command sets two things, on the listener's thread:
// - `stopCode`, the process-wide value that every progress callback returns and
//   the transfer's wait reads, so that the running transfer ends at once. It lives
//   for one attempt: releaseResource() sets it back to 0.
// - the listener's own stored stop (stopRequested(), stopFd(), waitUnlessStopped()),
//   which lasts until the task ends. The attempt loop reads it after every attempt,
//   before connecting and during the wait before a retry; name resolution watches
//   its descriptor. A stop that comes between two attempts is kept there.
class RomDownload : public SecureEvent, private Transfer::Events {
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

  // What the download needs of the records and its settings; the driver sets the
  // device's (DownloadPlan::FromRecords(), also the default).
  void setPlan(DownloadPlan plan) { plan_ = std::move(plan); }
  // Makes the transfer of each attempt; by default libcurl's over the event's
  // handle. Tests give a fake.
  using TransferMaker = std::function<std::unique_ptr<Transfer>()>;
  void setTransferMaker(TransferMaker maker) { makeTransfer_ = std::move(maker); }
  // The figures of the last run (also written to the event store at its end).
  const DownloadFigures& figures() const { return figures_; }
  // The percentage and speed part of xferinfo.
  static int reportProgress(XferProgress* p, curl_off_t dltotal, curl_off_t dlnow,
                            curl_off_t ultotal, curl_off_t ulnow);

  // The running attempt's package stream, borrowed from package_ once
  // PreExecuted() opened it; null between attempts.
  FILE* updateFile = nullptr;
  uint64_t fileTotalSize = 0;
  // The running attempt's progress record (it lives in the attempt), once
  // PreExecuted() has set it up; null between attempts.
  XferProgress* progress = nullptr;

 private:
  // kReshape: a new speed cap wants a receive buffer of another size; the
  // transfer ended where it was and goes on at once with a new request, silently.
  enum class Outcome { kNone, kComplete, kFailed, kStopped, kRestart, kRedirect, kReshape };

  // Everything that lives for one attempt, one request (a redirect's target is
  // the next attempt): made when the attempt starts and dropped by
  // releaseResource() when it ends, so nothing carries over by mistake. Used on
  // the transfer thread only.
  struct Attempt {
    explicit Attempt(PackageFile& file) : package(file) {}
    Attempt(const Attempt&) = delete;
    Attempt& operator=(const Attempt&) = delete;
    // The attempt's end closes the package stream; the file and its lock stay.
    ~Attempt() { package.close(); }

    PackageFile& package;
    // Its request and the transfer that performs it (made by OnExecuted()).
    Transfer::Request request;
    std::unique_ptr<Transfer> transfer;
    // Its counters; lastResume is where this attempt's bytes start in the file.
    XferProgress progress;
    int64_t written = 0;  // body bytes that reached the file

    // The answer, as onHeader() reads it.
    AnswerHead head;
    long httpCode = 0;                 // status of the latest response; 0: none came
    bool discardBody = false;          // its body is not package bytes
    int64_t expectedTotal = -1;        // size the file has once this answer is complete
    int64_t limit = kMaxPackageBytes;  // the file never grows past this
    bool pauseApplied = false;         // this transfer is paused
    // The speed cap holds the body until capResume (libcurl keeps the piece it
    // offered); and the receive buffer this transfer reads with.
    bool capHeld = false;
    std::chrono::steady_clock::time_point capResume{};
    long bufferSize = 0;
    bool reshape = false;  // the cap changed too much for bufferSize: end and go on

    // How it ended, for the attempt loop and the retry decision.
    Outcome outcome = Outcome::kNone;
    int failCode = 0;           // why onHeader() or writeBody() refused the answer
    bool permanent = false;     // retrying will not mend it
    bool noRetry = false;       // ... nor trying twice more (no CA store)
    bool failover = false;      // the task goes on from the next mirror
    int64_t retryAfterMs = -1;  // the wait the server asked for; -1: none
  };

  // The attempt loop and its steps, in the order they run.
  void runAttempts();
  void startAttempt();
  bool prepareFile(int64_t* resume);
  // The transfer's events (Transfer::Events): the answer's lines and body, its
  // progress, and each turn of its wait, where commands take effect at once.
  bool onHeader(const std::string& line) override;
  bool onHeadersEnd();
  Body onBody(const char* data, size_t size) override;
  int onProgress(int64_t received) override;
  bool onWake(bool commands) override;
  Transfer::Clock::time_point wakeBy() override;
  // Applies queued pause/continue requests on the transfer thread.
  void applyRequests();
  // Applies queued speed cap requests (any time, also between attempts) and
  // answers each with the cap in force.
  void applyCaps();
  void setRateCap(uint64_t cap);
  // The back-off wait before the next attempt, answering cap requests meanwhile;
  // false when a stop came.
  bool waitBeforeRetry(std::chrono::milliseconds wait);

  // The end of an attempt.
  // The completed file is the package the record and the answer describe.
  bool checkComplete(DownloadStatus status);
  // With a key store: the completed file is signed by a key of it.
  bool checkSignature(DownloadStatus status);
  // Drops a completed file that failed a check and reports the failed attempt.
  void dropCorrupt(DownloadStatus status, int code, bool permanent);
  void failAttempt(int code, bool permanent);
  // The digests over the file's first `size` bytes: what was already there is
  // queued for hashing first (read once), what comes is added as it is written.
  void startDigests(int64_t size);
  // Room for the package (the record's size) on its file system, reserved; false
  // when short, with the bytes needed and free in the log and the figures.
  bool ensureSpace(int64_t size);
  // Ends the task with 3:f:202: no retry or other mirror can make room.
  void endForLackOfSpace();
  // Whether the digests cover exactly the file's `size` bytes, once hashed.
  bool digestsCover(int64_t size);
  bool stopped() const;
  // Reports a failed attempt: a retry line, or the final line once retrying is pointless.
  void reportFailure(DownloadStatus status, int code);
  // Moves the task to the mirror the rotation names next.
  void nextMirror();
  // Bytes that another mirror sent (in this run or an earlier one) and that the
  // package's own identity, the record's size and MD5, will judge at the end.
  bool keepsAcrossMirrors(const PackageIdentity& stored) const;
  void writeFigures();

  // What spans the attempts of one task.
  DownloadPlan plan_ = DownloadPlan::FromRecords();
  TransferMaker makeTransfer_;
  std::unique_ptr<PackageFile> package_;  // the plan's, from run() on
  CommandListener listener_;
  DownloadVouch vouch_;
  std::unique_ptr<Attempt> attempt_;  // the running one; null between attempts
  PackageIdentity identity_;          // of the task's package, from the record
  SizeBounds bounds_;                 // final sizes the record allows
  std::string expectedMd5_;           // 32 lower-case hex digits, or empty
  // The mirrors this task may use, in the order it tries them; the first is the
  // URL it was given. One entry (index -1) when that URL is none of the record's.
  std::vector<RomMirror> mirrors_;
  size_t mirror_ = 0;  // the one in use
  // When to leave the mirror in use, and for which one.
  MirrorRotation rotation_;
  int redirects_ = 0;  // redirects followed in a row
  // Each mirror's own pacing and give-up counts, kept across visits, so that a
  // download going round failing mirrors waits longer each round.
  std::vector<RetryPolicy> policies_;
  RetryPolicy& retry() { return policies_[mirror_]; }
  bool freshNext_ = false;  // the next attempt starts from byte 0
  DownloadFigures figures_;
  // The record's MD5 and the signature's digest over the file's first
  // digestLength_ bytes (-1: unknown), fed as the bytes are written, so that the
  // checks at the end read nothing again.
  PackageHasher hasher_;
  int64_t digestLength_ = -1;
  bool reserveRefused_ = false;  // said once: the file system does not reserve
  // The speed cap of the task (rate_cap.h): set by the property at the start and
  // by "l" commands; it paces every attempt, across retries, redirects and mirrors.
  RatePacer pacer_;
  bool prefixReported_ = false;  // said once: what the digests read of the file
  // The front end paused an attempt and has not continued since: the next
  // attempt starts paused as well.
  bool paused_ = false;
};
