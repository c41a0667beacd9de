#define LOG_TAG "Quillon"

#include "quillon/quillon.h"

#include <android-base/file.h>
#include <android-base/parseint.h>
#include <android-base/properties.h>
#include <android-base/unique_fd.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "norvo_config.h"
#include "norvotools/norvo-root/curl_handles.h"
#include "norvotools/norvo-root/host_lookup.h"
#include "norvotools/norvo-root/log_text.h"
#include "norvotools/norvo-root/scoped.h"
#include "norvotools/norvo-root/secure_mount.h"
#include "norvotools/norvo-root/tls_trust.h"
#include "norvotools/norvo-root/ui_logger.h"
#include "norvotools/norvo-root/version_text.h"
#include "norvotools/norvo-root/work_area.h"
#include "norvotools/norvo-zel/zel_constants.h"
#include "norvotools/norvo-zel/zelprotocal.h"

extern char** environ;

namespace quillon {

const char kDiagPath[] = "/v2/data/quillon";
const char kLogPath[] = "/zelas/fileUploadWithUrlId";
const char kZelasDir[] = "/cache/zelas";
// A stalled quality service must not hold the service (and every later
// request) forever: bound the connection and the whole post.
const long kPostConnectTimeoutSeconds = 30;
const long kPostTimeoutSeconds = 120;
const char kAllowedProtocols[] = "http,https";

TransferLimits g_limits;

const char kQuillonHelp[] =
    "\t**************************************************************\n"
    "\tdetect the program running in android system\n"
    "\tplease ensure two things below:\n"
    "\t1.these shared library must be existed:\t\t1.libcares.so\n"
    "\t\t2.libnorvo-dns.so\n"
    "\t\t3.libnorvo-property.so\n"
    "\t\twhich live in NORVO/system/lib64\n"
    "\t2.if the signature is test-keys, and not in velmor company, \n"
    "\t\tplease execute `setprop norvo.ignore.testkey 1` to use\n"
    "\t\touter internet nameserver ip\n"
    "\t**************************************************************\n";

URLWrapper g_target;

namespace {

const char kRescuePattern[] = "RescuePartyLog";
const char kRescueLoggedProp[] = "rescueparty.logged";

volatile sig_atomic_t g_trigger_requested = 0;

void on_trigger_signal(int) { g_trigger_requested = 1; }

}  // namespace

TransferLimits transfer_limits_from(const char* text) {
  TransferLimits limits;
  long seconds = 0;
  if (text != nullptr && android::base::ParseInt(text, &seconds, 1L, kPostTimeoutSeconds)) {
    limits.total_seconds = seconds;
    limits.connect_seconds = std::min(limits.connect_seconds, seconds);
  }
  return limits;
}

URLWrapper diag_preset() { return URLWrapper{"https://", NORVO_ZEL_HOST, "", kDiagPath}; }

// Rescue logs hold as much as the snapshot: they go over https like it.
URLWrapper log_preset() { return URLWrapper{"https://", NORVO_ZEL_HOST, "", kLogPath}; }

bool help_wanted(const std::string& environment) {
  return environment != "norvo" && environment != "recovery";
}

void trigger(int) {
  LOG(INFO) << "trigger to upload data";
  lookupHost(g_target, DnsResolveCallback);
}

void DnsResolveCallback(void*, int status, int, hostent* host) {
  LOG(INFO) << ">> Quillon Name resolved...";
  if (status != 0) {
    fprintf(stderr, "lookup failed: %d\n", status);
    return;
  }
  if (host == nullptr) {
    LOG(ERROR) << "no host entry for " << g_target.host << ", nothing uploaded";
    return;
  }
  // Names from the resolver's answer, escaped like any text from the network.
  fprintf(stderr, "lookup h_name: %s\n", printable(host->h_name).c_str());
  for (char** alias = host->h_aliases; alias != nullptr && *alias != nullptr; ++alias) {
    fprintf(stderr, "lookup alias: %s\n", printable(*alias).c_str());
  }
  for (char** addr = host->h_addr_list; addr != nullptr && *addr != nullptr; ++addr) {
    char text[INET6_ADDRSTRLEN] = "?";
    inet_ntop(host->h_addrtype, *addr, text, sizeof(text));
    fprintf(stderr, "lookup addr: %s\n", text);
  }
  // The transfer addresses the server by its first address in dotted IPv4 form;
  // without one there is nothing sound to connect to.
  ResolvedHost resolved = resolvedHost(g_target.host, *host);
  if (resolved.addresses.empty()) {
    LOG(ERROR) << "no IPv4 address for " << g_target.host << ", nothing uploaded";
    return;
  }
  const std::string& host_line = resolved.host_line;
  g_target.address = resolved.addresses.front();
  LOG(INFO) << "Resolved domain is " << host_line;

  if (g_target.path == kDiagPath) {
    CurlSlist headers;
    AppendHeader(headers, host_line);
    AppendHeader(headers, "Content-Type:application/json");
    SendPost(headers.release());
    return;
  }
  // Over https the name stays in the URL (TLS checks the certificate against it)
  // and the address is pinned; plain http addresses the server by its number.
  if (tls::is_https(g_target.scheme)) {
    upload_logs(kZelasDir, g_target.scheme + g_target.host + g_target.path, g_target.host,
                tls::resolve_entry(g_target.host, g_target.address, 443));
  } else {
    upload_logs(kZelasDir, g_target.scheme + g_target.address + g_target.path, g_target.host);
  }
}

void SendPost(curl_slist* header_list) {
  CurlSlist headers(header_list);
  LOG(INFO) << "Post the diag...";
  std::string body = norvozel::zel_sync_to_string();
  create_file_and_writedata(WORK_DIR, "last_tmp", body);

  // The address is ours, but a redirect must not lead the post (or anything a
  // later option turns on) to another protocol: the handle speaks http and https only.
  CurlEasy curl = NewTransfer();
  if (!curl) {
    LOG(ERROR) << "failed to create a transfer handle";
    return;
  }
  // Over https the URL keeps the name, which TLS sends and checks the
  // certificate against, and the resolved address is pinned to it.
  const bool https = tls::is_https(g_target.scheme);
  std::string url = g_target.scheme + (https ? g_target.host : g_target.address) + g_target.path;
  CurlSlist pinned;
  if (https) AppendHeader(pinned, tls::resolve_entry(g_target.host, g_target.address, 443));
  char error[CURL_ERROR_SIZE] = {};
  CURL* h = curl.get();
  CurlOptions options(h);
  options.set(CURLOPT_URL, url.c_str())
      .set(CURLOPT_HTTPHEADER, headers.get())
      .set(CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()))
      .set(CURLOPT_POSTFIELDS, body.c_str())
      .set(CURLOPT_POST, 1L)
      .set(CURLOPT_VERBOSE, 1L)
      .set(CURLOPT_ERRORBUFFER, error);
  if (https) options.set(CURLOPT_RESOLVE, pinned.get());
  // Without its time limits a stalled server would hold the service for ever:
  // no post then, rather than an unbounded one.
  options.set(CURLOPT_CONNECTTIMEOUT, g_limits.connect_seconds)
      .set(CURLOPT_TIMEOUT, g_limits.total_seconds);
  // Last: nothing is posted without the peer checked against the CA store.
  CURLcode res =
      options.ok() ? tls::prepare_transfer(h, g_target.scheme, g_target.host) : options.result();

