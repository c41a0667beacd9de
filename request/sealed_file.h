// Memory files sealed against change, and the updater's placement at its path.
// What the install runs is fixed once: a memory file that nobody can write,
// grow or shrink after it was sealed. The copy at the updater's usual path is
// for front ends and people that look there, and is never written in place.
#pragma once

#include <android-base/unique_fd.h>
#include <stddef.h>

#include <string>

namespace package_verify {

// A new memory file that can be sealed; closed on exec unless a caller says so.
android::base::unique_fd NewMemoryFile(const char* name);

// Seals the memory file open on fd against writes, growth and shrinking (and
// against further seals); false with errno set when it cannot.
bool SealMemoryFile(int fd);

// A memory file holding a copy of the regular file at path (not followed if a
// link, at most max bytes), sealed against writes, growth and shrinking.
bool SealedCopyOfFile(const char* path, size_t max, android::base::unique_fd* out,
                      std::string* why);

// Makes path hold exactly the bytes of the file open on source with mode 0755:
// kept when it already does, otherwise written to a new file beside it and
// renamed over it, so that no link at path is followed and no reader sees half
// a file. *replaced tells whether it was written.
bool InstallUpdater(int source, const std::string& path, bool* replaced, std::string* why);
// The same from bytes in memory.
bool InstallUpdater(const std::string& contents, const std::string& path, bool* replaced,
                    std::string* why);

}  // namespace package_verify
