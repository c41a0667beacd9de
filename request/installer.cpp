// The installer bridge: runs the package's own updater program and relays the
// lines it writes on its command pipe into the log.
#define LOG_TAG "DownloadTask"

#include "request/private/installer.h"

#include <android-base/logging.h>
#include <android-base/parsedouble.h>
#include <android-base/strings.h>
#include <android-base/unique_fd.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "norvo_config.h"
#include "norvotools/norvo-root/scoped.h"
#include "request/download_task.h"
#include "request/frontend_protocol.h"
#include "request/install_gate.h"
#include "request/install_view.h"
#include "request/package_verify.h"
#include "request/sealed_file.h"

using frontend_protocol::Line;

namespace {

constexpr char kUpdaterPath[] = "/tmp/update-binary";
constexpr char kPackagePath[] = "/tmp/secure_update.zip";
// How often the relay looks whether the updater has exited, and how long it
// still relays after that (a process the updater left may hold the pipe open).
constexpr std::chrono::milliseconds kExitPoll{100};
constexpr std::chrono::milliseconds kDrainAfterExit{2000};

// A duration: decimal, or hexadecimal with a "0x" prefix, that fits in 32 bits.
bool parseDuration(const std::string& text) {
  std::string digits = text;
  bool negative = !digits.empty() && (digits[0] == '-' || digits[0] == '+');
  if (negative) digits.erase(0, 1);
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.erase(0, 2);
  }
  if (digits.empty() || digits.size() > 10) return false;
  const char* allowed = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
  if (digits.find_first_not_of(allowed) != std::string::npos) return false;
  unsigned long long value = strtoull(digits.c_str(), nullptr, base);
  return value <= 0xffffffffULL;
}

// What the install runs and the package it runs on, both fixed by the check:
// the updater is a sealed memory copy of the entry's hashed bytes, and the
// package descriptor that was verified stays open until the updater exits.
struct Prepared {
  android::base::unique_fd package;
  android::base::unique_fd updater;
  struct stat checked {};
};

// The entries the install takes from the verified bytes.
const std::vector<std::string>& installEntries() {
  static const std::vector<std::string> entries = {package_verify::kUpdaterEntry,
                                                   package_verify::kMetadataEntry};
  return entries;
}

// The install gate: the verified package's metadata, taken from the hashed
// bytes like the updater, against this handset. kInstalled when it fits;
// otherwise (after an ERROR line that names the key, the package's value and
// the handset's) the refusal's line: not for this handset, this build, or a
// rollback.
Line package_fits_handset(const package_verify::VerifiedPackage& verified) {
  const std::string* metadata = verified.text(package_verify::kMetadataEntry);
  if (metadata == nullptr) {
    LOG(ERROR) << "package rejected: no " << package_verify::kMetadataEntry << " in the package";
    return Line::kRefusedNoMetadata;
  }
  install_gate::Verdict verdict;
  install_gate::Status fit =
      install_gate::Check(*metadata, install_gate::SystemProperties(), &verdict);
  if (!fit.ok()) {
    LOG(ERROR) << "package rejected: " << fit.reason;
    return InstallResultLine(fit);
  }
  LOG(INFO) << "package fits this handset: device " << verdict.device << ", build time "
            << verdict.package_time << " (this build's " << verdict.handset_time << ")";
  if (verdict.downgrade) {
    LOG(WARNING) << "package is older than this build: a downgrade that ota-downgrade=yes "
                    "allows from this build";
  }
  return Line::kInstalled;
}

// After a refusal nothing may be left ready to run as if it had been verified,
// such as an updater a front end took out of the package beforehand.
void remove_unverified_updater() {
  if (unlink(kUpdaterPath) == 0) {
    LOG(WARNING) << kUpdaterPath << " removed: it is not the updater of a verified package";
  }
}

void reject(const package_verify::Status& status) {
  LOG(ERROR) << "package rejected: " << package_verify::ResultText(status.code) << ": "
             << status.reason;
}