  std::string refusal;
  if (res == CURLE_OK) res = tls::peer_check_result(h, curl_easy_perform(h), &refusal);
  if (tls::is_verification_failure(res)) {
    if (refusal.empty()) refusal = error[0] != '\0' ? error : curl_easy_strerror(res);
    tls::log_verification_failure(g_target.host, refusal);
  }
  if (res == CURLE_OK) {
    LOG(INFO) << "succ to post data";
  } else {
    LOG(INFO) << "failed to post data" << static_cast<int>(res);
  }
  headers.reset();
  curl.reset();
}

bool is_upload_candidate(const std::string& name) {
  return name.find(kRescuePattern) != std::string::npos;
}

std::vector<std::string> collect_upload_files(const std::string& dir) {
  std::vector<std::string> files;
  UniqueDir listing(opendir(dir.c_str()));
  if (!listing) return files;
  while (dirent* entry = readdir(listing.get())) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || !is_upload_candidate(name)) continue;
    std::string path = dir + "/" + name;
    bool regular = entry->d_type == DT_REG;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      regular = lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }
    if (!regular) continue;
    files.push_back(path);
    LOG(INFO) << "Uploading the log..." << name;
  }
  return files;
}

std::string upload_command_text(const std::string& url, const std::string& host,
                                const std::string& path) {
  return " curl -v " + url + " -H \"Host: " + host + "\" -F \"bizName=norvo\" -F \"file=@" + path +
         "\"";
}

std::string curl_form_file_value(const std::string& path) {
  // curl ends an unquoted file name at ';' or ','; inside double quotes only
  // '\' and '"' need a backslash.
  std::string value = "@\"";
  for (char c : path) {
    if (c == '\\' || c == '"') value += '\\';
    value += c;
  }
  value += '"';
  return value;
}

