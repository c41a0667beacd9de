// The front end's wire: every status line corvane writes, as one catalogue, and
// the one encoder that writes them. docs/frontend-protocol.md is the document
// a front-end developer works from; it and this file say the same thing.
//
// Checklist for adding a line or a code (a new failure cause of the download,
// a new refusal reason of the installer, ...):
//  1. One entry in NORVO_FRONTEND_LINES below: a name, the stages that write it,
//     its letter, its detail, whether a line feed ends it, whether corvane
//     retries after it. A number is never reused or renumbered: front ends key
//     on it. In stage 3 a code of 100 or more (and 52) ends the task, below 100
//     a retry follows; a final code for a libcurl cause c is 100 + c, and causes
//     of our own without a libcurl code take the next free number from 201 up
//     (next free: 203). An install refusal takes the next number of its range
//     (signature 1-19, package content 20-29, the updater 30-39); a refusal of
//     the package check or the install gate is a code of that unit's enum and
//     one case in InstallResultLine() (request/installer.cpp), which the
//     compiler enforces.
//  2. One row in the code table of docs/frontend-protocol.md, at the same place
//     as the entry here: line, name, line feed, retries, meaning and what the
//     front end should do. FrontendProtocolDoc (frontend_protocol_test.cpp)
//     compares the two row by row.
//  3. tools/frontend.py: the name in its LINES table (the same names).
//  4. Write it with Emit()/EmitFailure() where it arises, and a test there.
//  5. Raise kProtocolVersion (norvotools/norvo-root/version_text.h) when an
//     existing line changes its form or meaning.
//     A new code alone does not: front ends treat an unknown code of a known
//     letter by the rules of its stage (the document says how).
#pragma once

#include <stdio.h>

#include <string>

#include "norvo_config.h"
#include "norvotools/norvo-root/version_text.h"

