// Environment name, the guarded whole-file writer and reader, and the standard
// output redirection used by the uploader service.
#define LOG_TAG "secure_mount"

#include "norvotools/norvo-root/secure_mount.h"

#include <android-base/file.h>
#include <android-base/logging.h>
#include <android-base/properties.h>
#include <android-base/unique_fd.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>

#include "norvotools/norvo-root/bounded_read.h"
#include "norvotools/norvo-root/scoped.h"

std::string whichEnvironment() {
  return android::base::GetProperty("ro.bootimage.name", "android");
}

const char kWorkTempPrefix[] = ".norvo-tmp.";

bool is_work_temp_name(const std::string& name) {
  return name.compare(0, sizeof(kWorkTempPrefix) - 1, kWorkTempPrefix) == 0;
}

namespace {

// Regular files hold data; links, FIFOs and sockets in the work area hold none of
// ours and can be removed, while a directory or a device is never touched.
bool is_replaceable(const struct stat& st) {
  return S_ISLNK(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ||
         (S_ISREG(st.st_mode) && st.st_nlink > 1);
}

int refuse_entry(const std::string& path, const struct stat& st) {
  int err = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
  LOG(ERROR) << "refuse to write " << path << ": not a regular file";
  errno = err;
  return -err;
}

int write_all(int fd, const std::string& data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = TEMP_FAILURE_RETRY(write(fd, p, left));
    if (n <= 0) {
      // A zero-length write of a non-empty buffer would loop forever; treat it as
      // running out of space, which is the only way a regular file produces it.
      int err = n == 0 ? ENOSPC : errno;
      errno = err;
      return -err;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return 0;
}

void split_path(const std::string& path, std::string* dir, std::string* name) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    *dir = ".";
    *name = path;
  } else {
    *dir = slash == 0 ? "/" : path.substr(0, slash);
    *name = path.substr(slash + 1);
  }
}

// Durability of a rename: the folder's entry must reach storage too. Best effort:
// some file systems refuse fsync on a folder.
void sync_dir(const std::string& dir) {
  android::base::unique_fd fd(
      TEMP_FAILURE_RETRY(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  if (fd != -1) fsync(fd.get());
}

// Removes the temporary files of `name` in `dir` that a killed writer left: those
// of a process that is gone, and those carrying this process's own id (a new
// process may get the id of a killed one, and this one has none in flight).
// Bounded: the folder is read once, at most 4096 entries.
void sweep_stale_temps(const std::string& dir, const std::string& name) {
  std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(dir.c_str()), closedir);
  if (listing == nullptr) return;
  const std::string prefix = std::string(kWorkTempPrefix) + name + ".";
  const pid_t self = getpid();
  int seen = 0;
  while (dirent* entry = readdir(listing.get())) {
    if (++seen > 4096) break;
    std::string entry_name = entry->d_name;
    if (entry_name.compare(0, prefix.size(), prefix) != 0) continue;
    pid_t owner = static_cast<pid_t>(atoi(entry_name.c_str() + prefix.size()));
    if (owner > 0 && owner != self && (kill(owner, 0) == 0 || errno != ESRCH)) continue;
    unlinkat(dirfd(listing.get()), entry_name.c_str(), 0);
  }
}

}  // namespace

int open_work_file(const std::string& path, int flags, mode_t mode, android::base::unique_fd* out) {
  const int access = flags & O_ACCMODE;
  // Two rounds: one to clear what was planted, one in case it was planted again
  // between the removal and the open.
  for (int round = 0; round < 3; ++round) {
    struct stat st;
    bool present = lstat(path.c_str(), &st) == 0;
    if (present && !S_ISREG(st.st_mode) && !is_replaceable(st)) return refuse_entry(path, st);
    if (present && is_replaceable(st)) {
      LOG(WARNING) << "replace " << (S_ISLNK(st.st_mode) ? "the link" : "the special file")
                   << " at " << path;
      if (unlink(path.c_str()) != 0 && errno != ENOENT) return -errno;
    }
    // O_NONBLOCK: opening a FIFO planted after the check must not wait for a reader.
    android::base::unique_fd fd(TEMP_FAILURE_RETRY(
        open(path.c_str(),
             access | (flags & O_APPEND) | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode)));
    if (fd == -1) {
      if (errno == ELOOP || errno == ENXIO) continue;  // raced with a new plant
      return -errno;
    }
    if (fstat(fd.get(), &st) != 0) return -errno;
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1) continue;
    int fl = fcntl(fd.get(), F_GETFL);
    if (fl == -1 || fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) == -1) return -errno;
    // Truncating only now: O_TRUNC on whatever the path held before the check
    // would have acted on it.
    if ((flags & O_TRUNC) && ftruncate(fd.get(), 0) != 0) return -errno;
    *out = std::move(fd);
    return 0;
  }
  LOG(ERROR) << "refuse to write " << path << ": replaced again while opening";
  errno = ELOOP;
  return -ELOOP;
}

