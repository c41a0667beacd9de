#define LOG_TAG "ADDRESSINFO"

#include "request/addressinfo.h"

#include <android-base/file.h>
#include <android-base/logging.h>
#include <android-base/unique_fd.h>
#include <cjson/cJSON.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include "norvotools/norvo-root/log_text.h"
#include "norvotools/norvo-root/scoped.h"
#include "norvotools/norvo-root/secure_mount.h"
#include "norvotools/norvo-root/work_area.h"
#include "norvotools/norvo-update/dir2url.h"
#include "norvotools/norvo-zel/payload_cipher.h"
#include "request/download_task.h"
#include "request/update_checker.h"

namespace {

// The most of an answer the log repeats: enough to see what a server sent, not
// the 16 MiB a hostile one may send.
constexpr size_t kShownAnswerBytes = 64 * 1024;

// Whole content of a captured exchange file; false when it cannot be read, is
// not a regular file (never blocks on a FIFO) or is larger than any answer.
bool ReadWhole(const std::string& path, std::string* content) {
  return read_record_file(path, kAnswerFileMax, content) == 0;
}

bool SwitchIsOn(const std::string& path) {
  std::string content;
  return read_record_file(path, kRecordValueMax, &content) == 0 && content == "1";
}

}  // namespace

AddressInfo::AddressInfo() { EventWrapper<AddressInfo>::instance = this; }

AddressInfo::~AddressInfo() {
  if (EventWrapper<AddressInfo>::instance == this) EventWrapper<AddressInfo>::instance = nullptr;
}

void AddressInfo::run() {
  LOG(INFO) << ">> AddressInfo is running...";
  FactMap fields;
  URLWrapper url;
  checkUpdateInfo(fields, url);
  LOG(DEBUG) << "AddressInfo url " << printable(url.scheme) << " " << printable(url.host) << " "
             << printable(url.path);
  std::string body = buildFormBody(fields);
  create_file_and_writedata(REQUEST_ENCRYPTED_FILE, body);

  if (whichEnvironment() == "android") {
    post_body_ = body;
    jsondump();
  } else if (SwitchIsOn(ENABLE_ANDROID_REQUEST_FILE)) {
    std::string captured;
    ReadWhole(CACHE_REQUEST_ANDROID_ENCRYPTED, &captured);
    post_body_ = captured;
    std::string clear;
    if (ReadWhole(CACHE_REQUEST_ANDROID_UNCRYPTED, &clear)) {
      create_file_and_writedata(REQUEST_UNCRYPTED_FILE, clear);
    }
    if (ReadWhole(CACHE_REQUEST_ANDROID_ENCRYPTED, &captured)) {
      create_file_and_writedata(REQUEST_ENCRYPTED_FILE, captured);
    }
  } else {
    post_body_ = body;
  }

  url_ = url;
  resolveHost(url_, EventWrapper<AddressInfo>::fake_callback);
}

int AddressInfo::PreExecuted() {
  // The answer would go nowhere; fail the event before posting anything.
  if (int rc = prepareRequest(response_file_, RESPONSE_BODY_FILE, "w"); rc != 0) return rc;
  // The answer is read back whole and no further than this; /cache is small and shared.
  response_file_.setLimit(static_cast<int64_t>(kAnswerFileMax));
  // The handle already speaks http and https only (NewTransfer()).
  CurlOptions options(curl_.get());
  firstStageOptions(options)
      .set(CURLOPT_POST, 1L)
      .set(CURLOPT_POSTFIELDS, post_body_.c_str())
      .set(CURLOPT_POSTFIELDSIZE, static_cast<long>(strlen(post_body_.c_str())));
  return response_file_.attach(options).result();
}

int AddressInfo::OnExecuted() {
  LOG(DEBUG) << ">> AddressInfo::OnExecuted, url=" << printable(url_.url());
  // An answer that never reached the file cannot be decoded: the write is named
  // instead of letting the decoder blame the answer.
  return performTransfer(response_file_);
}

