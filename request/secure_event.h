// The request event base: resolve the host, run one transfer through the
// Pre/On/Post sequence, dispatch the result through the callback map, report
// a status line and run the next event of the chain.
#pragma once

#include <curl/curl.h>
#include <netdb.h>
#include <stdio.h>

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "norvotools/norvo-root/curl_handles.h"
#include "norvotools/norvo-root/host_lookup.h"
#include "norvotools/norvo-root/scoped.h"
#include "request/frontend_protocol.h"
#include "request/vendor/url_wrapper.h"

class DownloadTask;

enum DownloadStatus : int {
  STATUS_SYNC_SERVER_TIME = 0,
  STATUS_ADDRESS_INFO = 1,
  STATUS_ROM_INFO = 2,
  STATUS_ROM_DOWNLOAD = 3,
  STATUS_INSTALL = 6,
};

using Handler = std::function<bool(DownloadStatus)>;

// A work-area file that a transfer writes into (the time file, the answer
// body). Opened without following a link and only as a regular file; every
// chunk goes to the file at once, so that a full file system fails the transfer
// (CURLE_WRITE_ERROR) instead of vanishing in a stream buffer, and the first
// write error is kept for the log.
class TransferFile {
 public:
  // `mode` is "w" (write) or "w+" (write and read back); the file is truncated.
  // 0 or -errno.
  int open(const std::string& path, const char* mode);
  // Makes the transfer write its output here (two options, set through `options`).
  CurlOptions& attach(CurlOptions& options);
  FILE* stream() const { return stream_.get(); }
  const std::string& path() const { return path_; }
  // errno of the first failed write, 0 when none failed.
  int error() const { return error_; }
  // The most bytes the file takes; a transfer that brings more is cut off as the
  // bytes arrive (and the file emptied), so that a huge answer never fills the
  // work area before it is refused. -1: no limit. Set before attach().
  void setLimit(int64_t bytes) { limit_ = bytes; }
  bool overLimit() const { return over_limit_; }

 private:
  static size_t Write(char* data, size_t size, size_t count, void* self);

  UniqueFile stream_;
  std::string path_;
  int error_ = 0;
  int64_t limit_ = -1;
  int64_t written_ = 0;
  bool over_limit_ = false;
};

// One network step of a stage. Threads: every virtual below runs on the thread
// that runs the stage (main's thread; for the download, its transfer thread).
// The resolver calls back before resolveName() returns, and the success handler
// runs the next event from inside its own call, so the whole chain runs nested
// in the first event's run(). The download's command listener thread never calls
// into an event; it only queues requests (request/command_listener.h).
//
// Results: Executed() and the three steps return 0 for success or a libcurl
// result code (or a code of the event's own passed the same way, such as
// kChecksumMismatch); handleCurlCode() turns it into the handler that writes the
// status line and decides whether the chain goes on.
class SecureEvent {
 public:
  SecureEvent();
  SecureEvent(const SecureEvent&) = delete;
  SecureEvent& operator=(const SecureEvent&) = delete;

  // Called by the driver on the first event of the chain, and by the previous
  // event's success handler on the next. Fills the URL record and starts name
  // resolution; returns when the rest of the chain has run.
  virtual void run() = 0;
  // The class name, written to the status file by the base's PostExecuted().
  virtual std::string getDescriptor() = 0;
  // Called by DnsResolveCallback() once there is an address (or the fixed
  // resolve entry) to connect to. The base stores the driver and runs
  // PreExecuted(), OnExecuted() and PostExecuted(), returning the first non-zero
  // result at once, else PostExecuted()'s. An override need not call the base
  // but must store the driver.
  virtual int Executed(DownloadTask* driver);
  // Sets the transfer's options and opens what it writes into; non-zero means no
  // transfer is made and the code is the event's result. The base returns 0;
  // overrides do not call it.
  virtual int PreExecuted();
  // Performs the transfer; its result code (or a more precise code of the
  // event's own) is the event's result. The base returns 0; overrides do not call it.
  virtual int OnExecuted();
  // Reads the answer of a transfer that succeeded; non-zero fails the event. The
  // base names the event in the status file and dumps the records (it returns
  // 0 even when those writes fail): an override that completes a step of the
  // chain calls it last, on its success path.
  virtual int PostExecuted();
  // Fills the callback map. The base's runs from the base constructor; an
  // override is called from its own class's constructor and calls the base's
  // first, then replaces the entries it handles differently.
  virtual void InitCbmap();
  // Makes a new error buffer and transfer handle after releaseResource(), for an
  // event that transfers again (the download's next attempt). Not overridden.
  virtual void InitResource();
  // Frees the header and resolve lists, the transfer handle and the error
  // buffer. Called between attempts and at the end of the download; an
  // override releases its own resources and must call the base.
  virtual void releaseResource();
  // Writes the telemetry record of a result. Called by handleCurlCode() for
  // every result, 0 included; tests replace it.
  virtual void zelstub(CURLcode code);
  // Called by DnsResolveCallback() with Executed()'s result; returns the handler
  // to call with the event's status (true: the chain went on). The base calls
  // zelstub() and picks the callback map's entry or the default handler; an
  // override decides its own dispatch and calls zelstub() itself.
  virtual Handler handleCurlCode(CURLcode code);
  // The resolver's completion, reached through EventWrapper<T>::fake_callback
  // inside resolveName(). On success puts the "Host: " line in place, swaps the
  // name for the first address and runs Executed() and the handler; on a
  // resolver error with an entry it ends the chain without a line. Not overridden.
  virtual void DnsResolveCallback(void* arg, int status, int timeouts, hostent* host);

