#include "request/install_view.h"

#include <android-base/unique_fd.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace install_view {

namespace {

std::string failed(const char* what, int err) { return std::string(what) + ": " + strerror(err); }

bool sameFile(int a, int b) {
  struct stat sa, sb;
  return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// A copy of the sealed updater as a new file of the private /tmp.
bool copyUpdater(int from, const char* to, std::string* why) {
  android::base::unique_fd out(
      TEMP_FAILURE_RETRY(open(to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0755)));
  if (out < 0) {
    *why = failed("cannot create the updater's copy", errno);
    return false;
  }
  char buffer[64 * 1024];
  for (off_t offset = 0;;) {
    ssize_t n = TEMP_FAILURE_RETRY(pread(from, buffer, sizeof(buffer), offset));
    if (n < 0) {
      *why = failed("cannot read the sealed updater", errno);
      return false;
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = TEMP_FAILURE_RETRY(write(out.get(), buffer + done, n - done));
      if (w <= 0) {
        *why = failed("cannot write the updater's copy", w < 0 ? errno : ENOSPC);
        return false;
      }
      done += w;
    }
    offset += n;
  }
  return true;
}

}  // namespace

bool SwitchedOff() {
  const char* text = getenv("NORVO_INSTALL_NAMESPACE");
  return text != nullptr && strcmp(text, "0") == 0;
}

View EnterPrivateTmp(int package_fd, int updater_fd, const Paths& paths, std::string* why) {
  if (SwitchedOff()) {
    *why = "switched off (NORVO_INSTALL_NAMESPACE=0)";
    return View::kShared;
  }
  if (unshare(CLONE_NEWNS) != 0) {
    // No privilege for a namespace (or no kernel support): the view stays shared.
    *why = failed("no mount namespace", errno);
    return View::kShared;
  }
  // Mounts made here must not show in the outer namespace, nor theirs here.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    *why = failed("cannot make the mounts private", errno);
    // Nothing is mounted yet: the namespace is an exact copy of the outer view.
    return View::kShared;
  }
  // The package as this namespace sees it now. A bind mount needs a source of
  // this namespace, so the verified descriptor (which belongs to the outer one)
  // cannot serve; this one must be that very file, which the descriptor keeps
  // alive, so the same device and inode cannot name anything else.
  android::base::unique_fd here(
      TEMP_FAILURE_RETRY(open(paths.package, O_PATH | O_NOFOLLOW | O_CLOEXEC)));
  if (here < 0 || !sameFile(here.get(), package_fd)) {
    *why = here < 0 ? failed("its name is gone", errno)
                    : std::string("its name names another file than the one verified");
    return View::kChanged;
  }
  if (mount("tmpfs", paths.tmp, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
    *why = failed("cannot mount a private tmpfs", errno);
    return View::kShared;
  }
  std::string source = "/proc/self/fd/" + std::to_string(here.get());
  bool placed = false;
  {
    android::base::unique_fd target(TEMP_FAILURE_RETRY(
        open(paths.package, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0400)));
    if (target < 0) {
      *why = failed("cannot make the package's mount point", errno);
    } else if (mount(source.c_str(), paths.package, nullptr, MS_BIND, nullptr) != 0) {
      *why = failed("cannot bind the verified package", errno);
    } else if (mount(nullptr, paths.package, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) !=
               0) {
      *why = failed("cannot make the package read-only", errno);
    } else {
      placed = true;
    }
  }
  if (placed) {
    android::base::unique_fd check(
        TEMP_FAILURE_RETRY(open(paths.package, O_RDONLY | O_NOFOLLOW | O_CLOEXEC)));
    if (check < 0 || !sameFile(check.get(), package_fd)) {
      *why = "the bound package is not the verified file";
      placed = false;
    }
  }
  if (placed && !copyUpdater(updater_fd, paths.updater, why)) placed = false;
  if (placed) return View::kPrivate;
  // Undo, so that the updater sees what it would have seen without a namespace.
  umount2(paths.package, MNT_DETACH);
  if (umount2(paths.tmp, MNT_DETACH) != 0) {
    *why += "; " + failed("cannot undo the private tmpfs", errno);
    return View::kBroken;
  }
  return View::kShared;
}

}  // namespace install_view
