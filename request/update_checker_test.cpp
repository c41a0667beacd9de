#include "request/update_checker.h"

#include <android-base/file.h>
#include <android-base/strings.h>
#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "norvo_config.h"
#include "norvotools/norvo-update/dir2url.h"
#include "norvotools/norvo-zel/payload_cipher.h"
#include "tests/support/test_support.h"

namespace {

// Each test gets an empty property store of its own and its own place for the
// clear query file.
class UpdateCheckerTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_request_file_ = REQUEST_UNCRYPTED_FILE;
    work_ = std::make_unique<TemporaryDir>();
    REQUEST_UNCRYPTED_FILE = std::string(work_->path) + "/request.uncrypted";
  }
  void TearDown() override { REQUEST_UNCRYPTED_FILE = saved_request_file_; }

  void set(const std::string& name, const std::string& value) {
    ASSERT_TRUE(android::base::WriteStringToFile(value, props_.path() + "/" + name));
  }

  // Runs a collector, returning its result, the printed text and the map.
  int run(int (*collector)(FactMap&), FactMap& facts, std::string* printed = nullptr) {
    testing::internal::CaptureStdout();
    int rc = collector(facts);
    std::string said = testing::internal::GetCapturedStdout();
    if (printed) *printed = said;
    return rc;
  }

  // A collector that finds nothing: -1, `said` printed and no `key` in the map.
  void expectFailure(int (*collector)(FactMap&), const std::string& said, const std::string& key) {
    FactMap facts;
    std::string printed;
    EXPECT_EQ(-1, run(collector, facts, &printed));
    EXPECT_EQ(said, printed);
    EXPECT_EQ(0u, facts.count(key));
  }

  std::string value(int (*collector)(FactMap&), const std::string& key) {
    FactMap facts;
    run(collector, facts);
    auto it = facts.find(key);
    return it == facts.end() ? "<absent>" : it->second;
  }

  test_support::PropertyScope props_;
  std::unique_ptr<TemporaryDir> work_;
  std::string saved_request_file_;
};

TEST_F(UpdateCheckerTest, VersionsAndOverrides) {
  expectFailure(getVEXAVersion, "failed to get ro.build.version.incremental\n", "v");

  set("ro.build.version.incremental", std::string(91, '7'));
  EXPECT_EQ("VEXA-" + std::string(91, '7'), value(getVEXAVersion, "v"));
  set("debug.build_version", "V14.0.1.0.TEST");
  EXPECT_EQ("VEXA-V14.0.1.0.TEST", value(getVEXAVersion, "v"));

  set("ro.vexa.ui.version.name", "V140");
  EXPECT_EQ("140", value(getVEXABigVersion, "bv"));
  set("debug.vexa_version", "v15");
  expectFailure(getVEXABigVersion, "failed to get ro.vexa.ui.version.name\n", "bv");

  set("ro.build.version.release", "10");
  EXPECT_EQ("10", value(getCodeBase, "c"));
  set("ro.product.device", "dipper");
  set("ro.product.mod_device", "dipper_global");
  EXPECT_EQ("dipper", value(getDeviceName, "d"));
}

TEST_F(UpdateCheckerTest, ImeiDigestAndHashId) {
  FactMap facts;
  std::string printed;
  run(getImei, facts);
  EXPECT_EQ("null", facts["i"]);
  EXPECT_EQ(0, run(getHashId, facts, &printed));
  EXPECT_EQ("2be88ca4242c76e8", facts["hashId"]);  // SHA-1("null")
  EXPECT_EQ("getHashId call string_to_hex\n", printed);

  set("ro.ril.vexa.imei1", "abc");  // only the last of the three
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
            value(getImei, "i"));
  EXPECT_EQ("a9993e364706816a", value(getHashId, "hashId"));
  set("ro.ril.vexa.imei", "");
  set("ro.ril.vexa.imei0", "abcd");  // earlier name wins over imei1
  EXPECT_EQ("88d4266fd4e6338d13b845fcf289579d209c897823b9217da3e161936f031589",
            value(getImei, "i"));
}