  void setDriver(DownloadTask* driver) { driver_ = driver; }
  void setNext(SecureEvent* next) { next_ = next; }
  void setStatus(DownloadStatus status) { status_ = status; }
  DownloadStatus status() const { return status_; }
  const URLWrapper& urlRecord() const { return url_; }
  const std::list<std::string>& addressList() const { return addresses_; }
  const std::string& hostLine() const { return host_line_; }
  const curl_slist* headerList() const { return headers_.get(); }

 protected:
  // Subclasses are destroyed through their own type; the driver never deletes
  // through a base pointer.
  ~SecureEvent();

  // The driver's status stream, the only place status lines go; null without a driver.
  FILE* statusStream() const;
  // One status line on statusStream() (request/frontend_protocol.h).
  void writeStatus(frontend_protocol::Line line, DownloadStatus status, long long value = 0);
  // The failure line of result `code`.
  void writeFailure(DownloadStatus status, int code);
  // The header lines every request of the update server carries after "Host: ".
  void appendRequestHeaders();
  // The options every request of the first stage shares (the time sync, the
  // update check, the ROM URL check): the header list, the error buffer, the
  // verbose transfer log and the limit on the whole request, since the user
  // waits for the stage. Returns `options` for the request's own options.
  CurlOptions& firstStageOptions(CurlOptions& options);
  // Points the transfer at the URL record and performs it.
  CURLcode performTransfer();
  // For an https URL record, gives the transfer the handset's CA store; refuses
  // (CURLE_SSL_CACERT_BADFILE, an ERROR naming the store) when there is none.
  CURLcode prepareTls();
  // After a transfer: a peer that the key check refused becomes a failed
  // verification (tls::peer_check_result), and a failed verification is logged
  // with the host and the reason. Returns the transfer's result so understood.
  CURLcode noteTlsResult(CURLcode code);
  // The same for a transfer that writes into `output`: when a write to it failed
  // (a full /cache) the result is CURLE_WRITE_ERROR, logged with the path,
  // whatever libcurl made of it, since the cause is the write, not the server;
  // an answer longer than the file's limit is CURLE_FILESIZE_EXCEEDED.
  CURLcode performTransfer(const TransferFile& output);
  // The start of PreExecuted() for a request whose output goes to a file: opens
  // `file` at `path` (`mode` as TransferFile::open takes it), logs it and appends
  // the request headers. 0, or CURLE_WRITE_ERROR (logged with the path) for an
  // event that must not transfer into nothing.
  int prepareRequest(TransferFile& file, const std::string& path, const char* mode);
  // Starts name resolution of `url` with `callback` (lookupHost()); the
  // completion keeps a ":port" suffix on the resolved address.
  void resolveHost(const URLWrapper& url, void (*callback)(void*, int, int, hostent*));
  // The end of a success handler: runs the next event of the chain, or says
  // that this was the last.
  void runNext();
  // The handler for a result code without an entry in the callback map.
  Handler defaultHandler(CURLcode code);

  std::unique_ptr<char[]> error_buffer_;
  CurlSlist headers_;
  CurlSlist resolve_;
  CurlEasy curl_;
  URLWrapper url_;
  DownloadTask* driver_ = nullptr;
  SecureEvent* next_ = nullptr;
  DownloadStatus status_ = STATUS_SYNC_SERVER_TIME;
  std::unordered_map<int, Handler> cbmap_;
  std::list<std::string> addresses_;
  std::string addresses_name_;  // the host name addresses_ belongs to
  std::string host_line_;
};

// Routes the resolver's plain C completion to the current event of class T.
template <typename T>
struct EventWrapper {
  static T* instance;
  static void (SecureEvent::*callback)(void*, int, int, hostent*);
  static void fake_callback(void* arg, int status, int timeouts, hostent* host) {
    if (instance != nullptr) (instance->*callback)(arg, status, timeouts, host);
  }
};
template <typename T>
T* EventWrapper<T>::instance = nullptr;
template <typename T>
void (SecureEvent::*EventWrapper<T>::callback)(void*, int, int,
                                               hostent*) = &SecureEvent::DnsResolveCallback;
