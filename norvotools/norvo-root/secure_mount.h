// Environment name, guarded whole-file writer and reader, stdio redirection,
// the path creation guard and the record dump.
#pragma once

#include <android-base/unique_fd.h>
#include <stdio.h>
#include <sys/types.h>

#include <string>

// Value of "ro.bootimage.name", "android" when unset. Read on every call.
std::string whichEnvironment();

// Whole-file writer behind the creation guard: 0 on success or refusal,
// -errno when opening or writing fails. Files are 0644, truncated.
int create_file_and_writedata(const std::string& path, const std::string& data);
// Same for dir + "/" + name (exactly one slash inserted, nothing normalised).
int create_file_and_writedata(const std::string& dir, const std::string& name,
                              const std::string& data);
// Whole content of `path`, or "" when it cannot be opened or read.
std::string open_file_and_readdata(const std::string& path);

// Work-area files are written and read only as what they claim to be: a link,
// FIFO or device planted at one of our paths must never redirect a write outside
// the work area or block the agent.

// Read bounds. A record value that the download or the URL check uses is short:
// a size, a checksum, a switch or a process id.
constexpr size_t kRecordValueMax = 64 * 1024;
// Version, file name and mirror base URL end up in a request URL, which libcurl
// accepts up to 8 000 000 bytes; longer text cannot be used anyway.
constexpr size_t kRecordTextMax = 8000000;
// The update answer and the copies of the exchange (request and answer bodies).
constexpr size_t kAnswerFileMax = 16 * 1024 * 1024;

// Opens `path` for writing (`flags`: O_WRONLY or O_RDWR, plus O_TRUNC or
// O_APPEND), creating it with `mode`. A symbolic link in the last component, a
// FIFO, a socket or a second hard link found there is removed and a fresh file
// made in its place (WARNING); a directory or a device is refused (-EISDIR,
// -ENODEV, ERROR line). The descriptor is close-on-exec and refers to a regular
// file. 0 or -errno (errno set too).
int open_work_file(const std::string& path, int flags, mode_t mode, android::base::unique_fd* fd);

// Reads the whole of `path` into `out` without ever blocking or following a
// link in its last component: opened with O_NONBLOCK | O_NOFOLLOW, only a
// regular file of at most `max` bytes is read. 0 or -errno (errno set too):
// -ELOOP for a link, -EISDIR for a directory, -EINVAL for any other special
// file, -EFBIG when it holds more than `max` bytes. Logs nothing; callers name
// what they were reading.
int read_record_file(const std::string& path, size_t max, std::string* out);
// The same checks and bound for a descriptor the caller opened.
int read_record_fd(int fd, size_t max, std::string* out);

// Writes `data` as the whole content of `path` so that a reader, or the next
// run after a kill or power loss, sees either the old or the new content: a
// temporary file in the same folder (created exclusively), fsync, rename over
// `path`, fsync of the folder. Guarded like create_file_and_writedata (a
// refusal is logged and reports 0). A link or FIFO at `path` is replaced, never
// written through; a directory or device there is refused. Failures are logged
// with the path and the system's error text. 0 or -errno.
int write_file_atomically(const std::string& path, const std::string& data);

// Makes `link` a symbolic link to `target` in one step (a temporary link
// renamed over it), so that it never goes missing in between. 0 or -errno.
int replace_symlink_atomically(const std::string& target, const std::string& link);

// Makes sure `path` is a real folder: a link, file or special file there is
// removed (WARNING) and a folder with `mode` created. 0 or -errno.
int ensure_work_dir(const std::string& path, mode_t mode);

// Temporary names made by the writers above begin with this text; listings of
// work-area folders skip them, and a record writer sweeps those a kill left.
extern const char kWorkTempPrefix[];
bool is_work_temp_name(const std::string& name);

// Appends everything later written to stdout/stderr to `path`, each line prefixed
// with the seconds since the redirection began (a forked log writer does that).
// Streams move only once the writer holds the log (a regular file): otherwise
// they stay where they were. Once they move, SIGPIPE is ignored, so a writer
// that goes away costs its lines (EPIPE), never the process.
void redirect_stdio(const char* path);
// Flushes, syncs and closes `fp`, printing problems.
void check_and_fclose(FILE* fp, const char* name);

// The path creation guard: true when `path` may be created and written.
bool allowcreate(std::string path);

// Copies the ROM records and the last exchange to "/cache/norvo/download".
void jsondump();
