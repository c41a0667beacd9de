#define LOG_TAG "ROMDOWNLOAD"

#include "request/command_listener.h"

#include <android-base/logging.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <system_error>

#include "request/rate_cap.h"

std::atomic<int> stopCode{0};

namespace {
// fgets() with a 1024-byte buffer hands out at most 1023 characters per line.
constexpr size_t kMaxCommandLine = 1023;

bool makePipe(android::base::unique_fd* read_end, android::base::unique_fd* write_end) {
  int fds[2];
  // Non-blocking: neither a reader draining it nor a writer of a wake-up may stall.
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  read_end->reset(fds[0]);
  write_end->reset(fds[1]);
  return true;
}
}  // namespace

char parse_command(const std::string& line) {
  if (line.empty()) return 0;
  char first = line[0];
  return first == 'c' || first == 'p' || first == 's' || first == 'l' ? first : 0;
}

bool CommandListener::start(int fd) {
  if (thread_.joinable() || fd < 0) return thread_.joinable();
  if (!makePipe(&wake_read_, &wake_write_) || !makePipe(&stop_read_, &stop_write_) ||
      !makePipe(&notify_read_, &notify_write_)) {
    PLOG(ERROR) << "cannot make the listener's pipes";
    return false;
  }
  {
    MutexLock lock(mutex_);
    stop_requested_ = false;
    requests_.clear();
    caps_.clear();
  }
  try {
    thread_ = std::thread(&CommandListener::loop, this, fd);
  } catch (const std::system_error& error) {
    LOG(ERROR) << "cannot start the command listener: " << error.what();
    return false;
  }
  return true;
}

void CommandListener::stop() {
  if (thread_.joinable()) {
    char byte = 0;
    if (TEMP_FAILURE_RETRY(write(wake_write_.get(), &byte, 1)) != 1) {
      PLOG(ERROR) << "cannot wake the command listener";
    }
    thread_.join();
  }
  wake_read_.reset();
  wake_write_.reset();
  stop_read_.reset();
  stop_write_.reset();
  notify_read_.reset();
  notify_write_.reset();
}

void CommandListener::notify() {
  // One byte is enough to wake the transfer; a full pipe already does.
  if (notify_write_ >= 0) {
    char byte = 1;
    (void)TEMP_FAILURE_RETRY(write(notify_write_.get(), &byte, 1));
  }
}

bool CommandListener::stopRequested() const {
  MutexLock lock(mutex_);
  return stop_requested_;
}

void CommandListener::clearCommandFd() {
  if (notify_read_ < 0) return;
  char drain[64];
  while (TEMP_FAILURE_RETRY(read(notify_read_.get(), drain, sizeof(drain))) > 0) {
  }
}

std::deque<char> CommandListener::takeRequests() {
  std::deque<char> todo;
  MutexLock lock(mutex_);
  todo.swap(requests_);
  return todo;
}

std::deque<CapRequest> CommandListener::takeCapRequests() {
  std::deque<CapRequest> todo;
  MutexLock lock(mutex_);
  todo.swap(caps_);
  return todo;
}

bool CommandListener::waitUnlessStopped(std::chrono::milliseconds delay) {
  MutexLock lock(mutex_);
  // The wait releases mutex_ and takes it back before each look at the flag.
  return !wake_.wait_for(mutex_, delay, [this]() REQUIRES(mutex_) { return stop_requested_; });
}

CommandListener::Wake CommandListener::waitForStopOrCap(std::chrono::milliseconds delay) {
  MutexLock lock(mutex_);
  wake_.wait_for(mutex_, delay,
                 [this]() REQUIRES(mutex_) { return stop_requested_ || !caps_.empty(); });
  if (stop_requested_) return Wake::kStop;
  return caps_.empty() ? Wake::kTimeout : Wake::kCap;
}

bool CommandListener::handleLine(const std::string& line) {
  LOG(ERROR) << "---->receive command: " << line;
  char command = parse_command(line);
  if (command == 'c' || command == 'p') {
    {
      MutexLock lock(mutex_);
      requests_.push_back(command);
    }
    notify();
    return false;
  }
  if (command == 'l') {
    CapRequest request;
    request.readable = parse_rate_cap_command(line, &request.cap);
    request.line = line;
    {
      MutexLock lock(mutex_);
      if (caps_.size() >= kMaxCapRequests) caps_.pop_front();
      caps_.push_back(std::move(request));
    }
    wake_.notify_all();
    notify();
    return false;
  }
  if (command == 's') {
    stopCode = kStopCode;
    {
      MutexLock lock(mutex_);
      stop_requested_ = true;
    }
    wake_.notify_all();
    notify();
    if (stop_write_ >= 0) {
      char byte = 's';
      if (TEMP_FAILURE_RETRY(write(stop_write_.get(), &byte, 1)) != 1) {
        PLOG(ERROR) << "cannot signal the stop";
      }
    }
    return true;
  }
  LOG(WARNING) << "RomDownload INVALID COMMAND: " << line;
  return false;
}

void CommandListener::loop(int fd) {
  std::string pending;
  char buffer[1024];
  for (;;) {
    for (;;) {
      size_t end = pending.find('\n');
      std::string line;
      if (end != std::string::npos && end < kMaxCommandLine) {
        line = pending.substr(0, end);
        pending.erase(0, end + 1);
      } else if (pending.size() >= kMaxCommandLine) {
        line = pending.substr(0, kMaxCommandLine);
        pending.erase(0, kMaxCommandLine);
      } else {
        break;
      }
      if (handleLine(line)) return;
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
    int ready = poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      PLOG(ERROR) << "command listener";
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents == 0) continue;
    ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      // End of stream: a last line without a line feed still counts.
      if (!pending.empty()) handleLine(pending);
      return;
    }
    pending.append(buffer, static_cast<size_t>(got));
  }
}
