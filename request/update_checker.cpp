#define LOG_TAG "update_checker"

#include "request/update_checker.h"

#include <android-base/logging.h>
#include <android-base/unique_fd.h>
#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <cutils/properties.h>
#include <fcntl.h>
#include <openssl/sha.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "norvo_config.h"
#include "norvotools/norvo-root/scoped.h"
#include "norvotools/norvo-root/secure_mount.h"
#include "norvotools/norvo-update/dir2url.h"
#include "norvotools/norvo-zel/payload_cipher.h"
#include "request/vendor/norvo_property.h"

namespace {

constexpr const char kOtadLog[] = "/cache/otad/otad.log";
constexpr const char kUpdatePath[] = "/updates/kootaV3.php";

// A property value as the platform hands it out: a zero-filled buffer of the maximum
// value size, the length returned.
struct Prop {
  char value[PROPERTY_VALUE_MAX] = {};
  int len = 0;
};

Prop readProp(const char* name, const char* def = "") {
  Prop p;
  p.len = property_get(name, p.value, def);
  return p;
}

// The first of several names that yields a non-empty value (the last may be empty).
Prop readFirstProp(std::initializer_list<const char*> names) {
  Prop p;
  for (const char* name : names) {
    p = readProp(name);
    if (p.len > 0) break;
  }
  return p;
}

// The first of `names` that yields a value; when none does, the fact cannot be
// given: "failed to get `shown`" and `end` on stdout, and false.
bool requiredProp(std::initializer_list<const char*> names, const char* shown, Prop* p,
                  const char* end = "\n") {
  *p = readFirstProp(names);
  if (p->len > 0) return true;
  printf("failed to get %s%s", shown, end);
  return false;
}

// A fact that is a property's value as it stands: 0, or -1 as requiredProp() fails.
int copiedFact(FactMap& facts, const char* key, std::initializer_list<const char*> names,
               const char* shown, const char* end = "\n") {
  Prop p;
  if (!requiredProp(names, shown, &p, end)) return -1;
  facts[key] = p.value;
  return 0;
}

// The raw IMEI, or "" when no IMEI property is set.
std::string imeiValue() {
  Prop p = readFirstProp({"ro.ril.vexa.imei", "ro.ril.vexa.imei0", "ro.ril.vexa.imei1"});
  return std::string(p.value, p.len);
}

cJSON* jsonFromFacts(const FactMap& facts) {
  cJSON* obj = cJSON_CreateObject();
  for (const auto& [key, value] : facts) {
    cJSON_AddItemToObject(obj, key.c_str(), cJSON_CreateString(value.c_str()));
  }
  return obj;
}

// Every byte except ASCII letters, digits and -._~ becomes %XX; "" when libcurl
// has no memory for it.
std::string urlEscape(const std::string& in) {
  if (in.empty()) return std::string();  // a length of 0 would make libcurl use strlen()
  std::unique_ptr<char, ReleaseWith<curl_free>> escaped(
      curl_easy_escape(nullptr, in.data(), static_cast<int>(in.size())));
  return escaped ? std::string(escaped.get()) : std::string();
}

std::string fieldOf(const FactMap& fields, const std::string& name) {
  auto it = fields.find(name);
  return it == fields.end() ? std::string() : it->second;
}

}  // namespace

int getVEXAVersion(FactMap& facts) {
  Prop p;
  if (!requiredProp({"debug.build_version", "ro.build.version.incremental"},
                    "ro.build.version.incremental", &p))
    return -1;
  facts["v"] = std::string("VEXA-") + p.value;
  return 0;
}

int getVEXABigVersion(FactMap& facts) {
  Prop p = readFirstProp({"debug.vexa_version", "ro.vexa.ui.version.name"});
  if (p.len == 0 || p.value[0] != 'V') {
    printf("failed to get %s\n", "ro.vexa.ui.version.name");
    return -1;
  }
  facts["bv"] = std::string(p.value + 1);
  return 0;
}

int getCodeBase(FactMap& facts) {
  return copiedFact(facts, "c", {"debug.android_version", "ro.build.version.release"},
                    "ro.build.version.release");
}

int getDeviceName(FactMap& facts) {
  return copiedFact(facts, "d", {"ro.product.device", "ro.product.mod_device"},
                    "ro.product.device");
}