int read_record_fd(int fd, size_t max, std::string* out) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -errno;
  int err = 0;
  if (S_ISDIR(st.st_mode)) {
    err = EISDIR;
  } else if (!S_ISREG(st.st_mode)) {
    err = EINVAL;
  } else if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > max) {
    err = EFBIG;
  }
  if (err != 0) {
    errno = err;
    return -err;
  }
  // The size may change while reading; the read stops one byte past `max`.
  return read_bounded(fd, max, out);
}

int read_record_file(const std::string& path, size_t max, std::string* out) {
  android::base::unique_fd fd(
      TEMP_FAILURE_RETRY(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)));
  if (fd == -1) return -errno;
  return read_record_fd(fd.get(), max, out);
}

int create_file_and_writedata(const std::string& path, const std::string& data) {
  if (!allowcreate(path)) {
    // Refusing is policy, not failure: callers carry on as if it was written.
    LOG(ERROR) << "copy " << path << " only in test-keys";
    return 0;
  }

  android::base::unique_fd fd;
  int rc = open_work_file(path, O_WRONLY | O_TRUNC, 0644, &fd);
  if (rc != 0) {
    int err = -rc;
    LOG(ERROR) << "failed to open file " << path << "(" << err << ")" << strerror(err);
    errno = err;
    return rc;
  }
  rc = write_all(fd.get(), data);
  if (rc != 0) {
    int err = -rc;
    LOG(ERROR) << "failed to write data " << err << strerror(err);
    errno = err;
    return rc;
  }
  return 0;
}

int write_file_atomically(const std::string& path, const std::string& data) {
  if (!allowcreate(path)) {
    LOG(ERROR) << "copy " << path << " only in test-keys";
    return 0;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !is_replaceable(st)) {
    return refuse_entry(path, st);
  }
  std::string dir, name;
  split_path(path, &dir, &name);
  sweep_stale_temps(dir, name);
  std::string tmp = dir + "/" + kWorkTempPrefix + name + "." + std::to_string(getpid()) + ".XXXXXX";
  // mkostemp creates with O_EXCL, which never follows a link.
  android::base::unique_fd fd(TEMP_FAILURE_RETRY(mkostemp(&tmp[0], O_CLOEXEC)));
  if (fd == -1) {
    int err = errno;
    LOG(ERROR) << "failed to create a temporary file for " << path << ": " << strerror(err);
    errno = err;
    return -err;
  }
  int rc = 0;
  const char* step = "write";
  if (fchmod(fd.get(), 0644) != 0) {
    rc = -errno;
  } else if ((rc = write_all(fd.get(), data)) != 0) {
  } else if (fsync(fd.get()) != 0) {
    rc = -errno;
    step = "sync";
  } else if (close(fd.release()) != 0) {
    rc = -errno;
    step = "close";
  } else if (rename(tmp.c_str(), path.c_str()) != 0) {
    rc = -errno;
    step = "rename";
  }
  if (rc != 0) {
    LOG(ERROR) << "failed to " << step << " " << path << ": " << strerror(-rc);
    unlink(tmp.c_str());
    errno = -rc;
    return rc;
  }
  sync_dir(dir);
  return 0;
}

int replace_symlink_atomically(const std::string& target, const std::string& link) {
  std::string dir, name;
  split_path(link, &dir, &name);
  // Unique within the process; a name left by an earlier, killed process is
  // removed first (it can only be one of our own temporary links).
  static std::atomic<unsigned> counter{0};
  const std::string tmp = dir + "/" + kWorkTempPrefix + name + "." + std::to_string(getpid()) +
                          "." + std::to_string(counter++);
  unlink(tmp.c_str());
  if (symlink(target.c_str(), tmp.c_str()) != 0) return -errno;
  if (rename(tmp.c_str(), link.c_str()) != 0) {
    int err = errno;
    unlink(tmp.c_str());
    errno = err;
    return -err;
  }
  sync_dir(dir);
  return 0;
}

int ensure_work_dir(const std::string& path, mode_t mode) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return 0;
    LOG(WARNING) << "replace " << (S_ISLNK(st.st_mode) ? "the link" : "the file") << " at " << path
                 << " with a folder";
    if (unlink(path.c_str()) != 0) return -errno;
  }
  if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return -errno;
  if (lstat(path.c_str(), &st) != 0) return -errno;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return -ENOTDIR;
  }
  return 0;
}

int create_file_and_writedata(const std::string& dir, const std::string& name,
                              const std::string& data) {
  return create_file_and_writedata(dir + "/" + name, data);
}

