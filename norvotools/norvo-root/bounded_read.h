// The one bounded read of the programs: every file, record or answer taken into
// memory goes through here, so that no input can grow a buffer past its limit
// (a file may grow while it is read, or be a pipe that never ends).
#pragma once

#include <stddef.h>

#include <string>

// Reads `fd` from its current position until its end or until `count` bytes have
// come, whichever is first. 0 with what came in `out`, or -errno of a failed read
// (`out` untouched).
int read_up_to(int fd, size_t count, std::string* out);

// The rest of `fd` when it holds at most `max` bytes: 0 with the content in
// `out`; -EFBIG (errno EFBIG) when there is more, -errno of a failed read. No
// more than `max` + 1 bytes are ever taken in; `out` changes only on success.
int read_bounded(int fd, size_t max, std::string* out);