namespace frontend_protocol {

// Version of the protocol described by docs/frontend-protocol.md; every
// program prints it with --version (norvotools/norvo-root/version_text.h).
constexpr int kProtocolVersion = norvo_version::kProtocolVersion;

// What follows the detail letter.
enum class Detail {
  kNone,    // "0:s"
  kNumber,  // a fixed number: "3:f:122"
  kText,    // a fixed text: "3:r:p", "N:f:CURLE_OPERATION_TIMEDOUT", "3:c:" (empty)
  kValue,   // a number given when the line is written: "3:p:42", "3:f:7"
  // A fixed text, then a number given when the line is written: "3:r:l:204800". The
  // entry's text is "<the fixed text>:<what the number is>".
  kTextValue,
};

// Whether corvane tries again after a failure line.
enum class Retry {
  kNotAFailure,  // success, progress, replies
  kRetries,      // one attempt failed; corvane tries again by itself
  kFinal,        // the stage (or command) is over
};

// Stages, as a set of bits; the status number of a line is the event's stage.
constexpr unsigned kStage0 = 1u << 0;
constexpr unsigned kStage1 = 1u << 1;
constexpr unsigned kStage2 = 1u << 2;
constexpr unsigned kFirstStage = kStage0 | kStage1 | kStage2;
constexpr unsigned kStage3 = 1u << 3;
constexpr unsigned kStage6 = 1u << 6;

// Causes of our own that travel through the download's result codes (the other
// causes are libcurl's CURLcode values, which they equal).
constexpr int kCauseRedirectUnparsable = 8;  // libcurl's CURLE_WEIRD_SERVER_REPLY
constexpr int kCauseChecksumMismatch = 61;   // libcurl's CURLE_BAD_CONTENT_ENCODING
// Codes libcurl no longer uses, for causes libcurl has no code of its own for.
constexpr int kCauseEncodingRefused = 24;    // a body in another encoding than identity
constexpr int kCauseSignatureMismatch = 62;  // a whole package the key store does not verify
// Step 0's refusals of a server date, above libcurl's codes.
constexpr int kCauseDateUnparsable = 120;
constexpr int kCauseDateImplausible = 121;
constexpr int kCauseDateMissing = 122;  // the answer carries no Date header at all
// The package's file system lacks the room for it (a final code of its own).
constexpr int kCauseNoSpace = 202;
// A final download code is this plus the cause that was given up on.
constexpr int kFinalCodeBase = 100;

// name, stages, letter, detail, number, text (kText: the text; kValue: what the
// number is), line feed, retry.
#define NORVO_FRONTEND_LINES(X)                                                           \
  /* first stage: the clock (0), the update check (1), the ROM URL check (2) */           \
  X(kClockSynchronised, kStage0, 's', kNone, 0, "", true, kNotAFailure)                   \
  X(kUpdateChecked, kStage1, 's', kNone, 0, "", true, kNotAFailure)                       \
  X(kRomOffered, kStage2, 's', kNumber, 0, "", false, kNotAFailure)                       \
  X(kNoRomOffered, kStage2, 's', kNumber, 2, "", false, kNotAFailure)                     \
  X(kStepTimedOut, kFirstStage, 'f', kText, 28, "CURLE_OPERATION_TIMEDOUT", true, kFinal) \
  X(kStepLookupFailed, kFirstStage, 'f', kNumber, 6, "", true, kFinal)                    \
  X(kStepConnectFailed, kFirstStage, 'f', kNumber, 7, "", true, kFinal)                   \
  X(kStepWriteFailed, kFirstStage, 'f', kNumber, 23, "", true, kFinal)                    \
  X(kDateUnparsable, kStage0, 'f', kNumber, 120, "", true, kFinal)                        \
  X(kDateImplausible, kStage0, 'f', kNumber, 121, "", true, kFinal)                       \
  X(kDateMissing, kStage0, 'f', kNumber, 122, "", true, kFinal)                           \
  X(kAnswerUnreadable, kStage1, 'f', kNumber, 26, "", true, kFinal)                       \
  X(kAnswerTooLarge, kStage1, 'f', kNumber, 63, "", true, kFinal)                         \
  X(kPackageUrlHttpError, kStage2, 'f', kNumber, 22, "", true, kFinal)                    \
  X(kStepFailed, kFirstStage, 'f', kValue, 0, "libcurl code", true, kFinal)               \
  /* the download (3) */                                                                  \
  X(kProgress, kStage3, 'p', kValue, 0, "percent", true, kNotAFailure)                    \
  X(kSpeed, kStage3, 's', kValue, 0, "bytes per second", true, kNotAFailure)              \
  X(kPaused, kStage3, 'r', kText, 0, "p", true, kNotAFailure)                             \
  X(kContinued, kStage3, 'r', kText, 0, "c", true, kNotAFailure)                          \
  X(kRateCap, kStage3, 'r', kTextValue, 0, "l:bytes per second", true, kNotAFailure)      \
  X(kStopped, kStage3, 'r', kText, 0, "s", false, kFinal)                                 \
  X(kComplete, kStage3, 'c', kText, 0, "", true, kNotAFailure)                            \
  X(kMirrorChanged, kStage3, 'm', kValue, 0, "mirror index", true, kNotAFailure)          \
  X(kNothingReceived, kStage3, 'f', kNumber, 52, "", true, kFinal)                        \
  X(kRedirectProtocol, kStage3, 'f', kNumber, 1, "", true, kRetries)                      \
  X(kUrlMalformed, kStage3, 'f', kNumber, 3, "", true, kRetries)                          \
  X(kLookupFailed, kStage3, 'f', kNumber, 6, "", true, kRetries)                          \
  X(kConnectFailed, kStage3, 'f', kNumber, 7, "", true, kRetries)                         \
  X(kRedirectUnparsable, kStage3, 'f', kNumber, 8, "", true, kRetries)                    \
  X(kCutShort, kStage3, 'f', kNumber, 18, "", true, kRetries)                             \
  X(kHttpError, kStage3, 'f', kNumber, 22, "", true, kRetries)                            \
  X(kWriteFailed, kStage3, 'f', kNumber, 23, "", true, kRetries)                          \
  X(kEncodingRefused, kStage3, 'f', kNumber, 24, "", true, kRetries)                      \
  X(kTimedOut, kStage3, 'f', kNumber, 28, "", true, kRetries)                             \
  X(kRangeRefused, kStage3, 'f', kNumber, 33, "", true, kRetries)                         \
  X(kTooManyRedirects, kStage3, 'f', kNumber, 47, "", true, kRetries)                     \
  X(kReceiveFailed, kStage3, 'f', kNumber, 56, "", true, kRetries)                        \
  X(kPeerNotVerified, kStage3, 'f', kNumber, 60, "", true, kRetries)                      \
  X(kChecksumMismatch, kStage3, 'f', kNumber, 61, "", true, kRetries)                     \
  X(kSignatureMismatch, kStage3, 'f', kNumber, 62, "", true, kRetries)                    \
  X(kTooLarge, kStage3, 'f', kNumber, 63, "", true, kRetries)                             \
  X(kAttemptFailed, kStage3, 'f', kValue, 0, "libcurl code", true, kRetries)              \
  X(kGaveUpRedirectProtocol, kStage3, 'f', kNumber, 101, "", true, kFinal)                \
  X(kPackageBusy, kStage3, 'f', kNumber, 102, "", true, kFinal)                           \
  X(kNoPackageUrl, kStage3, 'f', kNumber, 103, "", true, kFinal)                          \
  X(kGaveUpRedirectUnparsable, kStage3, 'f', kNumber, 108, "", true, kFinal)              \
  X(kGaveUpTooSmall, kStage3, 'f', kNumber, 118, "", true, kFinal)                        \
  X(kGaveUpHttpError, kStage3, 'f', kNumber, 122, "", true, kFinal)                       \
  X(kGaveUpWriteFailed, kStage3, 'f', kNumber, 123, "", true, kFinal)                     \
  X(kGaveUpEncoding, kStage3, 'f', kNumber, 124, "", true, kFinal)                        \
  X(kGaveUpPeerNotVerified, kStage3, 'f', kNumber, 160, "", true, kFinal)                 \
  X(kGaveUpChecksum, kStage3, 'f', kNumber, 161, "", true, kFinal)                        \
  X(kGaveUpSignature, kStage3, 'f', kNumber, 162, "", true, kFinal)                       \
  X(kGaveUpTooLarge, kStage3, 'f', kNumber, 163, "", true, kFinal)                        \
  X(kNoTrustStore, kStage3, 'f', kNumber, 177, "", true, kFinal)                          \
  X(kGaveUp, kStage3, 'f', kValue, 0, "100 + libcurl code", true, kFinal)                 \
  X(kPackageLockFailed, kStage3, 'f', kNumber, 201, "", true, kFinal)                     \
  X(kNoSpace, kStage3, 'f', kNumber, 202, "", true, kFinal)                               \
  /* the install command (6) */                                                           \
  X(kInstalled, kStage6, 's', kNone, 0, "", true, kNotAFailure)                           \
  X(kRefusedNoKeyStore, kStage6, 'f', kNumber, 1, "", true, kFinal)                       \
  X(kRefusedUnreadable, kStage6, 'f', kNumber, 2, "", true, kFinal)                       \
  X(kRefusedNoFooter, kStage6, 'f', kNumber, 3, "", true, kFinal)                         \
  X(kRefusedMalformed, kStage6, 'f', kNumber, 4, "", true, kFinal)                        \
  X(kRefusedDigestMismatch, kStage6, 'f', kNumber, 5, "", true, kFinal)                   \
  X(kRefusedNoCertificateMatch, kStage6, 'f', kNumber, 6, "", true, kFinal)               \
  X(kRefusedChangedDuringCheck, kStage6, 'f', kNumber, 7, "", true, kFinal)               \
  X(kRefusedOpenToWriters, kStage6, 'f', kNumber, 8, "", true, kFinal)                    \
  X(kRefusedSignatureInvalid, kStage6, 'f', kNumber, 9, "", true, kFinal)                 \
  X(kRefusedNoUpdaterEntry, kStage6, 'f', kNumber, 20, "", true, kFinal)                  \
  X(kRefusedUpdaterNotPlaced, kStage6, 'f', kNumber, 21, "", true, kFinal)                \
  X(kRefusedUnusableEntry, kStage6, 'f', kNumber, 22, "", true, kFinal)                   \
  X(kRefusedNoMetadata, kStage6, 'f', kNumber, 23, "", true, kFinal)                      \
  X(kRefusedNotForThisHandset, kStage6, 'f', kNumber, 24, "", true, kFinal)               \
  X(kRefusedRollback, kStage6, 'f', kNumber, 25, "", true, kFinal)                        \
  X(kUpdaterNotStarted, kStage6, 'f', kNumber, 30, "", true, kFinal)                      \
  X(kUpdaterFailed, kStage6, 'f', kNumber, 31, "", true, kFinal)                          \
  X(kPackageChangedWhileRunning, kStage6, 'f', kNumber, 32, "", true, kFinal)

enum class Line : int {
#define NORVO_LINE_ENUM(name, ...) name,
  NORVO_FRONTEND_LINES(NORVO_LINE_ENUM)
#undef NORVO_LINE_ENUM
      kCount
};

struct LineEntry {
  const char* name;  // the enumerator's name, as the document names it
  unsigned stages;   // kStage* bits
  char letter;
  Detail detail;
  int number;        // kNumber: the number; kText: the libcurl cause of a text line
  const char* text;  // kText: the text; kValue: what the number is
  bool line_feed;
  Retry retry;
};

const LineEntry& Entry(Line line);

// The line's bytes for the event of stage `status`; `value` is the number of a
// kValue line and ignored otherwise.
std::string Encode(Line line, int status, long long value = 0);
// The line as the document's code table shows it: "3:f:122", "N:f:<libcurl code>"
// (N: a first-stage line of 0, 1 or 2), "3:p:<percent>".
std::string Pattern(Line line);

// The line of a failure with result `code` in stage `status`: the named line
// for that code, else the stage's generic one.
Line FailureLine(int status, int code);
// The line that ends the download after giving up on `cause`.
Line FinalLine(int cause);

// Writes one line on the status stream: one write, never interleaved with a
// line of another thread, after whatever stdio still holds for the stream.
// Progress and speed lines are dropped, not waited for, while the reader does
// not read (the next one supersedes them), so that a full pipe never holds the
// transfer; the other lines keep room of their own in the pipe. Those share one
// budget of waiting for a reader (half a second): replies to pause and continue
// may spend only half of it and leave room for the line that ends the task, so
// that queued replies never hold that line, nor a stop. A null stream writes
// nothing.
void Emit(FILE* stream, Line line, int status, long long value = 0);
// Emit(stream, FailureLine(status, code), status, code).
void EmitFailure(FILE* stream, int status, int code);
// True once a status write found the reader gone (or the stream failed).
bool StreamLost(FILE* stream);

}  // namespace frontend_protocol
