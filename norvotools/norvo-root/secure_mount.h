// Environment name, guarded whole-file writer and reader, stdio redirection,
// the path creation guard and the record dump.
#pragma once

#include <stdio.h>

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
