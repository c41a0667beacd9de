// The install gate (see install_gate.h).
#include "request/install_gate.h"

#include <android-base/properties.h>
#include <string.h>

#include <vector>

#include "norvotools/norvo-root/log_text.h"

namespace install_gate {
namespace {

// The blanks dropped around keys, values and list items, everywhere alike: what
// C's isspace() and libbase's Trim() drop besides the line feed that ends a
// line, so that no parser of the same text trims a key to another name than ours.
constexpr char kBlanks[] = " \t\r\v\f";
// Longest value the log repeats; the rest is cut with "...".
constexpr size_t kMaxShown = 128;

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(kBlanks);
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(kBlanks);
  return text.substr(begin, end - begin + 1);
}

std::vector<std::string> SplitList(const std::string& text, char separator) {
  std::vector<std::string> items;
  size_t start = 0;
  while (true) {
    size_t end = text.find(separator, start);
    items.push_back(Trim(text.substr(start, end == std::string::npos ? end : end - start)));
    if (end == std::string::npos) return items;
    start = end + 1;
  }
}

// Whether one non-empty item of the separated list equals want.
bool ListNames(const std::string& list, char separator, const std::string& want) {
  for (const std::string& item : SplitList(list, separator)) {
    if (!item.empty() && item == want) return true;
  }
  return false;
}

// Why a key may not be read as a name, or null when it may: a control byte or
// any byte outside ASCII (a byte-order mark, a no-break space, ...) is text that
// one parser trims or drops and another keeps, so two of them could read two
// different keys out of the same line.
const char* KeyFault(const std::string& key) {
  if (key.find("\xef\xbb\xbf") != std::string::npos) {
    return "the key holds a byte-order mark";
  }
  for (unsigned char c : key) {
    if (c < 0x20 || c == 0x7f) return "the key holds a control byte";
  }
  for (unsigned char c : key) {
    if (c >= 0x80) return "the key holds a byte outside ASCII";
  }
  return nullptr;
}

Value Lookup(const Metadata& metadata, const char* key) {
  Value value;
  auto it = metadata.find(key);
  if (it != metadata.end()) {
    value.present = true;
    value.text = it->second;
  }
  return value;
}

Value ReadProperty(const PropertyReader& props, const char* name) {
  Value value;
  value.present = props.Read(name, &value.text);
  if (!value.present) value.text.clear();
  return value;
}

// A refusal: what was compared into *out, and the status that says it.
Status Refuse(Verdict* out, Fit code, const char* key, const Value& package, const char* property,
              const Value& handset, const std::string& reason) {
  Verdict verdict;
  verdict.key = key;
  verdict.package = package;
  verdict.property = property;
  verdict.handset = handset;
  verdict.reason = reason;
  *out = verdict;
  return {code, Describe(verdict)};
}

std::string Escape(const std::string& text) { return printable(text, kMaxShown); }

std::string Show(const Value& value, const char* absent = "(none)") {
  if (!value.present) return absent;
  return "\"" + Escape(value.text) + "\"";
}

}  // namespace

bool SystemProperties::Read(const std::string& name, std::string* value) const {
  *value = android::base::GetProperty(name, "");
  return !value->empty();
}