std::vector<std::string> upload_curl_argv(const std::string& url, const std::string& host,
                                          const std::string& path, const CurlToolTls& secure) {
  // The limits come last, after the form: a server that accepts and never
  // answers ends this file's upload, not the whole pass. "-q" (first, or curl
  // ignores it) keeps a .curlrc from adding options of its own, --insecure say.
  std::vector<std::string> argv = {"curl",
                                   "-q",
                                   "-v",
                                   url,
                                   "-H",
                                   "Host: " + host,
                                   "-F",
                                   "bizName=norvo",
                                   "-F",
                                   "file=" + curl_form_file_value(path),
                                   "--connect-timeout",
                                   std::to_string(g_limits.connect_seconds),
                                   "--max-time",
                                   std::to_string(g_limits.total_seconds),
                                   "--proto",
                                   std::string("=") + kAllowedProtocols,
                                   "--proto-redir",
                                   std::string("=") + kAllowedProtocols};
  // No proxy, whatever the environment names (run_program() drops the variables
  // as well). TLS 1.2 at least, and OpenSSL's security level 2 whatever the
  // system's configuration says: RSA keys of 2048 bits, EC keys of 224.
  argv.insert(argv.end(), {"--noproxy", "*", "--tlsv1.2", "--ciphers", kCurlToolCiphers});
  if (!secure.resolve.empty()) argv.insert(argv.end(), {"--resolve", secure.resolve});
  if (secure.insecure) {
    argv.push_back("--insecure");
  } else if (!secure.ca_file.empty()) {
    // The bundle and nothing else: --capath names a file, not a folder, so
    // that the tool's built-in certificate folder adds no trust of its own.
    argv.insert(argv.end(), {"--cacert", secure.ca_file, "--capath", secure.ca_file});
  }
  return argv;
}

const char* curl_tool_tls_failure(int status) {
  if (!WIFEXITED(status)) return nullptr;
  switch (WEXITSTATUS(status)) {
    case CURLE_PEER_FAILED_VERIFICATION:
      return "the server's certificate did not verify (curl exit 60)";
    case CURLE_SSL_CACERT_BADFILE:
      return "the CA bundle could not be used (curl exit 77)";
    case CURLE_SSL_CONNECT_ERROR:
      return "the TLS handshake failed (curl exit 35)";
    default:
      return nullptr;
  }
}

const int kChildCaFd = 3;
const char kCurlToolCiphers[] = "DEFAULT@SECLEVEL=2";

bool is_proxy_variable(const std::string& name) {
  std::string lower;
  for (char c : name) lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  // http_proxy, https_proxy, all_proxy, no_proxy, ftp_proxy, ... in any case.
  static const char kSuffix[] = "_proxy";
  return lower.size() >= sizeof(kSuffix) - 1 &&
         lower.compare(lower.size() - (sizeof(kSuffix) - 1), std::string::npos, kSuffix) == 0;
}

std::vector<std::string> child_environment(char** env) {
  std::vector<std::string> kept;
  for (char** entry = env; entry != nullptr && *entry != nullptr; ++entry) {
    std::string text = *entry;
    if (is_proxy_variable(text.substr(0, text.find('=')))) continue;
    kept.push_back(std::move(text));
  }
  return kept;
}

int run_program(const std::vector<std::string>& argv, int pass_fd) {
  if (argv.empty()) return -1;
  // dup2 onto the same number would leave close-on-exec set: move it aside first.
  android::base::unique_fd moved;
  if (pass_fd == kChildCaFd) {
    moved.reset(fcntl(pass_fd, F_DUPFD_CLOEXEC, kChildCaFd + 1));
    if (moved < 0) {
      PLOG(ERROR) << "failed to pass the CA bundle to " << argv[0];
      return -1;
    }
    pass_fd = moved.get();
  }
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  if (pass_fd >= 0 && posix_spawn_file_actions_adddup2(&actions, pass_fd, kChildCaFd) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  posix_spawnattr_t attr;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  // The child starts with no blocked signals and default actions, whatever
  // the service has arranged for itself.
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGUSR1);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  // The service's environment without what would send the child's transfers
  // elsewhere: a proxy comes from an explicit setting, never an inherited variable.
  std::vector<std::string> kept = child_environment(environ);
  std::vector<char*> env;
  for (std::string& entry : kept) env.push_back(&entry[0]);
  env.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), env.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    LOG(ERROR) << "failed to start " << argv[0] << ": " << strerror(rc);
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      PLOG(ERROR) << "failed to wait for " << argv[0];
      return -1;
    }
  }
  return status;
}