int AddressInfo::PostExecuted() {
  LOG(DEBUG) << ">> AddressInfo::PostExecuted";
  if (whichEnvironment() == "norvo" && SwitchIsOn(ENABLE_ANDROID_RESPONSE_FILE)) {
    std::string clear = open_file_and_readdata(CACHE_RESPONSE_ANDROID_UNCRYPTED);
    if (PostExecutedFinal(clear.c_str()) != 0) return CURLE_WRITE_ERROR;
    return SecureEvent::PostExecuted();
  }

  const char* path = RESPONSE_BODY_FILE.c_str();
  android::base::unique_fd fd(
      TEMP_FAILURE_RETRY(open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)));
  if (fd < 0) {
    int err = errno;
    printf("failed to open %s:%s(%d)\n", path, strerror(err), err);
    return CURLE_READ_ERROR;
  }
  std::string text;
  if (int rc = read_record_fd(fd.get(), kAnswerFileMax, &text); rc != 0) {
    int err = -rc;
    printf("failed to read %s:%s(%d)\n", path, strerror(err), err);
    return CURLE_READ_ERROR;
  }
  if (!text.empty() && text.front() == '\n') text.erase(0, 1);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  // The body as the server sent it, which may be anything: escaped and on the
  // line of our own text, so that it cannot begin a line (a status line in the
  // command mode, say).
  printf(">> %lu bytes responsed: %s\n", static_cast<unsigned long>(text.size()),
         printable(text, kShownAnswerBytes).c_str());
  fflush(stdout);
  create_file_and_writedata(RESPONSE_ENCRYPTED_FILE, text);

  unsigned char* decoded_raw = nullptr;
  size_t decoded_len = 0;
  int rc = base64_decode(&decoded_raw, &decoded_len, text.c_str(), text.size());
  UniqueMalloc<unsigned char> decoded(decoded_raw);
  if (rc != 0) {
    printf("failed to use base64 to decode %s\n", path);
    return CURLE_READ_ERROR;
  }
  if (decoded_len > INT32_MAX) {
    printf("failed to use aes-128-cbc to decrypt %s\n", path);
    return CURLE_READ_ERROR;
  }
  unsigned char* clear_raw = nullptr;
  int32_t clear_len = 0;
  rc = AES_CBC_PKCS5Padding_Decrypt(PAYLOAD_KEY, &clear_raw, &clear_len, decoded.get(),
                                    static_cast<int32_t>(decoded_len));
  UniqueMalloc<unsigned char> clear(clear_raw);
  if (rc != 0) {
    printf("failed to use aes-128-cbc to decrypt %s\n", path);
    return CURLE_READ_ERROR;
  }
  std::string clear_text(reinterpret_cast<const char*>(clear.get()), clear_len);
  create_file_and_writedata(RESPONSE_UNCRYPTED_FILE, clear_text);
  LOG(DEBUG) << ">> AddressInfo clear response \"" << RESPONSE_UNCRYPTED_FILE
             << "\": " << printable(clear_text, kShownAnswerBytes);
  if (PostExecutedFinal(clear_text.c_str()) != 0) return CURLE_WRITE_ERROR;
  return SecureEvent::PostExecuted();
}

int AddressInfo::PostExecutedFinal(const char* answer) {
  JsonPtr tree(cJSON_Parse(answer));
  const cJSON* latest = cJSON_GetObjectItemCaseSensitive(tree.get(), "LatestRom");
  cJSON_GetObjectItemCaseSensitive(tree.get(), "CrossRom");
  const cJSON* current = cJSON_GetObjectItemCaseSensitive(tree.get(), "CurrentRom");
  // Only an object can describe a ROM; an array (or a bare null, number or text)
  // offers nothing.
  bool offered = cJSON_IsObject(latest);
  bool current_missing = current == nullptr || cJSON_IsNull(current);

  if (driver_ != nullptr) driver_->rom_state = 2;
  if (offered) {
    if (driver_ != nullptr) driver_->rom_state = 0;
    // Offering a ROM whose record is not in place would send the download to a
    // stale or empty record: the check fails instead.
    return handle_latestrom_to_dir(JsonHandle(tree.release(), simple_free_json));
  }
  const std::string rule(36, '=');
  LOG(INFO) << rule;
  LOG(INFO) << ">> No available rom to update!!";
  LOG(INFO) << rule;
  FactMap facts;
  getVEXAVersion(facts);
  std::string version = facts.count("v") ? facts["v"] : std::string();
  if (current_missing) version += " (N/A)";
  // The records follow the download record area wherever the start-up put it.
  return write_record_entries(LATEST_ROM_DIR, {{KEY_CURR_VERSION, version}, {KEY_VERSION, "???"}});
}
