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
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "norvo_config.h"
#include "norvotools/norvo-root/scoped.h"
#include "request/download_task.h"
#include "request/install_gate.h"
#include "request/package_verify.h"

namespace {

constexpr char kUpdaterPath[] = "/tmp/update-binary";
constexpr char kPackagePath[] = "/tmp/secure_update.zip";
constexpr size_t kLineBuffer = 1024;

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

// The install gate: the verified package's metadata against this handset. The
// one place where the metadata is taken from the package. False (after an
// ERROR line that names the key, the package's value and the handset's) when
// the package is not for this handset, this build, or is a rollback.
bool package_fits_handset(int package) {
  using namespace package_verify;
  std::string metadata;
  std::string why;
  if (ReadNamedEntry(package, install_gate::kMetadataEntry, install_gate::kMaxMetadataSize,
                     &metadata, &why) != EntryRead::kRead) {
    LOG(ERROR) << "package rejected: " << why;
    return false;
  }
  install_gate::Verdict verdict = install_gate::Check(metadata, install_gate::SystemProperties());
  if (!verdict.fits) {
    LOG(ERROR) << "package rejected: " << install_gate::Describe(verdict);
    return false;
  }
  LOG(INFO) << "package fits this handset: device " << verdict.device << ", build time "
            << verdict.package_time << " (this build's " << verdict.handset_time << ")";
  if (verdict.downgrade) {
    LOG(WARNING) << "package is older than this build: a downgrade that ota-downgrade=yes "
                    "allows from this build";
  }
  return true;
}

// Verifies the package's whole-file signature and puts the verified package's
// own updater at kUpdaterPath. Signature and updater come from one descriptor
// of the package, opened without following a link. False (after an ERROR line
// that says why) when nothing may run.
bool prepare_verified_updater() {
  using namespace package_verify;
  std::vector<PublicKey> keys;
  std::string why;
  Result result = LoadKeyStore(kKeyStorePath, &keys, &why);
  if (result != Result::kVerified) {
    LOG(ERROR) << "package rejected: " << ResultText(result) << ": " << why;
    return false;
  }
  android::base::unique_fd package(
      TEMP_FAILURE_RETRY(open(kPackagePath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)));
  if (package < 0) {
    PLOG(ERROR) << "package rejected: " << ResultText(Result::kUnreadable) << ": " << kPackagePath;
    return false;
  }
  std::string signer;
  result = VerifyPackageFd(package.get(), keys, &signer, &why);
  if (result != Result::kVerified) {
    LOG(ERROR) << "package rejected: " << ResultText(result) << ": " << why;
    return false;
  }
  LOG(INFO) << "package signature verified";
  LOG(INFO) << "signed by the key store's " << signer;
  if (!package_fits_handset(package.get())) return false;
  std::string updater;
  if (!ReadUpdaterEntry(package.get(), &updater, &why)) {
    LOG(ERROR) << "package rejected: " << why;
    return false;
  }
  struct stat st;
  bool existed = lstat(kUpdaterPath, &st) == 0;
  bool replaced = false;
  if (!InstallUpdater(updater, kUpdaterPath, &replaced, &why)) {
    LOG(ERROR) << "package rejected: " << why;
    return false;
  }
  // Writing the updater where there was none is every install's own step; one
  // that was there and differed was put there by someone else.
  if (replaced && existed) {
    LOG(ERROR) << kUpdaterPath << " was missing or differed from the verified package's "
               << kUpdaterEntry << "; the package's own updater was written there";
  } else if (replaced) {
    LOG(INFO) << kUpdaterPath << " written from the verified package's " << kUpdaterEntry;
  }
  return true;
}

}  // namespace

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

namespace {

// After a rejection nothing may be left ready to run as if it had been
// verified, such as an updater a front end took from the package beforehand.
void remove_unverified_updater() {
  if (unlink(kUpdaterPath) == 0) {
    LOG(WARNING) << kUpdaterPath << " removed: it is not the updater of a verified package";
  }
}

// Verifies the package, runs its updater and relays its lines; returns when
// the updater has ended or nothing may run.
void install_package() {
  if (NORVO_VERIFY_PACKAGE) {
    if (!prepare_verified_updater()) {
      remove_unverified_updater();
      return;
    }
  } else {
    LOG(WARNING) << "DEVELOPMENT BUILD: package signature verification is switched off "
                    "(NORVO_VERIFY_PACKAGE=OFF); "
                 << kUpdaterPath << " runs unverified";
  }
  int fds[2];
  // Close-on-exec on both ends: the child clears it on its write end only, so
  // the updater never holds the read end (or a copy of the write end).
  if (pipe2(fds, O_CLOEXEC) != 0) {
    PLOG(ERROR) << "cannot create the updater's command pipe";
    return;
  }
  android::base::unique_fd readEnd(fds[0]);
  android::base::unique_fd writeEnd(fds[1]);

  std::vector<std::string> args = {kUpdaterPath, "3", std::to_string(writeEnd.get()), kPackagePath};
  std::vector<char*> argv;
  for (size_t i = 0; i < args.size(); ++i) {
    LOG(ERROR) << "command[" << i << "]:" << args[i];
    argv.push_back(&args[i][0]);
  }
  argv.push_back(nullptr);

  // Whatever stdio holds must not be written twice, by the child as well.
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) return;
  if (pid == 0) {
    LOG(INFO) << "Here we go... the process " << getpid() << " is installing\n\n";
    umask(022);
    readEnd.reset();
    int flags = fcntl(writeEnd.get(), F_GETFD);
    if (flags >= 0) fcntl(writeEnd.get(), F_SETFD, flags & ~FD_CLOEXEC);
    execv(kUpdaterPath, argv.data());
    printf("E:Can't run %s (%s)\n", kUpdaterPath, strerror(errno));
    fflush(stdout);
    _exit(1);
  }
  writeEnd.reset();
  UniqueFile stream(fdopen(readEnd.get(), "r"));
  if (stream) {
    int owned = readEnd.release();  // the stream owns it now
    (void)owned;
    char buffer[kLineBuffer];
    while (fgets(buffer, sizeof(buffer), stream.get()) != nullptr) {
      handle_updater_line(buffer);
    }
    stream.reset();
  } else {
    PLOG(ERROR) << "cannot read the updater's command pipe";
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

// Front ends read the last line as the end of the install, whatever happened
// before it.
int DownloadTask::run_installer() {
  install_package();
  LOG(INFO) << "Bye bye, RUN_UPDATER";
  return 0;
}
