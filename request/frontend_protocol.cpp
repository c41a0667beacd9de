#define LOG_TAG "SecureEvent"

#include "request/frontend_protocol.h"

#include <android-base/file.h>
#include <android-base/logging.h>
#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "request/thread_annotations.h"

namespace frontend_protocol {

// The numbers on the wire are libcurl's where a libcurl cause stands behind them.
static_assert(kCauseRedirectUnparsable == CURLE_WEIRD_SERVER_REPLY);
static_assert(kCauseChecksumMismatch == CURLE_BAD_CONTENT_ENCODING);

namespace {

const LineEntry kEntries[] = {
#define NORVO_LINE_ENTRY(name, stages, letter, detail, number, text, line_feed, retry) \
  {#name, stages, letter, Detail::detail, number, text, line_feed, Retry::retry},
    NORVO_FRONTEND_LINES(NORVO_LINE_ENTRY)
#undef NORVO_LINE_ENTRY
};
static_assert(sizeof(kEntries) / sizeof(kEntries[0]) == static_cast<size_t>(Line::kCount));

bool InStages(const LineEntry& entry, int status) {
  return status >= 0 && status < 32 && (entry.stages & (1u << status)) != 0;
}

// Room kept free in a status pipe for the lines a front end must not miss
// (replies, completion, failures, stop): progress lines never take it. An eighth
// of the pipe, so that a small pipe still carries progress.
constexpr int kReservedPipeRoom = 8192;
constexpr int kReservedPipeShare = 8;
// How long the lines that must not be lost may wait, all together, for a reader
// that stopped reading: a stop is obeyed within a second whatever is queued in
// front of its line. The budget is spent by every wait and starts afresh once a
// line finds room. Replies to pause and continue may use only the first part of
// it, so that the line that ends the task (3:c:, a failure, 3:r:s) keeps time of
// its own after any number of replies.
constexpr int kImportantLineBudgetMs = 500;
constexpr int kReplyLineBudgetMs = 250;
// Room replies leave in the pipe for the line that ends the task, so that a front
// end that queued many commands and stopped reading still finds that line.
constexpr int kFinalLineRoom = 64;

enum class LineKind { kProgress, kReply, kFinal };

std::atomic<bool> g_status_lost{false};
// Serialises the status lines of every thread (the transfer and the listener):
// each line leaves whole and in the order its writer took the lock. Besides the
// order of writes on the streams it guards the wait budget below.
Mutex g_status_mutex;
// Time spent waiting for room since a line last found some.
int g_waited_ms GUARDED_BY(g_status_mutex) = 0;

// Free bytes in the pipe behind `fd`, or -1 when it is not a pipe; `reserve`
// gets the room that progress lines leave to the others.
int pipeRoom(int fd, int* reserve) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return -1;
  int size = fcntl(fd, F_GETPIPE_SZ);
  int queued = 0;
  if (size <= 0 || ioctl(fd, FIONREAD, &queued) != 0) return -1;
  *reserve = std::min(kReservedPipeRoom, size / kReservedPipeShare);
  return size - queued;
}

void writeText(FILE* stream, LineKind kind, const std::string& line) {
  const bool droppable = kind == LineKind::kProgress;
  MutexLock lock(g_status_mutex);
  // Anything stdio still holds goes first, so the order of lines stays.
  fflush(stream);
  int fd = fileno(stream);
  if (fd < 0) {
    // A stream without a descriptor (an in-memory one): stdio only.
    fwrite(line.data(), 1, line.size(), stream);
    fflush(stream);
    return;
  }
  int reserve = 0;
  int room = pipeRoom(fd, &reserve);
  int size = static_cast<int>(line.size());
  if (room >= 0) {
    if (droppable && room - size < reserve) return;  // the next report supersedes it
    const int needed = size + (kind == LineKind::kReply ? kFinalLineRoom : 0);
    if (!droppable && room < needed) {
      int budget = kind == LineKind::kReply ? kReplyLineBudgetMs : kImportantLineBudgetMs;
      int wait = std::max(budget - g_waited_ms, 0);
      auto start = std::chrono::steady_clock::now();
      pollfd p{fd, POLLOUT, 0};
      int ready = wait > 0 ? poll(&p, 1, wait) : 0;
      g_waited_ms += static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
      // POLLOUT promises some room, not necessarily what this line needs.
      if (ready <= 0 || pipeRoom(fd, &reserve) < needed) {
        LOG(ERROR) << "the status pipe stays full; line lost: " << line;
        return;
      }
    }
    g_waited_ms = 0;
  }
  if (!android::base::WriteFully(fd, line.data(), line.size()) && errno == EPIPE) {
    g_status_lost = true;
  }
}

// The part of a line after its stage: ":" and the letter, then the detail the
// line carries; `value` stands for a kValue detail.
std::string letterAndDetail(const LineEntry& entry, const std::string& value) {
  std::string text = ":";
  text += entry.letter;
  switch (entry.detail) {
    case Detail::kNone:
      break;
    case Detail::kNumber:
      text += ':' + std::to_string(entry.number);
      break;
    case Detail::kText:
      text += ':' + std::string(entry.text);
      break;
    case Detail::kValue:
      text += ':' + value;
      break;
    case Detail::kTextValue: {
      std::string fixed(entry.text);
      text += ':' + fixed.substr(0, fixed.find(':')) + ':' + value;
      break;
    }
  }
  return text;
}

// What a kValue or kTextValue line's number is, as the document's pattern names it.
std::string valueName(const LineEntry& entry) {
  std::string text(entry.text);
  if (entry.detail == Detail::kTextValue) text = text.substr(text.find(':') + 1);
  return "<" + text + ">";
}

}  // namespace

const LineEntry& Entry(Line line) { return kEntries[static_cast<int>(line)]; }

std::string Encode(Line line, int status, long long value) {
  const LineEntry& entry = Entry(line);
  std::string text = std::to_string(status) + letterAndDetail(entry, std::to_string(value));
  if (entry.line_feed) text += '\n';
  return text;
}

std::string Pattern(Line line) {
  const LineEntry& entry = Entry(line);
  std::string text;
  if (entry.stages == kFirstStage) {
    text = "N";
  } else {
    for (int bit = 0; bit < 32; ++bit) {
      if (entry.stages & (1u << bit)) text = std::to_string(bit);
    }
  }
  return text + letterAndDetail(entry, valueName(entry));
}

Line FailureLine(int status, int code) {
  Line generic = Line::kCount;
  for (int i = 0; i < static_cast<int>(Line::kCount); ++i) {
    const LineEntry& entry = kEntries[i];
    if (entry.letter != 'f' || !InStages(entry, status)) continue;
    if (entry.detail == Detail::kValue) {
      // The stage's generic line (for stage 3 the attempt's, not the final one).
      if (generic == Line::kCount) generic = static_cast<Line>(i);
      continue;
    }
    if (entry.number == code) return static_cast<Line>(i);
  }
  return generic != Line::kCount ? generic : Line::kStepFailed;
}

Line FinalLine(int cause) {
  const int code = kFinalCodeBase + cause;
  for (int i = 0; i < static_cast<int>(Line::kCount); ++i) {
    const LineEntry& entry = kEntries[i];
    if (entry.stages == kStage3 && entry.letter == 'f' && entry.detail == Detail::kNumber &&
        entry.retry == Retry::kFinal && entry.number == code) {
      return static_cast<Line>(i);
    }
  }
  return Line::kGaveUp;
}

void Emit(FILE* stream, Line line, int status, long long value) {
  if (stream == nullptr) return;
  LineKind kind = line == Line::kProgress || line == Line::kSpeed ? LineKind::kProgress
                  : line == Line::kPaused || line == Line::kContinued || line == Line::kRateCap
                      ? LineKind::kReply
                      : LineKind::kFinal;
  writeText(stream, kind, Encode(line, status, value));
}

void EmitFailure(FILE* stream, int status, int code) {
  Emit(stream, FailureLine(status, code), status, code);
}

bool StreamLost(FILE* stream) {
  return g_status_lost.load() || (stream != nullptr && ferror(stream));
}

}  // namespace frontend_protocol
