#include "request/install_gate.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using namespace install_gate;

class FakeProperties : public PropertyReader {
 public:
  explicit FakeProperties(std::map<std::string, std::string> values) : values_(values) {}
  bool Read(const std::string& name, std::string* value) const override {
    auto it = values_.find(name);
    if (it == values_.end() || it->second.empty()) return false;
    *value = it->second;
    return true;
  }

 private:
  std::map<std::string, std::string> values_;
};

const char kFingerprint[] = "norvo/vexa_one/vexa_one:10/QKQ1/V1.0.0:user/release-keys";

const std::map<std::string, std::string> kHandset = {
    {"ro.product.device", "vexa_one"},      {"ro.serialno", "a1b2c3"},
    {"ro.build.fingerprint", kFingerprint}, {"ro.build.version.incremental", "V1.0.0"},
    {"debug.build_version", "V0.9.0"},      {"ro.build.date.utc", "1600000000"},
};

// A package for the handset above: this device, a newer build.
const std::string kFits = "ota-type=BLOCK\npre-device=vexa_one\npost-timestamp=1700000000\n";

struct Case {
  const char* name;
  std::string metadata;
  std::map<std::string, std::string> handset_changes;  // "" unsets
  // Empty: the package fits. Otherwise the refusal as logged.
  std::string refusal;
};

std::map<std::string, std::string> Handset(const Case& c) {
  std::map<std::string, std::string> values = kHandset;
  for (const auto& change : c.handset_changes) values[change.first] = change.second;
  return values;
}

class GateRules : public testing::TestWithParam<Case> {};

TEST_P(GateRules, DecidesAndNamesKeyAndBothValues) {
  const Case& c = GetParam();
  Verdict verdict;
  Status fit = Check(c.metadata, FakeProperties(Handset(c)), &verdict);
  if (c.refusal.empty()) {
    EXPECT_TRUE(fit.ok()) << fit.reason;
  } else {
    EXPECT_FALSE(fit.ok());
    EXPECT_EQ(c.refusal, Describe(verdict));
    // The status carries the same text, which the install logs.
    EXPECT_EQ(c.refusal, fit.reason);
    // A rollback is what the handset's own build time refuses, not a handset
    // that cannot tell its build time.
    bool rollback = c.refusal.rfind("post-timestamp: ", 0) == 0 &&
                    c.refusal.find("the handset's is") == std::string::npos;
    EXPECT_EQ(rollback, fit.code == Fit::kRollback) << c.refusal;
  }
}

const std::string kOlder = "ota-type=BLOCK\npre-device=vexa_one\npost-timestamp=1500000000\n";
const std::string kPreBuild = std::string("pre-build=other|") + kFingerprint + "\n";