bool ParseTimestamp(const std::string& text, uint64_t* out) {
  if (text.empty() || text.size() > 19 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  uint64_t value = 0;
  for (char c : text) value = value * 10 + static_cast<uint64_t>(c - '0');
  *out = value;
  return true;
}

Status ParseMetadata(const std::string& text, Metadata* out, Verdict* refusal) {
  Verdict unused;
  if (refusal == nullptr) refusal = &unused;
  out->clear();
  auto refuse = [refusal](const std::string& key, const Value& value, const std::string& reason) {
    return Refuse(refusal, Fit::kNotForThisHandset, key.c_str(), value, "", Value(), reason);
  };
  if (text.size() > kMaxMetadataSize) {
    return refuse(kMetadataEntry, Value(), "larger than 64 KiB");
  }
  if (memchr(text.data(), '\0', text.size()) != nullptr) {
    return refuse(kMetadataEntry, Value(), "holds a NUL byte");
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = Trim(line.substr(0, eq));
    if (key.empty()) continue;
    Value value{true, Trim(line.substr(eq + 1))};
    if (const char* fault = KeyFault(key)) return refuse(key, value, fault);
    auto inserted = out->emplace(key, value.text);
    if (!inserted.second) {
      // Tools that take the first and tools that take the last would read
      // two different packages out of one.
      return refuse(key, value,
                    "named twice, first as " + Show(Value{true, inserted.first->second}));
    }
    if (out->size() > kMaxMetadataKeys) {
      return refuse(kMetadataEntry, Value(), "more than 256 keys");
    }
  }
  return Fit::kFits;
}

Status Check(const std::string& metadata_text, const PropertyReader& props, Verdict* out) {
  Verdict unused;
  Verdict* verdict = out != nullptr ? out : &unused;
  *verdict = Verdict();
  Metadata metadata;
  Status parsed = ParseMetadata(metadata_text, &metadata, verdict);
  if (!parsed.ok()) return parsed;
  auto refuse = [verdict](const char* key, const Value& package, const char* property,
                          const Value& handset, const std::string& reason) {
    return Refuse(verdict, Fit::kNotForThisHandset, key, package, property, handset, reason);
  };
  auto rollback = [verdict](const char* key, const Value& package, const char* property,
                            const Value& handset, const std::string& reason) {
    return Refuse(verdict, Fit::kRollback, key, package, property, handset, reason);
  };

  // This agent hands the package to its own updater program: a block-based
  // package. An A/B payload needs the platform's update engine.
  const Value ota_type = Lookup(metadata, "ota-type");
  if (!ota_type.present || ota_type.text != "BLOCK") {
    return refuse("ota-type", ota_type, "", Value{true, "BLOCK"},
                  "this agent installs BLOCK packages only");
  }

  const Value device = ReadProperty(props, kDeviceProperty);
  const Value pre_device = Lookup(metadata, "pre-device");
  if (!device.present) {
    return refuse("pre-device", pre_device, kDeviceProperty, device, "the handset's is unset");
  }
  if (!pre_device.present || !ListNames(pre_device.text, ',', device.text)) {
    return refuse("pre-device", pre_device, kDeviceProperty, device, "made for another device");
  }

  const Value serial = Lookup(metadata, "serialno");
  if (serial.present && !serial.text.empty()) {
    const Value handset = ReadProperty(props, kSerialProperty);
    if (!handset.present || handset.text != serial.text) {
      return refuse("serialno", serial, kSerialProperty, handset, "made for another handset");
    }
  }

  const Value pre_build = Lookup(metadata, "pre-build");
  const bool names_this_build = pre_build.present && !pre_build.text.empty();
  if (names_this_build) {
    const Value handset = ReadProperty(props, kFingerprintProperty);
    if (!handset.present || !ListNames(pre_build.text, '|', handset.text)) {
      return refuse("pre-build", pre_build, kFingerprintProperty, handset,
                    "made for another source build");
    }
  }

  // The build's own property, not the debug override the update query sends:
  // what is installed is what the package patches.
  const Value pre_incremental = Lookup(metadata, "pre-build-incremental");
  if (pre_incremental.present && !pre_incremental.text.empty()) {
    const Value handset = ReadProperty(props, kIncrementalProperty);
    if (!handset.present || handset.text != pre_incremental.text) {
      return refuse("pre-build-incremental", pre_incremental, kIncrementalProperty, handset,
                    "made for another source build");
    }
  }

  const Value post_timestamp = Lookup(metadata, "post-timestamp");
  const Value build_time = ReadProperty(props, kBuildTimeProperty);
  uint64_t handset_time = 0;
  if (!build_time.present || !ParseTimestamp(build_time.text, &handset_time)) {
    return refuse(
        "post-timestamp", post_timestamp, kBuildTimeProperty, build_time,
        build_time.present ? "the handset's is not a decimal number" : "the handset's is unset");
  }
  uint64_t package_time = 0;
  // A missing or unreadable time counts as older: it cannot prove otherwise.
  bool readable = post_timestamp.present && ParseTimestamp(post_timestamp.text, &package_time);
  bool older = !readable || package_time < handset_time;
  if (older) {
    const Value downgrade = Lookup(metadata, "ota-downgrade");
    if (!downgrade.present || downgrade.text != "yes") {
      return rollback("post-timestamp", post_timestamp, kBuildTimeProperty, build_time,
                      readable ? "older than this build" : "not a decimal number: counts as older");
    }
    // A downgrade is allowed only from the build it was made for, so that an
    // old package cannot be replayed onto any build.
    if (!names_this_build) {
      return rollback("post-timestamp", post_timestamp, kBuildTimeProperty, build_time,
                      "a downgrade (ota-downgrade=yes) needs a pre-build that names this build");
    }
    verdict->downgrade = true;
  }
  verdict->device = device.text;
  verdict->package_time = package_time;
  verdict->handset_time = handset_time;
  return Fit::kFits;
}

std::string Describe(const Verdict& verdict) {
  // The key of a key named twice is the package's own text.
  std::string out = Escape(verdict.key) + ": package " + Show(verdict.package);
  if (!verdict.property.empty()) {
    out += ", handset " + verdict.property + " " + Show(verdict.handset, "(unset)");
  } else if (verdict.handset.present) {
    out += ", handset " + Show(verdict.handset);
  }
  if (!verdict.reason.empty()) out += " (" + verdict.reason + ")";
  return out;
}

}  // namespace install_gate