// Verifies the package's whole-file signature and takes its own updater out of
// the bytes that were hashed. kInstalled when the updater may run; otherwise
// (after an ERROR line that says why) the refusal's line.
Line prepare_verified_updater(Prepared* out) {
  using namespace package_verify;
  std::vector<PublicKey> keys;
  Status result = LoadKeyStore(kKeyStorePath, &keys);
  if (!result.ok()) {
    reject(result);
    return InstallResultLine(result);
  }
  android::base::unique_fd package(
      TEMP_FAILURE_RETRY(open(kPackagePath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)));
  if (package < 0) {
    PLOG(ERROR) << "package rejected: " << ResultText(Result::kUnreadable) << ": " << kPackagePath;
    return InstallResultLine(Result::kUnreadable);
  }
  // The updater reopens the package by its path: only a file nobody else can
  // change may be handed to it.
  struct stat st;
  if (fstat(package.get(), &st) != 0) {
    PLOG(ERROR) << "package rejected: " << ResultText(Result::kUnreadable) << ": " << kPackagePath;
    return InstallResultLine(Result::kUnreadable);
  }
  result = CheckPackageFile(st, geteuid());
  if (!result.ok()) {
    reject(result);
    return InstallResultLine(result);
  }
  VerifiedPackage verified;
  result = VerifyPackageFd(package.get(), keys, installEntries(), &verified);
  if (!result.ok()) {
    reject(result);
    return InstallResultLine(result);
  }
  LOG(INFO) << "package signature verified";
  LOG(INFO) << "signed by the key store's " << verified.signer;
  Line fits = package_fits_handset(verified);
  if (fits != Line::kInstalled) return fits;
  auto entry = verified.entries.find(kUpdaterEntry);
  if (entry == verified.entries.end()) {
    LOG(ERROR) << "package rejected: no " << kUpdaterEntry << " in the package";
    return Line::kRefusedNoUpdaterEntry;
  }
  // Front ends and people look for the updater at its old place; the file is
  // kept up to date there, but what runs is the sealed copy.
  struct stat old;
  bool existed = lstat(kUpdaterPath, &old) == 0;
  bool replaced = false;
  std::string why;
  if (!InstallUpdater(entry->second.sealed.get(), kUpdaterPath, &replaced, &why)) {
    LOG(ERROR) << "package rejected: " << why;
    return Line::kRefusedUpdaterNotPlaced;
  }
  // Writing the updater where there was none is every install's own step; one
  // that was there and differed was put there by someone else.
  if (replaced && existed) {
    LOG(ERROR) << kUpdaterPath << " was missing or differed from the verified package's "
               << kUpdaterEntry << "; the package's own updater was written there";
  } else if (replaced) {
    LOG(INFO) << kUpdaterPath << " written from the verified package's " << kUpdaterEntry;
  }
  out->package = std::move(package);
  out->updater = std::move(entry->second.sealed);
  out->checked = verified.checked;
  return Line::kInstalled;
}

// Right before the start: the path still names the verified file, unchanged
// and still closed to other writers. kInstalled when it does; otherwise (after
// the refusal's ERROR line) the refusal's line.
Line package_still_checked(const Prepared& prepared) {
  using namespace package_verify;
  struct stat at_path, held;
  std::string why;
  if (lstat(kPackagePath, &at_path) != 0) {
    why = std::string("its name is gone: ") + strerror(errno);
  } else if (fstat(prepared.package.get(), &held) != 0) {
    why = strerror(errno);
  } else {
    Status same = SameAsChecked(prepared.checked, at_path);
    if (same.ok()) same = SameAsChecked(prepared.checked, held);
    if (same.ok()) {
      Status result = CheckPackageFile(held, geteuid());
      if (!result.ok()) reject(result);
      return InstallResultLine(result);
    }
    why = same.reason;
  }
  Status changed(Result::kChangedDuringCheck, "after the check " + why);
  reject(changed);
  return InstallResultLine(changed);
}

// What the updater's process reports before its exec: the view of /tmp it got.
constexpr char kViewPrivate = 'P';
constexpr char kViewShared = 'S';
constexpr char kViewChanged = 'C';
constexpr char kViewBroken = 'B';

// In the updater's process: a private /tmp where it can be had (see
// install_view.h), and one log line that says which view the updater got.
char enter_updater_view(const Prepared& prepared) {
  if (prepared.package < 0) {
    LOG(WARNING) << "no verified package: the updater shares /tmp";
    return kViewShared;
  }
  std::string why;
  switch (install_view::EnterPrivateTmp(prepared.package.get(), prepared.updater.get(),
                                        install_view::Paths(), &why)) {
    case install_view::View::kPrivate:
      LOG(INFO) << "the updater runs with a private /tmp: " << kPackagePath
                << " is the verified file, read-only";
      return kViewPrivate;
    case install_view::View::kShared:
      LOG(WARNING) << "the updater shares /tmp (" << why << "): only the checks before and "
                   << "after it guard " << kPackagePath;
      return kViewShared;
    case install_view::View::kChanged:
      LOG(ERROR) << "package rejected: "
                 << package_verify::ResultText(package_verify::Result::kChangedDuringCheck)
                 << ": at the start " << why;
      return kViewChanged;
    case install_view::View::kBroken:
      LOG(ERROR) << "cannot start " << kUpdaterPath << ": " << why;
      return kViewBroken;
  }
  return kViewBroken;
}