void upload_logs(const std::string& dir, const std::string& url, const std::string& host,
                 const std::string& resolve) {
  std::vector<std::string> files = collect_upload_files(dir);
  android::base::SetProperty(kRescueLoggedProp, "1");
  if (files.empty()) {
    LOG(INFO) << "Nothing to upload\n";
    return;
  }
  CurlToolTls tool_tls;
  int ca_fd = -1;
  tool_tls.resolve = resolve;
  if (!tls::verification_enabled()) {
    LOG(WARNING) << "DEVELOPMENT BUILD: TLS verification is off for " << url;
    tool_tls.insecure = true;
  } else if (!resolve.empty()) {
    std::string detail;
    const tls::CaBundle* bundle = tls::handset_ca_bundle(&detail);
    if (bundle == nullptr) {
      LOG(ERROR) << "https to " << host << " refused: no usable CA store in " << tls::kCaStoreDir
                 << " (" << detail << "); " << files.size() << " log(s) not uploaded";
      return;
    }
    ca_fd = bundle->fd.get();
    tool_tls.ca_file = "/proc/self/fd/" + std::to_string(kChildCaFd);
  }
  for (const std::string& path : files) {
    int status = run_program(upload_curl_argv(url, host, path, tool_tls), ca_fd);
    LOG(INFO) << "Uploaded:" << upload_command_text(url, host, path) << ", ret=" << status;
    if (const char* why = curl_tool_tls_failure(status)) tls::log_verification_failure(host, why);
  }
}

int record_pid(const std::string& path, pid_t pid) {
  android::base::unique_fd fd;
  if (int rc = open_work_file(path, O_WRONLY | O_TRUNC, 0755, &fd); rc != 0) return rc;
  if (!android::base::WriteStringToFd(std::to_string(pid), fd.get())) return -errno;
  return 0;
}

TriggerSignal::TriggerSignal() {
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  if (sigprocmask(SIG_BLOCK, &block, &previous_mask_) != 0) return;
  struct sigaction action = {};
  action.sa_handler = on_trigger_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (sigaction(SIGUSR1, &action, &previous_action_) != 0) {
    sigprocmask(SIG_SETMASK, &previous_mask_, nullptr);
    return;
  }
  g_trigger_requested = 0;
  armed_ = true;
}

TriggerSignal::~TriggerSignal() {
  if (!armed_) return;
  // A request still pending must not meet the previous action (by default it
  // would end the process) once the signal is unblocked.
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, SIGUSR1);
  struct timespec now = {0, 0};
  while (sigtimedwait(&only, nullptr, &now) == SIGUSR1) {
  }
  sigaction(SIGUSR1, &previous_action_, nullptr);
  sigprocmask(SIG_SETMASK, &previous_mask_, nullptr);
  g_trigger_requested = 0;
}

void TriggerSignal::wait() {
  sigset_t open_mask = previous_mask_;
  sigdelset(&open_mask, SIGUSR1);
  while (!g_trigger_requested) sigsuspend(&open_mask);
  g_trigger_requested = 0;
}

int serve_diag() {
  pid_t pid = getpid();
  LOG(INFO) << ">> Quillon service \"--diag\" [" << pid << "] is starting...";
  g_target = diag_preset();
  // The handler is in place before the pid is published, so a signal sent as
  // soon as the pid can be read is a request, never the default action.
  TriggerSignal requests;
  if (!requests.armed()) {
    PLOG(ERROR) << "failed to handle SIGUSR1";
    return 0;
  }
  int rc = record_pid(DIAG_PID_FILE, pid);
  if (rc < 0) {
    LOG(ERROR) << "failed to record pid " << strerror(-rc);
    return 0;
  }
  for (;;) {
    requests.wait();
    trigger(SIGUSR1);
  }
}

int upload_once() {
  LOG(INFO) << ">> Quillon service \"--log\" [" << getpid() << "] is starting...";
  g_target = log_preset();
  trigger(0);
  LOG(INFO) << ">> Bye bye, Quillon";
  return 0;
}

int quillon_main(int argc, char** argv) {
  // The one argument answered before the start-up steps: it touches nothing.
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    fputs(norvo_version::VersionText("quillon").c_str(), stdout);
    return 0;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  g_limits = transfer_limits_from(getenv("NORVO_QUILLON_MAX_TIME"));
  if (help_wanted(android::base::GetProperty("ro.bootimage.name", "android"))) {
    fputs(kQuillonHelp, stdout);
    fputc('\n', stdout);
    // Out before the redirection below, so that the text neither moves into
    // the log nor is copied by its forked writer.
    fflush(stdout);
  }
  struct stat st;
  if (stat(LAST_LOG_FILE.c_str(), &st) == 0) {
    android::base::SetMinimumLogSeverity(android::base::DEBUG);
    if (android::base::GetProperty("debug.logcat", "0") != "1") {
      android::base::InitLogging(argc > 0 ? argv : nullptr, &::UiLogger,
                                 android::base::DefaultAborter);
    }
    redirect_stdio(LAST_LOG_FILE.c_str());
  }
  if (argc != 2) return -22;

  std::string mode = argv[1];
  if (mode == "--diag") return serve_diag();
  if (mode == "--log") return upload_once();
  LOG(INFO) << ">> Bye bye, Quillon";
  return 0;
}

}  // namespace quillon