TEST_F(UpdateCheckerTest, RootableAndLockState) {
  expectFailure(getRootable, "failed to get ro.debuggable\n", "isR");
  set("ro.debuggable", "0");
  EXPECT_EQ("0", value(getRootable, "isR"));
  for (const char* v : {"00", "false", "0 ", "1"}) {
    set("debug.debuggable", v);
    EXPECT_EQ("1", value(getRootable, "isR")) << v;
  }

  EXPECT_EQ("2", value(getDeviceLockState, "unlock"));  // unset: "unknown"
  set("ro.secureboot.lockstate", "locked");
  EXPECT_EQ("0", value(getDeviceLockState, "unlock"));
  set("debug.lockstate", "unlocked");
  EXPECT_EQ("1", value(getDeviceLockState, "unlock"));
  set("debug.lockstate", "LOCKED");
  EXPECT_EQ("2", value(getDeviceLockState, "unlock"));
}

TEST_F(UpdateCheckerTest, DensityBoundaries) {
  EXPECT_EQ("xhdpi", value(getDeviceDpi, "dpi"));
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"320", "xhdpi"},  {"321", "xxhdpi"},
      {"480", "xxhdpi"}, {"481", "xxxhdpi"},
      {"high", "xhdpi"}, {"440dpi", "xxhdpi"},
      {"-5", "xhdpi"},   {"99999999999999999999", "xxxhdpi"}};
  for (const auto& [density, expected] : cases) {
    set("ro.sf.lcd_density", density);
    EXPECT_EQ(expected, value(getDeviceDpi, "dpi")) << density;
  }
}

TEST_F(UpdateCheckerTest, LanguageAndRegion) {
  FactMap facts;
  std::string printed;
  EXPECT_EQ(-1, run(getLanguage, facts, &printed));
  EXPECT_EQ("failed to get ro.product.locale", printed);  // no line end, unlike the rest
  EXPECT_EQ(-1, run(getRegion, facts, &printed));
  EXPECT_EQ("failed to get ro.product.locale\n", printed);

  set("ro.product.locale", "zh-Hans-CN");
  EXPECT_EQ("zh-Hans-CN", value(getLanguage, "l"));
  EXPECT_EQ("Hans-CN", value(getRegion, "r"));
  set("ro.product.locale", "zh-CN");
  EXPECT_EQ("CN", value(getRegion, "r"));
  for (const char* bad : {"en", "-US", "en-"}) {
    SCOPED_TRACE(bad);
    set("ro.product.locale", bad);
    expectFailure(getRegion, "failed to get region.\n", "r");
  }
}

TEST_F(UpdateCheckerTest, BranchCarrierAbSerialZone) {
  EXPECT_EQ("X", value(getBranchCode, "b"));
  set("ro.build.type", "user");  // the vendor's stable test
  EXPECT_EQ("F", value(getBranchCode, "b"));
  set("debug.build_type", "Stable");  // the override wins, and is case-sensitive
  EXPECT_EQ("X", value(getBranchCode, "b"));
  set("debug.build_type", "stable");
  EXPECT_EQ("F", value(getBranchCode, "b"));

  EXPECT_EQ("", value(getCarrier, "n"));
  set("ro.carrier.name", "unicom");
  EXPECT_EQ("unicom", value(getCarrier, "n"));

  EXPECT_EQ("0", value(getABSystem, "ab"));
  set("ro.boot.slot_suffix", "_a");
  EXPECT_EQ("1", value(getABSystem, "ab"));

  FactMap facts;
  std::string printed;
  EXPECT_EQ(-1, run(getSerialNum, facts, &printed));
  EXPECT_EQ("failed to get Serial Number\n", printed);
  set("ro.serialno", "a1b2c3");
  EXPECT_EQ("a1b2c3", value(getSerialNum, "sn"));

  EXPECT_EQ(-1, run(getRomZone, facts, &printed));
  EXPECT_EQ("failed to get ro.rom.zone\n", printed);
  set("ro.rom.zone", "1");
  EXPECT_EQ("1", value(getRomZone, "zone"));

  // A second call replaces the first value.
  facts.clear();
  run(getCarrier, facts);
  set("ro.carrier.name", "cmcc");
  run(getCarrier, facts);
  EXPECT_EQ(1u, facts.size());
  EXPECT_EQ("cmcc", facts["n"]);
}