// Relays the updater's lines until it has exited and its pipe is empty. A process
// the updater left behind may hold the pipe open for ever: once the updater has
// exited, what still comes is relayed for kDrainAfterExit at most, then the
// result is written. False when the updater could not be waited for.
bool relay_until_exit(int fd, pid_t pid, int* status) {
  UpdaterLines lines;
  bool exited = false;
  bool open = true;
  auto drain_deadline = std::chrono::steady_clock::time_point::max();
  char buffer[kLineBuffer];
  while (open) {
    int timeout_ms = static_cast<int>(kExitPoll.count());
    if (exited) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          drain_deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        LOG(WARNING) << kUpdaterPath << " exited, but a process it left still holds its "
                     << "command pipe; its result is written without waiting for it";
        break;
      }
      timeout_ms = static_cast<int>(std::min(left, kExitPoll).count());
    }
    struct pollfd pfd = {fd, POLLIN, 0};
    int ready = poll(&pfd, 1, timeout_ms);
    if (ready < 0 && errno != EINTR) {
      PLOG(ERROR) << "cannot read the updater's command pipe";
      break;
    }
    if (ready > 0) {
      ssize_t n = TEMP_FAILURE_RETRY(read(fd, buffer, sizeof(buffer)));
      if (n > 0) {
        lines.feed(buffer, static_cast<size_t>(n), handle_updater_line);
      } else {
        if (n < 0) PLOG(ERROR) << "cannot read the updater's command pipe";
        open = false;  // every writer has closed it
      }
    }
    if (!exited) {
      pid_t reaped = waitpid(pid, status, WNOHANG);
      if (reaped == pid) {
        exited = true;
        drain_deadline = std::chrono::steady_clock::now() + kDrainAfterExit;
      } else if (reaped < 0 && errno != EINTR) {
        PLOG(ERROR) << "cannot wait for " << kUpdaterPath;
        return false;
      }
    }
  }
  lines.finish(handle_updater_line);
  if (exited) return true;
  // The pipe ended first: the updater closed it and may still be working.
  pid_t reaped;
  while ((reaped = waitpid(pid, status, 0)) < 0 && errno == EINTR) {
  }
  return reaped == pid;
}

// The verified file lost its name, and nothing else about it moved.
bool renamed_over(const struct stat& checked, const struct stat& now) {
  return now.st_dev == checked.st_dev && now.st_ino == checked.st_ino &&
         now.st_nlink < checked.st_nlink && now.st_size == checked.st_size &&
         now.st_mtim.tv_sec == checked.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == checked.st_mtim.tv_nsec;
}

// After the updater: the file it was given is still the verified one, unchanged.
// With a private /tmp only the file itself can have changed (its own user could
// write it); with a shared one the path may also name another file by now.
bool package_unchanged_after(const Prepared& prepared, bool private_view) {
  using package_verify::Result;
  using package_verify::Status;
  struct stat held, at_path;
  if (fstat(prepared.package.get(), &held) != 0) {
    PLOG(ERROR) << kPackagePath << " cannot be looked at after the updater ran";
    return false;
  }
  Status same = package_verify::SameAsChecked(prepared.checked, held);
  if (!same.ok() && private_view && renamed_over(prepared.checked, held)) {
    // Another file took the outer name: that unlinks ours (its link count and
    // change time move) but leaves its bytes, which the updater's own /tmp kept.
    LOG(WARNING) << kPackagePath << " was renamed over while the updater ran; the updater's "
                 << "private /tmp kept the verified file";
    return true;
  }
  if (same.ok() && !private_view) {
    if (lstat(kPackagePath, &at_path) != 0) {
      same =
          Status(Result::kChangedDuringCheck, std::string("its name is gone: ") + strerror(errno));
    } else {
      same = package_verify::SameAsChecked(prepared.checked, at_path);
    }
  }
  if (!same.ok()) LOG(ERROR) << kPackagePath << " changed while the updater ran: " << same.reason;
  return same.ok();
}

}  // namespace