int getImei(FactMap& facts) {
  const std::string imei = imeiValue();
  if (imei.empty()) {
    facts["i"] = "null";
    return 0;
  }
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const uint8_t*>(imei.data()), imei.size(), digest);
  facts["i"] = hex_string(digest, sizeof(digest));
  return 0;
}

int getRootable(FactMap& facts) {
  Prop p;
  if (!requiredProp({"debug.debuggable", "ro.debuggable"}, "ro.debuggable", &p)) return -1;
  facts["isR"] = strcmp(p.value, "0") == 0 ? "0" : "1";
  return 0;
}

int getCarrier(FactMap& facts) {
  Prop p = readProp("ro.carrier.name", "");
  facts["n"] = p.value;
  return 0;
}

int getWhetherSystemModifiedFrom(const std::string& path, FactMap& facts) {
  if (access(path.c_str(), F_OK) != 0) {
    printf("otad.log not existed\n");
    facts["sys"] = "0";
    return 0;
  }
  // Only a regular file is read, and the open never waits: a FIFO in its place
  // would otherwise stop the update check.
  android::base::unique_fd fd(
      TEMP_FAILURE_RETRY(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)));
  struct stat st;
  UniqueFile fp;
  if (fd != -1 && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) {
    fp = StreamOver(fd, "re");
  }
  if (!fp) {
    printf("E: failed to open %s\n", "otad.log");
    facts["sys"] = "0";
    return -1;
  }
  // getline keeps long lines whole, so an at sign deep inside a line never passes for
  // the start of one.
  std::string modified = "0";
  char* line = nullptr;
  size_t cap = 0;
  while (getline(&line, &cap, fp.get()) >= 0) {
    if (line[0] == '@') {
      modified = "1";
      break;
    }
  }
  free(line);
  facts["sys"] = modified;
  return 0;
}

int getWhetherSystemModified(FactMap& facts) {
  return getWhetherSystemModifiedFrom(kOtadLog, facts);
}

int getDeviceLockState(FactMap& facts) {
  Prop p = readProp("debug.lockstate");
  if (p.len == 0) p = readProp("ro.secureboot.lockstate", "unknown");
  if (strcmp(p.value, "locked") == 0) {
    facts["unlock"] = "0";
  } else if (strcmp(p.value, "unlocked") == 0) {
    facts["unlock"] = "1";
  } else {
    facts["unlock"] = "2";
  }
  return 0;
}

int getABSystem(FactMap& facts) {
  Prop p = readProp("ro.boot.slot_suffix");
  facts["ab"] = p.len > 0 ? "1" : "0";
  return 0;
}

int getProductBoard(FactMap& facts) {
  return copiedFact(facts, "p", {"ro.product.board"}, "ro.product.board");
}

int getSerialNum(FactMap& facts) {
  UniqueMalloc<char> serial(static_cast<char*>(calloc(PROPERTY_VALUE_MAX, 1)));
  if (getDeviceSerial(serial.get()) != 0) {
    printf("failed to get Serial Number\n");
    return -1;
  }
  // The vendor call promises a terminated text; never read past the buffer regardless.
  facts["sn"] = std::string(serial.get(), strnlen(serial.get(), PROPERTY_VALUE_MAX));
  return 0;
}

int getRomZone(FactMap& facts) { return copiedFact(facts, "zone", {"ro.rom.zone"}, "ro.rom.zone"); }

int getHashId(FactMap& facts) {
  std::string imei = imeiValue();
  if (imei.empty()) imei = "null";
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const uint8_t*>(imei.data()), imei.size(), digest);
  printf("%s call string_to_hex\n", "getHashId");
  facts["hashId"] = hex_string(digest, sizeof(digest)).substr(0, 16);
  return 0;
}

int getLanguage(FactMap& facts) {
  return copiedFact(facts, "l", {"ro.product.locale"}, "ro.product.locale", "");
}