TEST_F(UpdateCheckerTest, SystemModifiedLog) {
  const std::string log = std::string(work_->path) + "/otad.log";
  FactMap facts;
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, getWhetherSystemModifiedFrom(log, facts));
  EXPECT_EQ("otad.log not existed\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ("0", facts["sys"]);

  struct Case {
    std::string content;
    const char* expected;
  } cases[] = {
      {"boot\nverify ok\n@system/bin/sh", "1"},  // the last line, without a line end
      {"a@b\n x\n", "0"},                        // an at sign inside a line
      {std::string(9000, 'x') + "\n", "0"},
      {std::string(5000, 'x') + "@inside-a-long-line\n", "0"},
      {"", "0"},
      {"\n\n@\n", "1"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(android::base::WriteStringToFile(c.content, log));
    FactMap f;
    EXPECT_EQ(0, getWhetherSystemModifiedFrom(log, f));
    EXPECT_EQ(c.expected, f["sys"]) << c.content.substr(0, 40);
  }

  // A FIFO in place of the log is not waited on.
  ASSERT_EQ(0, unlink(log.c_str()));
  ASSERT_EQ(0, mkfifo(log.c_str(), 0644));
  FactMap f;
  alarm(10);
  testing::internal::CaptureStdout();
  EXPECT_EQ(-1, getWhetherSystemModifiedFrom(log, f));
  testing::internal::GetCapturedStdout();
  alarm(0);
  EXPECT_EQ("0", f["sys"]);
}

std::set<std::string> keysOf(const cJSON* obj) {
  std::set<std::string> keys;
  for (const cJSON* item = obj->child; item; item = item->next) keys.insert(item->string);
  return keys;
}

const cJSON* lastMember(const cJSON* obj) {
  const cJSON* last = obj->child;
  while (last && last->next) last = last->next;
  return last;
}

TEST_F(UpdateCheckerTest, MinimalQueryHoldsOnlyTheFactsThatCannotFail) {
  if (access("/cache/otad/otad.log", F_OK) == 0) GTEST_SKIP() << "host has an otad.log";
  std::string query;
  testing::internal::CaptureStdout();
  getUpdateJsonMap(query);
  testing::internal::GetCapturedStdout();

  JsonPtr json(cJSON_Parse(query.c_str()));
  ASSERT_NE(nullptr, json) << query;
  EXPECT_EQ((std::set<std::string>{"i", "n", "sys", "unlock", "dpi", "b", "f", "hashId", "sid",
                                   "options"}),
            keysOf(json.get()));
  const cJSON* options = lastMember(json.get());
  ASSERT_STREQ("options", options->string);
  EXPECT_EQ((std::set<std::string>{"ab", "express"}), keysOf(options));
  EXPECT_STREQ("3001", cJSON_GetObjectItem(json.get(), "sid")->valuestring);
  EXPECT_STREQ("1", cJSON_GetObjectItem(json.get(), "f")->valuestring);
  EXPECT_STREQ("0", cJSON_GetObjectItem(options, "express")->valuestring);
  EXPECT_NE(std::string::npos, query.find("\n\t\"")) << "not the formatted printer";
}

TEST_F(UpdateCheckerTest, FullQueryAllMembersAsStrings) {
  const std::vector<std::pair<const char*, const char*>> props = {
      {"ro.build.version.incremental", "V14.0.2.0"},
      {"ro.vexa.ui.version.name", "V140"},
      {"ro.build.version.release", "10"},
      {"ro.product.device", "dipper"},
      {"ro.ril.vexa.imei", "861234567890123"},
      {"ro.product.locale", "zh-CN"},
      {"ro.carrier.name", "unicom"},
      {"ro.product.board", "sdm845"},
      {"ro.debuggable", "0"},
      {"ro.serialno", "f00d"},
      {"ro.secureboot.lockstate", "locked"},
      {"ro.sf.lcd_density", "440"},
      {"ro.rom.zone", "1"},
      {"ro.boot.slot_suffix", "_b"}};
  for (const auto& [name, v] : props) set(name, v);

  std::string query;
  testing::internal::CaptureStdout();
  getUpdateJsonMap(query);
  testing::internal::GetCapturedStdout();
  JsonPtr json(cJSON_Parse(query.c_str()));
  ASSERT_NE(nullptr, json);
  EXPECT_EQ(19u, keysOf(json.get()).size());
  for (const cJSON* item = json->child; item; item = item->next) {
    if (std::string(item->string) != "options") {
      EXPECT_TRUE(cJSON_IsString(item)) << item->string;
    }
  }
  EXPECT_STREQ("options", lastMember(json.get())->string);
  const cJSON* options = cJSON_GetObjectItem(json.get(), "options");
  EXPECT_EQ((std::set<std::string>{"zone", "ab", "express"}), keysOf(options));
}

std::string decodeQ(const std::string& q) {
  unsigned char* raw = nullptr;
  size_t raw_len = 0;
  testing::internal::CaptureStdout();
  int rc = base64_decode(&raw, &raw_len, q.data(), q.size());
  UniqueMalloc<unsigned char> raw_owner(raw);
  unsigned char* plain = nullptr;
  int32_t plain_len = 0;
  if (rc == 0) {
    rc = AES_CBC_PKCS5Padding_Decrypt(PAYLOAD_KEY, &plain, &plain_len, raw,
                                      static_cast<int32_t>(raw_len));
  }
  UniqueMalloc<unsigned char> plain_owner(plain);
  testing::internal::GetCapturedStdout();
  if (rc != 0) return "<undecodable>";
  return std::string(reinterpret_cast<char*>(plain), plain_len);
}

TEST_F(UpdateCheckerTest, UrlParamsCarryTheEncryptedQuery) {
  const std::string query = "{\n\t\"v\":\t\"VEXA-1\",\n\t\"\xe4\xb8\xad\":\t\"+/=\"\n}";
  FactMap fields;
  testing::internal::CaptureStdout();
  ASSERT_EQ(0, getUpdateUrlParams(query, "tt", 1, fields));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(3u, fields.size());
  EXPECT_EQ(query, decodeQ(fields["q"]));
  EXPECT_EQ("tt", fields["t"]);
  EXPECT_EQ("1", fields["s"]);

  std::string written;
  ASSERT_TRUE(android::base::ReadFileToString(REQUEST_UNCRYPTED_FILE, &written));
  EXPECT_EQ(query, written);

  testing::internal::CaptureStdout();
  getUpdateUrlParams(query, "", 2, fields);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ("2", fields["s"]);
}

TEST_F(UpdateCheckerTest, CheckUpdateInfoFillsFieldsAndHost) {
  FactMap fields;
  URLWrapper url{"ftp://", "old", "1.2.3.4", "/old"};
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, checkUpdateInfo(fields, url));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ("http://" NORVO_UPDATE_HOST "/updates/kootaV3.php", url.url());
  EXPECT_EQ("", url.address);
  EXPECT_EQ("", fields["t"]);
  EXPECT_EQ("1", fields["s"]);

  std::string written;
  ASSERT_TRUE(android::base::ReadFileToString(REQUEST_UNCRYPTED_FILE, &written));
  EXPECT_EQ(written, decodeQ(fields["q"]));

  set("ro.product.mod_device", "dipper_global");  // the vendor's international test
  testing::internal::CaptureStdout();
  checkUpdateInfo(fields, url);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ("http://" NORVO_UPDATE_HOST_INTL "/updates/kootaV3.php", url.url());
}