void UpdaterLines::feed(const char* data, size_t size,
                        const std::function<void(const std::string&)>& line) {
  for (size_t i = 0; i < size; ++i) {
    pending_ += data[i];
    // As a stdio line read into a buffer of kLineBuffer bytes: a line ends at its
    // line feed, or a longer one is cut into pieces of kLineBuffer - 1 bytes.
    if (data[i] == '\n' || pending_.size() == kLineBuffer - 1) {
      line(pending_);
      pending_.clear();
    }
  }
}

void UpdaterLines::finish(const std::function<void(const std::string&)>& line) {
  if (!pending_.empty()) line(pending_);
  pending_.clear();
}

Line InstallResultLine(package_verify::Result result) {
  using package_verify::Result;
  // One case per reason, no default: a new reason that has no line yet does not compile.
  switch (result) {
    case Result::kVerified:
      return Line::kInstalled;
    case Result::kNoKeyStore:
      return Line::kRefusedNoKeyStore;
    case Result::kUnreadable:
      return Line::kRefusedUnreadable;
    case Result::kNoFooter:
      return Line::kRefusedNoFooter;
    case Result::kMalformed:
      return Line::kRefusedMalformed;
    case Result::kDigestMismatch:
      return Line::kRefusedDigestMismatch;
    case Result::kNoCertificateMatch:
      return Line::kRefusedNoCertificateMatch;
    case Result::kChangedDuringCheck:
      return Line::kRefusedChangedDuringCheck;
    case Result::kOpenToWriters:
      return Line::kRefusedOpenToWriters;
    case Result::kUnusableEntry:
      return Line::kRefusedUnusableEntry;
    case Result::kSignatureInvalid:
      return Line::kRefusedSignatureInvalid;
  }
  return Line::kRefusedMalformed;  // not reached: every reason has its case
}

Line InstallResultLine(install_gate::Fit fit) {
  using install_gate::Fit;
  switch (fit) {
    case Fit::kFits:
      return Line::kInstalled;
    case Fit::kNotForThisHandset:
      return Line::kRefusedNotForThisHandset;
    case Fit::kRollback:
      return Line::kRefusedRollback;
  }
  return Line::kRefusedNotForThisHandset;  // not reached: every code has its case
}

Line UpdaterExitLine(int wait_status) {
  return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0 ? Line::kInstalled
                                                                 : Line::kUpdaterFailed;
}

void handle_updater_line(const std::string& line) {
  size_t end = line.find_first_of(" \n");
  std::string word = line.substr(0, end);
  if (word.empty()) return;
  std::string args = end == std::string::npos ? "" : android::base::Trim(line.substr(end));
  LOG(ERROR) << word;
  if (word == "progress") {
    std::vector<std::string> tokens = android::base::Split(args, " ");
    double fraction = 0;
    if (tokens.size() != 2 || !android::base::ParseDouble(tokens[0], &fraction) ||
        !parseDuration(tokens[1])) {
      LOG(ERROR) << "invalid \"progress\" parameters: " << line;
    }
  } else if (word == "log") {
    if (args.empty()) LOG(ERROR) << "invalid \"log\" parameters: " << line;
  } else if (word == "ui_print") {
    LOG(ERROR) << "ui_print: " << args;
  } else {
    LOG(ERROR) << "unknown command [" << word << "]";
  }
}

int DownloadTask::run_installer() {
  // The result line comes last but one, before "Bye bye, RUN_UPDATER"; the
  // command still exits 0 whatever it says.
  Line result = RunUpdater();
  frontend_protocol::Emit(status_stream, result, STATUS_INSTALL);
  LOG(INFO) << "Bye bye, RUN_UPDATER";
  return 0;
}

