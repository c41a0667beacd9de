// What the package's updater sees of /tmp. The updater opens the package again by
// its path, so between the check and its last read a process that can write /tmp
// could rename other bytes over that path. The updater therefore runs in a mount
// namespace of its own, in which /tmp is a private tmpfs that holds only the
// verified package (a read-only bind mount of the very file that was checked) and
// the verified updater. Nothing done to the outer /tmp reaches that view.
#pragma once

#include <string>

namespace install_view {

enum class View {
  kPrivate,  // the updater's /tmp is private: the package path names the verified file
  kShared,   // no namespace (refused, or switched off): nothing changed, /tmp is shared
  kChanged,  // the package path no longer names the verified file: nothing may run
  kBroken,   // set up half-way and not undone: nothing may run
};

struct Paths {
  const char* tmp = "/tmp";
  const char* package = "/tmp/secure_update.zip";
  const char* updater = "/tmp/update-binary";
};

// Whether the test switch NORVO_INSTALL_NAMESPACE=0 asks for the shared /tmp (the
// emulated device always has the privilege, so the fallback is tested this way).
bool SwitchedOff();

// In the updater's process, after fork and before exec: enters a mount namespace of
// its own with the private /tmp described above. `package_fd` is the verified
// package, `updater_fd` the sealed updater (copied into the private /tmp, mode
// 0755, for updaters that look there). `why` says what failed, for kShared,
// kChanged and kBroken.
View EnterPrivateTmp(int package_fd, int updater_fd, const Paths& paths, std::string* why);

}  // namespace install_view