INSTANTIATE_TEST_SUITE_P(
    Table, GateRules,
    testing::Values(
        Case{"Fits", kFits, {}, ""},
        Case{"SameBuildMayBeReinstalled",
             "ota-type=BLOCK\npre-device=vexa_one\npost-timestamp=1600000000\n",
             {},
             ""},
        Case{"BlanksAndCarriageReturnsAroundKeysAndValues",
             " ota-type = BLOCK \r\n\tpre-device=vexa_one\r\npost-timestamp= 1700000000\r\n",
             {},
             ""},
        Case{"AbPackage",
             "ota-type=AB\npre-device=vexa_one\npost-timestamp=1700000000\n",
             {},
             "ota-type: package \"AB\", handset \"BLOCK\" (this agent installs BLOCK packages "
             "only)"},
        Case{"NoOtaType",
             "pre-device=vexa_one\npost-timestamp=1700000000\n",
             {},
             "ota-type: package (none), handset \"BLOCK\" (this agent installs BLOCK packages "
             "only)"},
        Case{"OtaTypeIsCaseSensitive",
             "ota-type=block\npre-device=vexa_one\npost-timestamp=1700000000\n",
             {},
             "ota-type: package \"block\", handset \"BLOCK\" (this agent installs BLOCK "
             "packages only)"},
        Case{"OtherDevice",
             "ota-type=BLOCK\npre-device=vexa_two\npost-timestamp=1700000000\n",
             {},
             "pre-device: package \"vexa_two\", handset ro.product.device \"vexa_one\" (made "
             "for another device)"},
        Case{"DeviceList",
             "ota-type=BLOCK\npre-device=vexa_two, vexa_one\npost-timestamp=1700000000\n",
             {},
             ""},
        Case{"DeviceListWithoutThisDevice",
             "ota-type=BLOCK\npre-device=vexa_two,vexa_one_pro,\npost-timestamp=1700000000\n",
             {},
             "pre-device: package \"vexa_two,vexa_one_pro,\", handset ro.product.device "
             "\"vexa_one\" (made for another device)"},
        Case{"DevicePrefixIsNotTheDevice",
             "ota-type=BLOCK\npre-device=vexa\npost-timestamp=1700000000\n",
             {},
             "pre-device: package \"vexa\", handset ro.product.device \"vexa_one\" (made for "
             "another device)"},
        Case{"NoPreDevice",
             "ota-type=BLOCK\npost-timestamp=1700000000\n",
             {},
             "pre-device: package (none), handset ro.product.device \"vexa_one\" (made for "
             "another device)"},
        Case{"HandsetDeviceUnset",
             kFits,
             {{"ro.product.device", ""}},
             "pre-device: package \"vexa_one\", handset ro.product.device (unset) (the "
             "handset's is unset)"},
        Case{"SerialMatches", kFits + "serialno=a1b2c3\n", {}, ""},
        Case{"EmptySerialNamesNoHandset", kFits + "serialno=\n", {}, ""},
        Case{"OtherSerial",
             kFits + "serialno=zzz\n",
             {},
             "serialno: package \"zzz\", handset ro.serialno \"a1b2c3\" (made for another "
             "handset)"},
        Case{"SerialButHandsetHasNone",
             kFits + "serialno=a1b2c3\n",
             {{"ro.serialno", ""}},
             "serialno: package \"a1b2c3\", handset ro.serialno (unset) (made for another "
             "handset)"},
        Case{"PreBuildListNamesThisBuild", kFits + kPreBuild, {}, ""},
        Case{"PreBuildOfAnotherBuild",
             kFits + "pre-build=norvo/vexa_one:10/OLD\n",
             {},
             "pre-build: package \"norvo/vexa_one:10/OLD\", handset ro.build.fingerprint \"" +
                 std::string(kFingerprint) + "\" (made for another source build)"},
        Case{"PreBuildButHandsetHasNoFingerprint",
             kFits + kPreBuild,
             {{"ro.build.fingerprint", ""}},
             "pre-build: package \"other|" + std::string(kFingerprint) +
                 "\", handset ro.build.fingerprint (unset) (made for another source build)"},
        Case{"IncrementalMatches", kFits + "pre-build-incremental=V1.0.0\n", {}, ""},
        // The update query's debug override is not what the handset runs.
        Case{"IncrementalOfTheDebugOverride",
             kFits + "pre-build-incremental=V0.9.0\n",
             {},
             "pre-build-incremental: package \"V0.9.0\", handset ro.build.version.incremental "
             "\"V1.0.0\" (made for another source build)"},
        Case{"Older",
             kOlder,
             {},
             "post-timestamp: package \"1500000000\", handset ro.build.date.utc \"1600000000\" "
             "(older than this build)"},
        Case{"OlderWithDowngradeButNoPreBuild",
             kOlder + "ota-downgrade=yes\n",
             {},
             "post-timestamp: package \"1500000000\", handset ro.build.date.utc \"1600000000\" "
             "(a downgrade (ota-downgrade=yes) needs a pre-build that names this build)"},
        Case{"OlderWithDowngradeFromThisBuild", kOlder + "ota-downgrade=yes\n" + kPreBuild, {}, ""},
        Case{"DowngradeMustSayYes",
             kOlder + "ota-downgrade=Yes\n" + kPreBuild,
             {},
             "post-timestamp: package \"1500000000\", handset ro.build.date.utc \"1600000000\" "
             "(older than this build)"},
        Case{"NoTimestampCountsAsOlder",
             "ota-type=BLOCK\npre-device=vexa_one\n",
             {},
             "post-timestamp: package (none), handset ro.build.date.utc \"1600000000\" (not a "
             "decimal number: counts as older)"},
        Case{"UnreadableTimestampCountsAsOlder",
             "ota-type=BLOCK\npre-device=vexa_one\npost-timestamp=+1700000000\n",
             {},
             "post-timestamp: package \"+1700000000\", handset ro.build.date.utc \"1600000000\" "
             "(not a decimal number: counts as older)"},
        Case{"OverlongTimestampCountsAsOlder",
             "ota-type=BLOCK\npre-device=vexa_one\npost-timestamp=99999999999999999999\n",
             {},
             "post-timestamp: package \"99999999999999999999\", handset ro.build.date.utc "
             "\"1600000000\" (not a decimal number: counts as older)"},
        Case{"UnreadableTimestampWithDowngradeFromThisBuild",
             "ota-type=BLOCK\npre-device=vexa_one\npost-timestamp=soon\nota-downgrade=yes\n" +
                 kPreBuild,
             {},
             ""},
        Case{"HandsetBuildTimeUnset",
             kFits,
             {{"ro.build.date.utc", ""}},
             "post-timestamp: package \"1700000000\", handset ro.build.date.utc (unset) (the "
             "handset's is unset)"},
        Case{"HandsetBuildTimeNotANumber",
             kFits,
             {{"ro.build.date.utc", "yesterday"}},
             "post-timestamp: package \"1700000000\", handset ro.build.date.utc \"yesterday\" "
             "(the handset's is not a decimal number)"},
        Case{"DuplicateKey",
             kFits + "pre-device=vexa_two\n",
             {},
             "pre-device: package \"vexa_two\" (named twice, first as \"vexa_one\")"},
        Case{"DuplicateKeyWithTheSameValue",
             kFits + "ota-type=BLOCK\n",
             {},
             "ota-type: package \"BLOCK\" (named twice, first as \"BLOCK\")"},
        Case{"ControlBytesAreEscapedInTheLog",
             "ota-type=BLOCK\npre-device=vexa\x1b[2J\"\\\npost-timestamp=1700000000\n",
             {},
             "pre-device: package \"vexa\\x1b[2J\\\"\\\\\", handset ro.product.device "
             "\"vexa_one\" (made for another device)"},
        Case{"KeyWithControlBytesIsRefusedAndEscaped",
             kFits + "ota\x1b]0;x\x07=1\nota\x1b]0;x\x07=2\n",
             {},
             "ota\\x1b]0;x\\x07: package \"1\" (the key holds a control byte)"},
        // Blanks that other parsers trim are trimmed here too: a key with one of
        // them beside it is the same key, named twice.
        Case{"KeyNamedTwiceBesideAVerticalTab",
             kFits + "\vota-type=AB\n",
             {},
             "ota-type: package \"AB\" (named twice, first as \"BLOCK\")"},
        Case{"KeyNamedTwiceBesideAFormFeed",
             kFits + "pre-device\f = vexa_two\f\r\n",
             {},
             "pre-device: package \"vexa_two\" (named twice, first as \"vexa_one\")"},
        Case{"KeyAfterAByteOrderMark",
             "\xef\xbb\xbf" + kFits,
             {},
             "\\xef\\xbb\\xbfota-type: package \"BLOCK\" (the key holds a byte-order mark)"},
        Case{"KeyWithANoBreakSpace",
             kFits + "serialno\xc2\xa0=zzz\n",
             {},
             "serialno\\xc2\\xa0: package \"zzz\" (the key holds a byte outside ASCII)"},
        Case{"KeyWithDelete",
             kFits + "serial\x7fno=zzz\n",
             {},
             "serial\\x7fno: package \"zzz\" (the key holds a control byte)"},
        Case{"EmptyMetadata",
             "",
             {},
             "ota-type: package (none), handset \"BLOCK\" (this agent installs BLOCK packages "
             "only)"}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(GateParser, SkipsLinesWithoutKeyOrEqualsAndSplitsAtTheFirstEquals) {
  Metadata metadata;
  Verdict refusal;
  ASSERT_TRUE(
      ParseMetadata("\n# a note\n=orphan\n  \nkey=a=b\nlast=no line end", &metadata, &refusal)
          .ok());
  EXPECT_EQ(Metadata({{"key", "a=b"}, {"last", "no line end"}}), metadata);
}

TEST(GateParser, TrimsTheSameBlanksAroundKeysValuesAndListItems) {
  Metadata metadata;
  Verdict refusal;
  ASSERT_TRUE(ParseMetadata("\v\f key \t\r=\f\v a b \r\v\n", &metadata, &refusal).ok());
  EXPECT_EQ(Metadata({{"key", "a b"}}), metadata);
  // A list item with those blanks around it still names the handset's device.
  const std::string listed =
      "ota-type=\vBLOCK\f\npre-device=vexa_two ,\f\vvexa_one\v\t\npost-timestamp=\f1700000000\n";
  EXPECT_TRUE(Check(listed, FakeProperties(kHandset)).ok());
}

TEST(GateParser, RefusesNulOversizedAndTooManyKeys) {
  Metadata metadata;
  Verdict refusal;
  EXPECT_FALSE(ParseMetadata(std::string("ota-type=BLOCK\0\n", 16), &metadata, &refusal).ok());
  EXPECT_EQ("META-INF/com/android/metadata: package (none) (holds a NUL byte)", Describe(refusal));
  std::string big = "x=" + std::string(kMaxMetadataSize - 2, 'y');
  EXPECT_TRUE(ParseMetadata(big, &metadata, &refusal).ok());
  EXPECT_FALSE(ParseMetadata(big + "y", &metadata, &refusal).ok());
  EXPECT_EQ("META-INF/com/android/metadata: package (none) (larger than 64 KiB)",
            Describe(refusal));
  std::string many;
  for (size_t i = 0; i < kMaxMetadataKeys; ++i) many += "k" + std::to_string(i) + "=v\n";
  EXPECT_TRUE(ParseMetadata(many, &metadata, &refusal).ok());
  EXPECT_FALSE(ParseMetadata(many + "one=more\n", &metadata, &refusal).ok());
  EXPECT_EQ("META-INF/com/android/metadata: package (none) (more than 256 keys)",
            Describe(refusal));
}

TEST(GateParser, LongValuesAreCutInTheLog) {
  Verdict verdict;
  Status fit = Check("ota-type=" + std::string(300, 'A'), FakeProperties(kHandset), &verdict);
  EXPECT_EQ(Fit::kNotForThisHandset, fit.code);
  EXPECT_EQ("ota-type: package \"" + std::string(128, 'A') +
                "...\", handset \"BLOCK\" (this agent installs BLOCK packages only)",
            Describe(verdict));
}

TEST(GateParser, TimestampsAreDecimalOnly) {
  uint64_t value = 0;
  EXPECT_TRUE(ParseTimestamp("0", &value));
  EXPECT_EQ(0u, value);
  EXPECT_TRUE(ParseTimestamp("9999999999999999999", &value));
  EXPECT_EQ(9999999999999999999ULL, value);
  for (const char* bad : {"", "-1", "+1", " 1", "1 ", "0x10", "1e9", "1.5"}) {
    EXPECT_FALSE(ParseTimestamp(bad, &value)) << bad;
  }
}

TEST(GateVerdict, TellsWhatTheFittingPackageFits) {
  Verdict verdict;
  ASSERT_TRUE(Check(kFits, FakeProperties(kHandset), &verdict).ok());
  EXPECT_EQ("vexa_one", verdict.device);
  EXPECT_EQ(1700000000u, verdict.package_time);
  EXPECT_EQ(1600000000u, verdict.handset_time);
  EXPECT_FALSE(verdict.downgrade);
  ASSERT_TRUE(
      Check(kOlder + "ota-downgrade=yes\n" + kPreBuild, FakeProperties(kHandset), &verdict).ok());
  EXPECT_TRUE(verdict.downgrade);
}

}  // namespace