TEST(FormBody, EscapesValuesLikeLibcurl) {
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  CURL* curl = curl_easy_init();
  ASSERT_NE(nullptr, curl);
  char* escaped = curl_easy_escape(curl, all.data(), static_cast<int>(all.size()));
  ASSERT_NE(nullptr, escaped);
  const std::string expected = std::string("v=") + escaped;
  curl_free(escaped);
  curl_easy_cleanup(curl);

  EXPECT_EQ(expected, buildFormBody({{"v", all}}));
  EXPECT_EQ("q=ab%2Bc%2Fd%3D%3D", buildFormBody({{"q", "ab+c/d=="}}));
  EXPECT_EQ("t=", buildFormBody({{"t", ""}}));
  EXPECT_EQ("", buildFormBody({}));
}

TEST(FormBody, JoinsFieldsInMapOrderWithoutTrailingSeparator) {
  const FactMap fields = {{"q", "A+/="}, {"t", ""}, {"s", "1"}};
  const std::string body = buildFormBody(fields);
  std::vector<std::string> parts = android::base::Split(body, "&");
  ASSERT_EQ(3u, parts.size()) << body;
  const std::map<std::string, std::string> want = {
      {"q", "q=A%2B%2F%3D"}, {"t", "t="}, {"s", "s=1"}};
  size_t i = 0;
  for (const auto& field : fields) EXPECT_EQ(want.at(field.first), parts[i++]);
}

}  // namespace
