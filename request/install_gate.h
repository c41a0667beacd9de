// The install gate: a package whose signature verified still runs only when its
// metadata (META-INF/com/android/metadata, one key=value per line) says it is
// made for this handset, for the build it runs, and is not a rollback. The
// handset's facts come through a small property reader, so the rules can be
// checked without a property store.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>

#include "request/package_verify.h"
#include "request/status.h"

namespace install_gate {

// The entry and its bound are the package check's: it takes the entry out of
// the verified bytes.
using package_verify::kMaxMetadataSize;
using package_verify::kMetadataEntry;
constexpr size_t kMaxMetadataKeys = 256;

// The handset's properties the rules compare with.
constexpr char kDeviceProperty[] = "ro.product.device";
constexpr char kSerialProperty[] = "ro.serialno";
constexpr char kFingerprintProperty[] = "ro.build.fingerprint";
constexpr char kIncrementalProperty[] = "ro.build.version.incremental";
constexpr char kBuildTimeProperty[] = "ro.build.date.utc";

// Reads one handset property; false when it is unset or empty.
class PropertyReader {
 public:
  virtual ~PropertyReader() = default;
  virtual bool Read(const std::string& name, std::string* value) const = 0;
};

// The device's own property store.
class SystemProperties : public PropertyReader {
 public:
  bool Read(const std::string& name, std::string* value) const override;
};

// One value that may be absent (an absent value and an empty one are told apart
// in the log).
struct Value {
  bool present = false;
  std::string text;
};

// What the gate decides. A rollback is told from the other refusals: the
// install reports it apart.
enum class Fit {
  kFits,
  // Made for another device, handset or source build, another kind of package,
  // or metadata that cannot be read as one set of keys.
  kNotForThisHandset,
  // Older than this build, and no downgrade this build allows.
  kRollback,
};

// What a step of the gate returns: kFits, or the refusal with the reason as the
// log states it after "package rejected: " (Describe() of the verdict).
using Status = norvo::Status<Fit>;
static_assert(Fit{} == Fit::kFits, "a status of zero is success");

// What the gate compared, for the log.
struct Verdict {
  // Why it does not fit: the metadata key whose rule failed, the package's
  // value, the handset property compared and the handset's value.
  std::string key;
  Value package;
  std::string property;
  Value handset;
  std::string reason;
  // What the package was found to fit (for the log of a fitting package).
  std::string device;
  uint64_t package_time = 0;
  uint64_t handset_time = 0;
  bool downgrade = false;  // older than this build, allowed by ota-downgrade=yes
};

using Metadata = std::map<std::string, std::string>;

// Parses the metadata text: lines split at line feeds, key and value split at
// the first '=', the blanks around both dropped (space, tab, carriage return,
// vertical tab and form feed, the same for keys, values and list items); empty
// lines and lines without '=' or without a key are skipped. A key named twice, a
// key that holds a control byte or any byte outside ASCII (a byte-order mark
// among them), a NUL byte, text over kMaxMetadataSize or more than
// kMaxMetadataKeys keys refuse the whole text (kNotForThisHandset; *refusal,
// when given, holds what was refused).
Status ParseMetadata(const std::string& text, Metadata* out, Verdict* refusal = nullptr);

// A decimal number of at most 19 digits, nothing else.
bool ParseTimestamp(const std::string& text, uint64_t* out);

// Checks every rule of the metadata text against the handset. *verdict, when
// given, holds what was compared: for a refusal the rule that failed, for a
// fitting package what it fits.
Status Check(const std::string& metadata_text, const PropertyReader& props,
             Verdict* verdict = nullptr);

// The refusal as the log states it after "package rejected: ", with every value
// quoted and its control bytes escaped.
std::string Describe(const Verdict& verdict);

}  // namespace install_gate
