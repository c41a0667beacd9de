// The telemetry uploader service: "--diag" posts a JSON snapshot of the event
// store on every SIGUSR1, "--log" uploads the rescue-log files once.
#pragma once

#include <android-base/logging.h>
#include <curl/curl.h>
#include <netdb.h>
#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "request/vendor/url_wrapper.h"

// The module keeps its own names in a namespace: corvane has a console logger
// of the same name, and the unit tests link both.
namespace quillon {

// Paths and values of the two upload kinds.
extern const char kDiagPath[];     // "/v2/data/quillon", also what selects the JSON post
extern const char kLogPath[];      // "/zelas/fileUploadWithUrlId"
extern const char kZelasDir[];     // "/cache/zelas"
extern const char kQuillonHelp[];  // the eleven-line help text
extern const long kPostConnectTimeoutSeconds;  // 30
extern const long kPostTimeoutSeconds;         // 120
extern const char kAllowedProtocols[];         // "http,https", for requests and redirects

// Time limits of both upload kinds: the JSON post and each run of the curl tool.
struct TransferLimits {
  long connect_seconds = kPostConnectTimeoutSeconds;
  long total_seconds = kPostTimeoutSeconds;
};
// The limits, read once at start; tests shorten the total (and the connect
// limit with it) through NORVO_QUILLON_MAX_TIME=S, 1 to 120. Anything else
// keeps the defaults.
TransferLimits transfer_limits_from(const char* env_text);
extern TransferLimits g_limits;

// The active target; `address` receives the resolved numeric address.
extern URLWrapper g_target;
URLWrapper diag_preset();
URLWrapper log_preset();

// True unless the environment is exactly "norvo" or exactly "recovery".
bool help_wanted(const std::string& environment);

// Starts a resolution of g_target; the upload happens in DnsResolveCallback.
void trigger(int signo);
void DnsResolveCallback(void* arg, int status, int timeouts, hostent* host);
// Posts the event-store snapshot; takes ownership of `headers`.
void SendPost(curl_slist* headers);

// Log upload pieces.
bool is_upload_candidate(const std::string& name);
// Full paths of the regular files in `dir` whose names match, in listing order.
std::vector<std::string> collect_upload_files(const std::string& dir);
// The command as a shell would have read it, kept for the "Uploaded:" log line.
std::string upload_command_text(const std::string& url, const std::string& host,
                                const std::string& path);
// How the curl tool reaches an https endpoint as we do: the resolved address
// pinned to the name ("name:port:address"), and the CA bundle as the descriptor
// the child inherits. Empty for plain http.
struct CurlToolTls {
  std::string resolve;
  std::string ca_file;    // "/proc/self/fd/N" in the child
  bool insecure = false;  // development builds without verification
};
// The descriptor number the curl tool finds the CA bundle at.
extern const int kChildCaFd;
// The curl tool's --ciphers: OpenSSL's defaults at security level 2.
extern const char kCurlToolCiphers[];
// Whether an environment variable names a proxy (http_proxy, HTTPS_PROXY,
// ALL_PROXY, no_proxy, ...: any name ending in "_proxy", any letter case).
bool is_proxy_variable(const std::string& name);
// The environment a program started by run_program() gets: `env` without the
// proxy variables.
std::vector<std::string> child_environment(char** env);
// The argument vector handed to the curl tool (no shell involved).
std::vector<std::string> upload_curl_argv(const std::string& url, const std::string& host,
                                          const std::string& path,
                                          const CurlToolTls& tls = CurlToolTls());
// The value of curl's -F "file=" field: "@" and the path, quoted so that ';', ','
// and '"' in a file name stay part of the name.
std::string curl_form_file_value(const std::string& path);
// Runs argv[0] (searched on PATH) with argv and waits: the raw wait status,
// or -1 when the program could not be started. `pass_fd` (when not -1) is
// handed to the child as descriptor kChildCaFd. The child gets
// child_environment(environ).
int run_program(const std::vector<std::string>& argv, int pass_fd = -1);
// Uploads every matching file of `dir` to `url`, one curl run each. For https
// `resolve` pins the host's address (see CurlToolTls).
void upload_logs(const std::string& dir, const std::string& url, const std::string& host,
                 const std::string& resolve = std::string());
// What a curl tool exit status says about TLS, or null when it is no TLS failure.
const char* curl_tool_tls_failure(int exit_status);

// Writes `pid` in decimal, no newline, to `path` (mode 0755, truncated):
// 0 or -errno.
int record_pid(const std::string& path, pid_t pid);

// SIGUSR1 as an upload request: while armed the signal stays blocked except
// inside wait(), so the handler only ever interrupts the wait and every pass
// runs on the main flow. Signals arriving during a pass stay pending in the
// kernel and collapse into one further pass.
class TriggerSignal {
 public:
  TriggerSignal();
  ~TriggerSignal();
  TriggerSignal(const TriggerSignal&) = delete;
  TriggerSignal& operator=(const TriggerSignal&) = delete;

  bool armed() const { return armed_; }
  // Blocks until at least one SIGUSR1 has arrived since the previous return.
  void wait();

 private:
  bool armed_ = false;
  sigset_t previous_mask_;
  struct sigaction previous_action_;
};

// The two modes and the entry; quillon_main returns what main returns.
int serve_diag();
int upload_once();
int quillon_main(int argc, char** argv);

}  // namespace quillon
