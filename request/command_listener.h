// The download's command listener: a thread that reads pause, continue and stop
// commands from the front end's command stream, queues pause and continue for the
// transfer thread to apply, and turns a stop into the process-wide stop value, a
// wake-up for any wait in progress and a descriptor that name resolution watches.
#pragma once

#include <android-base/unique_fd.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <string>
#include <thread>

#include "request/thread_annotations.h"

// Set to 42 by a stop command; every progress callback returns it, so libcurl
// aborts the running transfer with CURLE_ABORTED_BY_CALLBACK (also 42).
extern std::atomic<int> stopCode;
constexpr int kStopCode = 42;

// First byte of a command line: 'c', 'p', 's', 'l' (a speed cap), or 0 for an
// invalid command.
char parse_command(const std::string& line);

// A speed cap command as the listener took it: the cap it asks for, or a line
// that is no cap (the reply then names the cap still in force).
struct CapRequest {
  bool readable = false;
  uint64_t cap = 0;  // bytes per second, 0: none (bounded by rate_cap.h)
  std::string line;  // as received, for the warning of a line that is no cap
};

class CommandListener {
 public:
  CommandListener() = default;
  CommandListener(const CommandListener&) = delete;
  CommandListener& operator=(const CommandListener&) = delete;
  ~CommandListener() { stop(); }

  // Starts reading `fd` (borrowed; it must outlive the listener) on a thread of
  // its own. Called on the transfer thread; false when the thread cannot start.
  bool start(int fd);
  // Ends the thread and waits for it. Safe to call twice.
  void stop();
  bool running() const { return thread_.joinable(); }

  bool stopRequested() const;
  // A descriptor that becomes readable, and stays so, once a stop was received;
  // -1 while the listener is not running.
  int stopFd() const { return stop_read_.get(); }
  // A descriptor that becomes readable when a command arrives (pause, continue
  // or stop), for the transfer's own wait; -1 while the listener is not running.
  int commandFd() const { return notify_read_.get(); }
  // Makes commandFd() unreadable until the next command; the requests stay queued.
  void clearCommandFd();
  // The pause ('p') and continue ('c') requests received since the last call, in order.
  std::deque<char> takeRequests();
  // The speed cap requests received since the last call, in order (the newest
  // kMaxCapRequests: a front end that floods the pipe gets the last ones answered).
  std::deque<CapRequest> takeCapRequests();
  static constexpr size_t kMaxCapRequests = 32;
  // Waits `delay`; false when a stop arrived before or during the wait.
  bool waitUnlessStopped(std::chrono::milliseconds delay);
  // Waits up to `delay` for a stop or a speed cap request: which came first.
  enum class Wake { kTimeout, kStop, kCap };
  Wake waitForStopOrCap(std::chrono::milliseconds delay);

  // One command line; true when the listener should end. Runs on the listener
  // thread; tests call it directly.
  bool handleLine(const std::string& line);

 private:
  void loop(int fd);
  void notify();

  // Shared by the listener thread and the transfer thread.
  mutable Mutex mutex_;
  std::condition_variable_any wake_;  // signalled when a stop or a speed cap arrives
  std::deque<char> requests_ GUARDED_BY(mutex_);
  std::deque<CapRequest> caps_ GUARDED_BY(mutex_);
  bool stop_requested_ GUARDED_BY(mutex_) = false;

  // Owned by the transfer thread. The pipes are made before the listener thread
  // starts and closed after it was joined; in between the listener only reads
  // wake_read_ and writes stop_write_ and notify_write_, which do not change.
  std::thread thread_;
  android::base::unique_fd wake_read_, wake_write_;      // ends the thread
  android::base::unique_fd stop_read_, stop_write_;      // tells others of a stop
  android::base::unique_fd notify_read_, notify_write_;  // wakes the transfer
};