Line DownloadTask::RunUpdater() {
  Prepared prepared;
  if (NORVO_VERIFY_PACKAGE) {
    Line verified = prepare_verified_updater(&prepared);
    if (verified != Line::kInstalled) {
      remove_unverified_updater();
      return verified;
    }
  } else {
    LOG(WARNING) << "DEVELOPMENT BUILD: package signature verification is switched off "
                    "(NORVO_VERIFY_PACKAGE=OFF); "
                 << kUpdaterPath << " runs unverified";
    // Even unverified, what runs is one fixed copy, not a file that can change
    // between this read and the start.
    std::string why;
    if (!package_verify::SealedCopyOfFile(kUpdaterPath, package_verify::kMaxUpdaterSize,
                                          &prepared.updater, &why)) {
      printf("E:Can't run %s (%s)\n", kUpdaterPath, why.c_str());
      fflush(stdout);
      return Line::kUpdaterFailed;
    }
  }
  if (prepared.package >= 0) {
    Line still = package_still_checked(prepared);
    if (still != Line::kInstalled) return still;
  }
  int fds[2];
  // Close-on-exec on both ends: the child clears it on its write end only, so
  // the updater never holds the read end (or a copy of the write end).
  if (pipe2(fds, O_CLOEXEC) != 0) {
    PLOG(ERROR) << "cannot create the updater's command pipe";
    return Line::kUpdaterNotStarted;
  }
  android::base::unique_fd readEnd(fds[0]);
  android::base::unique_fd writeEnd(fds[1]);
  // One byte from the child before its exec: which view of /tmp the updater got.
  if (pipe2(fds, O_CLOEXEC) != 0) {
    PLOG(ERROR) << "cannot create the updater's report pipe";
    return Line::kUpdaterNotStarted;
  }
  android::base::unique_fd reportRead(fds[0]);
  android::base::unique_fd reportWrite(fds[1]);

  std::vector<std::string> args = {kUpdaterPath, "3", std::to_string(writeEnd.get()), kPackagePath};
  std::vector<char*> argv;
  for (size_t i = 0; i < args.size(); ++i) {
    LOG(ERROR) << "command[" << i << "]:" << args[i];
    argv.push_back(&args[i][0]);
  }
  argv.push_back(nullptr);
  // Where the kernel cannot start a program from a descriptor, the same sealed
  // file is reached through /proc.
  std::string procPath = "/proc/self/fd/" + std::to_string(prepared.updater.get());

  // Whatever stdio holds must not be written twice, by the child as well.
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    PLOG(ERROR) << "cannot start " << kUpdaterPath;
    return Line::kUpdaterNotStarted;
  }
  if (pid == 0) {
    LOG(INFO) << "Here we go... the process " << getpid() << " is installing\n\n";
    umask(022);
    readEnd.reset();
    reportRead.reset();
    char view = enter_updater_view(prepared);
    (void)TEMP_FAILURE_RETRY(write(reportWrite.get(), &view, 1));
    if (view == kViewChanged || view == kViewBroken) _exit(1);
    int flags = fcntl(writeEnd.get(), F_GETFD);
    if (flags >= 0) fcntl(writeEnd.get(), F_SETFD, flags & ~FD_CLOEXEC);
    // A script's interpreter opens the program again as /dev/fd/N: the sealed
    // file stays open across the exec (it cannot be written, so that is safe).
    flags = fcntl(prepared.updater.get(), F_GETFD);
    if (flags >= 0) fcntl(prepared.updater.get(), F_SETFD, flags & ~FD_CLOEXEC);
    fexecve(prepared.updater.get(), argv.data(), environ);
    int err = errno;
    if (err == ENOSYS) {
      execv(procPath.c_str(), argv.data());
      err = errno;
    }
    printf("E:Can't run %s (%s)\n", kUpdaterPath, strerror(err));
    fflush(stdout);
    _exit(1);
  }
  writeEnd.reset();
  reportWrite.reset();
  prepared.updater.reset();
  char view = kViewShared;
  // The child writes its byte before it execs (or dies, which ends the pipe).
  if (TEMP_FAILURE_RETRY(read(reportRead.get(), &view, 1)) != 1) view = kViewBroken;
  reportRead.reset();

  int status = 0;
  if (!relay_until_exit(readEnd.get(), pid, &status)) return Line::kUpdaterFailed;
  readEnd.reset();
  if (view == kViewChanged) return InstallResultLine(package_verify::Result::kChangedDuringCheck);
  if (view == kViewBroken) return Line::kUpdaterNotStarted;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    LOG(ERROR) << kUpdaterPath << " failed ("
               << (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                     : "signal " + std::to_string(WTERMSIG(status)))
               << ")";
  }
  if (prepared.package >= 0 && !package_unchanged_after(prepared, view == kViewPrivate)) {
    // The updater may have read other bytes than the verified ones: whatever it
    // did, this is no verified install.
    return Line::kPackageChangedWhileRunning;
  }
  return UpdaterExitLine(status);
}
