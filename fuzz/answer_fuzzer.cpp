// The update answer path: Base64 text, AES-128-CBC ciphertext, the clear JSON and
// the ROM record it is written into. The first byte picks the layer the input
// stands for, so that mutations reach the JSON without forging ciphertext.
#include <android-base/file.h>
#include <cjson/cJSON.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "norvotools/norvo-root/scoped.h"
#include "norvotools/norvo-update/dir2url.h"
#include "norvotools/norvo-zel/payload_cipher.h"
#include "request/addressinfo.h"

namespace {

AddressInfo* Event() {
  static AddressInfo* event = new AddressInfo;  // one transfer handle for the whole run
  return event;
}

void PointRecordsAt(const std::string& root) {
  DOWNLOAD_DIR = root;
  LATEST_ROM_DIR = root + "/LatestRom";
  CROSS_ROM_DIR = root + "/CrossRom";
  CURRENT_ROM_LINK = root + "/CurrentRom";
  REQUEST_UNCRYPTED_FILE = root + "/request.uncrypted";
  REQUEST_ENCRYPTED_FILE = root + "/request.encrypted";
  RESPONSE_UNCRYPTED_FILE = root + "/response.uncrypted";
  RESPONSE_ENCRYPTED_FILE = root + "/response.encrypted";
  STATUS_FILE = root + "/status";
  UPDATE_PACKAGE_FILE = root + "/secure_update.zip";
  mkdir(LATEST_ROM_DIR.c_str(), 0755);
  mkdir(CROSS_ROM_DIR.c_str(), 0755);
}

// The clear answer into the ROM record, then the record back into a URL.
void Interpret(const std::string& clear) {
  unlink(CURRENT_ROM_LINK.c_str());
  Event()->PostExecutedFinal(clear.c_str());

  JsonPtr tree(cJSON_Parse(clear.c_str()));
  const cJSON* rom = cJSON_GetObjectItemCaseSensitive(tree.get(), "LatestRom");
  if (cJSON_IsObject(rom)) {
    // A string member must come back from its one-value file unchanged.
    const cJSON* version = cJSON_GetObjectItemCaseSensitive(rom, "version");
    if (cJSON_IsString(version)) {
      std::string stored;
      FUZZ_CHECK(android::base::ReadFileToString(LATEST_ROM_DIR + "/version", &stored));
      FUZZ_CHECK(stored == version->valuestring);
    }
    std::vector<std::string> parts = handle_rom_to_url(0);
    if (!parts.empty()) {
      FUZZ_CHECK(parts.size() == 3 && parts[0] == "http://");
      FUZZ_CHECK(parts[1].find('/') == std::string::npos);
      FUZZ_CHECK(!parts[2].empty() && parts[2][0] == '/');
    }
    getFileSize();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::Quiet();
  PointRecordsAt(fuzz_support::Dir().path());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const uint8_t layer = input.ConsumeIntegral<uint8_t>() % 3;
  std::string text = input.ConsumeRemainingBytesAsString();

  if (layer == 2) {
    // Clear JSON: encrypt and encode it as the server would, then take the whole
    // way back; the round trip must give the same bytes.
    unsigned char* cipher = nullptr;
    int32_t cipher_len = 0;
    FUZZ_CHECK(AES_CBC_PKCS5Padding_Encrypt(PAYLOAD_KEY, &cipher, &cipher_len,
                                            reinterpret_cast<const unsigned char*>(text.data()),
                                            static_cast<int32_t>(text.size())) == 0);
    UniqueMalloc<unsigned char> cipher_owner(cipher);
    FUZZ_CHECK(cipher_len > 0 && cipher_len % 16 == 0);
    char* encoded = nullptr;
    size_t encoded_len = 0;
    FUZZ_CHECK(base64_encode(&encoded, &encoded_len, cipher, cipher_len) == 0);
    UniqueMalloc<char> encoded_owner(encoded);
    // The reported length counts the terminator.
    FUZZ_CHECK(encoded_len > 0 && strlen(encoded) == encoded_len - 1);
    text.assign(encoded, encoded_len - 1);
  }

  std::string clear;
  if (layer == 1) {
    clear = text;  // already clear JSON
  } else {
    unsigned char* decoded = nullptr;
    size_t decoded_len = 0;
    int rc = base64_decode(&decoded, &decoded_len, text.c_str(), text.size());
    UniqueMalloc<unsigned char> decoded_owner(decoded);
    if (rc != 0) {
      FUZZ_CHECK(layer != 2);
      return 0;
    }
    if (decoded_len > INT32_MAX) return 0;
    unsigned char* plain = nullptr;
    int32_t plain_len = 0;
    rc = AES_CBC_PKCS5Padding_Decrypt(PAYLOAD_KEY, &plain, &plain_len, decoded,
                                      static_cast<int32_t>(decoded_len));
    UniqueMalloc<unsigned char> plain_owner(plain);
    if (rc != 0) {
      FUZZ_CHECK(layer != 2);
      return 0;
    }
    FUZZ_CHECK(plain_len >= 0 && static_cast<size_t>(plain_len) <= decoded_len);
    clear.assign(reinterpret_cast<const char*>(plain), plain_len);
    if (layer == 2) {
      FuzzedDataProvider again(data, size);
      again.ConsumeIntegral<uint8_t>();
      FUZZ_CHECK(clear == again.ConsumeRemainingBytesAsString());
    }
  }
  Interpret(clear);
  return 0;
}