int getRegion(FactMap& facts) {
  Prop p;
  if (!requiredProp({"ro.product.locale"}, "ro.product.locale", &p)) return -1;
  // Both parts fit: neither can be longer than the value itself.
  char language[PROPERTY_VALUE_MAX] = {};
  char region[PROPERTY_VALUE_MAX] = {};
  if (sscanf(p.value, "%[^-]-%[^\n]", language, region) != 2) {
    printf("failed to get region.\n");
    return -1;
  }
  facts["r"] = region;
  return 0;
}

int getDeviceDpi(FactMap& facts) {
  Prop p = readProp("ro.sf.lcd_density", "0");
  // strtol rather than atoi: same leading-digits reading, but defined on overflow.
  const long density = strtol(p.value, nullptr, 10);
  if (density <= 320) {
    facts["dpi"] = "xhdpi";
  } else if (density <= 480) {
    facts["dpi"] = "xxhdpi";
  } else {
    facts["dpi"] = "xxxhdpi";
  }
  return 0;
}

int getBranchCode(FactMap& facts) {
  Prop p = readProp("debug.build_type");
  const bool stable = p.len > 0 ? strcmp(p.value, "stable") == 0 : isStableVersion();
  facts["b"] = stable ? "F" : "X";
  return 0;
}

void getUpdateJsonMap(std::string& out) {
  FactMap facts;
  facts.max_load_factor(1.0);
  getVEXAVersion(facts);
  getVEXABigVersion(facts);
  getCodeBase(facts);
  getDeviceName(facts);
  getImei(facts);
  getBranchCode(facts);
  getLanguage(facts);
  getRegion(facts);
  getCarrier(facts);
  getProductBoard(facts);
  getRootable(facts);
  getSerialNum(facts);
  getWhetherSystemModified(facts);
  getDeviceLockState(facts);
  getDeviceDpi(facts);
  facts["f"] = "1";
  getHashId(facts);
  facts["sid"] = "3001";

  JsonPtr root(jsonFromFacts(facts));

  FactMap options;
  options.max_load_factor(1.0);
  getRomZone(options);
  getABSystem(options);
  options["express"] = "0";
  cJSON_AddItemToObject(root.get(), "options", jsonFromFacts(options));

  JsonText printed(cJSON_Print(root.get()));
  out = printed ? printed.get() : "";
}

int getUpdateUrlParams(const std::string& query, std::string&& t, int selector, FactMap& fields) {
  // Written before encryption so the clear query is there even when encryption fails.
  create_file_and_writedata(REQUEST_UNCRYPTED_FILE, query);

  unsigned char* cipher = nullptr;
  int32_t cipher_len = 0;
  int rc = AES_CBC_PKCS5Padding_Encrypt(PAYLOAD_KEY, &cipher, &cipher_len,
                                        reinterpret_cast<const unsigned char*>(query.data()),
                                        static_cast<int32_t>(query.size()));
  UniqueMalloc<unsigned char> cipher_owner(cipher);
  if (rc != 0) return -1;

  char* encoded = nullptr;
  size_t encoded_len = 0;
  if (base64_encode(&encoded, &encoded_len, cipher, cipher_len) != 0) return -1;
  UniqueMalloc<char> encoded_owner(encoded);

  fields["q"] = encoded;
  fields["t"] = std::move(t);
  fields["s"] = selector == 1 ? "1" : "2";
  return 0;
}

int checkUpdateInfo(FactMap& fields, URLWrapper& url) {
  std::string query;
  getUpdateJsonMap(query);
  LOG(DEBUG) << "checkUpdateInfo: clear text to upload=" << query;

  getUpdateUrlParams(query, std::string(), 1, fields);
  // Looked up without inserting: after a failed encryption the map stays without fields.
  LOG(DEBUG) << "checkUpdateInfo: crypto text has [" << fieldOf(fields, "q") << "], ["
             << fieldOf(fields, "t") << "], [" << fieldOf(fields, "s") << "]";

  url.scheme = "http://";
  url.host = isInternationalVersion() ? NORVO_UPDATE_HOST_INTL : NORVO_UPDATE_HOST;
  url.address.clear();
  url.path = kUpdatePath;
  return 0;
}

std::string buildFormBody(const FactMap& fields) {
  std::string body;
  bool first = true;
  for (const auto& [name, value] : fields) {
    if (!first) body += '&';
    first = false;
    body += name;
    body += '=';
    body += urlEscape(value);
  }
  return body;
}
