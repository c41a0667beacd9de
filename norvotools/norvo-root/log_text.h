// Text from outside the handset (the update answer, a server's header, a redirect
// target, a URL, a package's metadata) made fit for one log line.
//
// The console log shares standard output with the status lines in the command
// mode, and log files are read by tools that split at line ends: a raw CR, LF or
// ESC from a server could start what reads as a line of ours, or rewrite the
// terminal. Every log line that carries such text passes it through printable().
#pragma once

#include <curl/curl.h>
#include <stddef.h>

#include <string>

// How much of one text a log line repeats by default; the rest is cut with "...".
constexpr size_t kPrintableMax = 4096;

// `text` with every byte that is not printable ASCII escaped: CR, LF and TAB as
// \r, \n and \t, the other control bytes (C0 and DEL) and every byte of 0x80 and
// above as \xHH (so that no terminal takes a C1 control or a bidirectional mark
// from it); a backslash and a double quote get a backslash, so that an escape in
// the log is never the text's own and a quoted value stays one value. At most
// `max_bytes` bytes of the text are shown, then "...".
std::string printable(const std::string& text, size_t max_bytes = kPrintableMax);
// The same for a C string; null is shown as the empty text.
std::string printable(const char* text, size_t max_bytes = kPrintableMax);

// libcurl's verbose trace (CURLOPT_DEBUGFUNCTION) as libcurl itself writes it to
// standard error ("* " its own text, "< " a header received, "> " one sent), but
// one line per line, each with the prefix and its text through printable(): the
// headers a server sends reach the log as escaped text, never as lines of their
// own. Bodies and TLS records are not shown, as by default.
int printable_curl_trace(CURL* handle, curl_infotype type, char* data, size_t size, void* clientp);
