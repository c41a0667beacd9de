// Environment name, the guarded whole-file writer and reader, and the standard
// output redirection used by the uploader service.
#define LOG_TAG "secure_mount"

#include "norvotools/norvo-root/secure_mount.h"

#include <android-base/file.h>
#include <android-base/logging.h>
#include <android-base/properties.h>
#include <android-base/unique_fd.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

std::string whichEnvironment() {
  return android::base::GetProperty("ro.bootimage.name", "android");
}

int create_file_and_writedata(const std::string& path, const std::string& data) {
  if (!allowcreate(path)) {
    // Refusing is policy, not failure: callers carry on as if it was written.
    LOG(ERROR) << "copy " << path << " only in test-keys";
    return 0;
  }

  android::base::unique_fd fd(
      TEMP_FAILURE_RETRY(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)));
  if (fd == -1) {
    int err = errno;
    LOG(ERROR) << "failed to open file " << path << "(" << err << ")" << strerror(err);
    return -err;
  }

  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = TEMP_FAILURE_RETRY(write(fd.get(), p, left));
    if (n <= 0) {
      // A zero-length write of a non-empty buffer would loop forever; treat it as
      // running out of space, which is the only way a regular file produces it.
      int err = n == 0 ? ENOSPC : errno;
      LOG(ERROR) << "failed to write data " << err << strerror(err);
      errno = err;
      return -err;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return 0;
}

int create_file_and_writedata(const std::string& dir, const std::string& name,
                              const std::string& data) {
  return create_file_and_writedata(dir + "/" + name, data);
}

std::string open_file_and_readdata(const std::string& path) {
  android::base::unique_fd fd(TEMP_FAILURE_RETRY(open(path.c_str(), O_RDONLY | O_CLOEXEC)));
  if (fd == -1) {
    int err = errno;
    LOG(ERROR) << "failed to open file" << path << "(" << err << ")" << strerror(err);
    return "";
  }
  std::string content;
  if (!android::base::ReadFdToString(fd.get(), &content)) {
    int err = errno;
    LOG(ERROR) << "failed to read data " << err << strerror(err);
    errno = err;
    return "";
  }
  return content;
}

void check_and_fclose(FILE* fp, const char* name) {
  fflush(fp);
  if (fsync(fileno(fp)) == -1) {
    printf("Failed to fsync %s\n", name);
  }
  if (ferror(fp)) {
    printf("Error in %s", name);
  }
  fclose(fp);
}

namespace {

double seconds_since(const struct timespec& start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t ns = (static_cast<int64_t>(now.tv_sec) - start.tv_sec) * 1000000000LL +
               (static_cast<int64_t>(now.tv_nsec) - start.tv_nsec);
  return static_cast<double>(ns) / 1e9;
}

// The forked log writer: copies the pipe to `path` line by line with the time
// since `start`, until every writer of the pipe is gone. Never returns.
[[noreturn]] void run_log_writer(const char* path, int read_fd, int write_fd) {
  LOG(INFO) << "================================================== Start logging \"" << path
            << "\" [" << getpid() << "]...";
  close(write_fd);

  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);

  FILE* pipe_in = nullptr;
  FILE* log_fp = fopen(path, "ae");
  if (log_fp == nullptr) {
    printf("fopen \"%s\" failed", path);
  } else if ((pipe_in = fdopen(read_fd, "r")) == nullptr) {
    printf("fdopen failed");
    check_and_fclose(log_fp, path);
  } else {
    char* line = nullptr;
    size_t cap = 0;
    while (getline(&line, &cap, pipe_in) != -1) {
      double t = seconds_since(start);
      if (strcmp(line, "\n") == 0) {
        fprintf(log_fp, "[%12.6lf]\n", t);
      } else {
        fprintf(log_fp, "[%12.6lf] %s", t, line);
      }
      fflush(log_fp);
    }
    printf("getline failed");
    free(line);
    check_and_fclose(log_fp, path);
  }

  if (pipe_in != nullptr) {
    fclose(pipe_in);
  } else {
    close(read_fd);
  }
  // _exit skips stdio flushing; without this the failure texts above would be
  // lost whenever the inherited standard output is a pipe or a file.
  fflush(stdout);
  _exit(1);
}

}  // namespace

void redirect_stdio(const char* path) {
  int fds[2];
  bool redirected = false;
  if (pipe(fds) == -1) {
    printf("pipe failed");
  } else {
    // Pending output belongs to the parent; flushing it now keeps the child
    // from writing a second copy when it flushes its own stdout.
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == -1) {
      printf("fork failed");
      close(fds[0]);
      close(fds[1]);
    } else if (pid == 0) {
      run_log_writer(path, fds[0], fds[1]);
    } else {
      close(fds[0]);
      setvbuf(stdout, nullptr, _IONBF, 0);
      setvbuf(stderr, nullptr, _IONBF, 0);
      if (dup2(fds[1], STDOUT_FILENO) == -1) {
        printf("dup2 stdout failed");
      }
      if (dup2(fds[1], STDERR_FILENO) == -1) {
        printf("dup2 stderr failed");
      }
      close(fds[1]);
      redirected = true;
    }
  }
  if (redirected) return;

  // Without a log writer the streams go straight to the file, unstamped.
  if (freopen(path, "a", stdout) != nullptr) setvbuf(stdout, nullptr, _IONBF, 0);
  if (freopen(path, "a", stderr) != nullptr) setvbuf(stderr, nullptr, _IONBF, 0);
}