std::string open_file_and_readdata(const std::string& path) {
  // Non-blocking: a FIFO in place of the file must not stop the agent; it is
  // then refused as not being a regular file.
  android::base::unique_fd fd(
      TEMP_FAILURE_RETRY(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)));
  if (fd == -1) {
    int err = errno;
    LOG(ERROR) << "failed to open file" << path << "(" << err << ")" << strerror(err);
    return "";
  }
  std::string content;
  if (int rc = read_record_fd(fd.get(), kAnswerFileMax, &content); rc != 0) {
    int err = -rc;
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

// Opens the log for appending, refusing anything but a regular file: a FIFO
// there would block the open until some reader appears, and a device or a
// folder is not a log. The open itself never blocks.
FILE* open_log_file(const char* path) {
  android::base::unique_fd fd(
      TEMP_FAILURE_RETRY(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666)));
  if (fd == -1) return nullptr;
  struct stat st;
  if (fstat(fd.get(), &st) == -1 || !S_ISREG(st.st_mode)) return nullptr;
  int flags = fcntl(fd.get(), F_GETFL);
  if (flags == -1 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) == -1) return nullptr;
  return StreamOver(fd, "ae").release();
}

// The forked log writer: copies the pipe to `path` line by line with the time
// since `start`, until every writer of the pipe is gone. Tells the parent over
// `ready_fd` (one byte) once the log is open; closing it unwritten means there
// is no log and the parent keeps its own output. Never returns.
[[noreturn]] void run_log_writer(const char* path, int read_fd, int write_fd, int ready_fd) {
  LOG(INFO) << "================================================== Start logging \"" << path
            << "\" [" << getpid() << "]...";
  close(write_fd);

  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);

  FILE* pipe_in = nullptr;
  FILE* log_fp = open_log_file(path);
  if (log_fp == nullptr) {
    printf("fopen \"%s\" failed", path);
  } else if ((pipe_in = fdopen(read_fd, "r")) == nullptr) {
    printf("fdopen failed");
    check_and_fclose(log_fp, path);
  } else {
    const char ok = 1;
    // A parent that cannot hear this falls back to its console; the writer
    // then reads end of input at once.
    (void)TEMP_FAILURE_RETRY(write(ready_fd, &ok, 1));
    close(ready_fd);
    ready_fd = -1;
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
  // lost whenever the inherited standard output is a pipe or a file. The flush
  // also comes before the parent learns (from ready_fd closing) that there is
  // no log, so the failure text precedes the parent's next console line.
  fflush(stdout);
  _exit(1);
}

// Without a log writer the streams go straight to the file, unstamped. The
// file is opened before anything is replaced, so a log that cannot be opened
// leaves the console in place instead of closing it.
void append_streams_to(const char* path) {
  android::base::unique_fd fd(
      TEMP_FAILURE_RETRY(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666)));
  if (fd == -1) return;
  fflush(stdout);
  fflush(stderr);
  if (dup2(fd.get(), STDOUT_FILENO) != -1) setvbuf(stdout, nullptr, _IONBF, 0);
  if (dup2(fd.get(), STDERR_FILENO) != -1) setvbuf(stderr, nullptr, _IONBF, 0);
}

}  // namespace

void redirect_stdio(const char* path) {
  int fds[2];
  int ready[2];
  if (pipe(fds) == -1) {
    printf("pipe failed");
    append_streams_to(path);
    return;
  }
  if (pipe2(ready, O_CLOEXEC) == -1) {
    printf("pipe failed");
    close(fds[0]);
    close(fds[1]);
    append_streams_to(path);
    return;
  }
  // Pending output belongs to the parent; flushing it now keeps the child
  // from writing a second copy when it flushes its own stdout.
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == -1) {
    printf("fork failed");
    for (int fd : {fds[0], fds[1], ready[0], ready[1]}) close(fd);
    append_streams_to(path);
    return;
  }
  if (pid == 0) {
    close(ready[0]);
    run_log_writer(path, fds[0], fds[1], ready[1]);
  }
  close(fds[0]);
  close(ready[1]);
  android::base::unique_fd write_end(fds[1]);
  android::base::unique_fd ready_in(ready[0]);

  // Only a writer that holds its log gets our output: one that could not open
  // it is about to exit, and output sent its way would be lost (and, with the
  // default action of SIGPIPE, would end this process).
  char answer = 0;
  if (TEMP_FAILURE_RETRY(read(ready_in.get(), &answer, 1)) != 1) {
    TEMP_FAILURE_RETRY(waitpid(pid, nullptr, 0));
    return;
  }
  // The writer may still go away later (killed, out of memory): its lines are
  // then dropped with EPIPE instead of the process being killed.
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
  if (dup2(write_end.get(), STDOUT_FILENO) == -1) {
    printf("dup2 stdout failed");
  }
  if (dup2(write_end.get(), STDERR_FILENO) == -1) {
    printf("dup2 stderr failed");
  }
}
