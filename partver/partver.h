// partver: publishes the version of the updater partition's image, and the target
// version entries the updater environment left behind, as system properties.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace partver {

constexpr char kDevicePath[] = "/dev/block/sda30";
constexpr char kTargetVersionPath[] = "/tmp/norvo.targetversion";

constexpr size_t kHeaderSize = 4096;
constexpr size_t kRecordSize = 20;
// The target version file holds a few short key=value lines; anything larger
// is refused.
constexpr size_t kMaxTargetVersionBytes = 64 * 1024;
// Boot image header (version 1 and later): recovery DTBO size (u32) and offset (u64).
constexpr size_t kDtboSizeOffset = 1632;
constexpr size_t kDtboOffsetOffset = 1636;

// A version number as "%d" leaves it in a 4-byte buffer: at most three characters
// (1234 -> "123", -5 -> "-5", -1234 -> "-12").
std::string format_version_number(int32_t number);

// Where the version record lies: the recovery DTBO's end rounded up to 4096. Returns
// false when a hostile header makes that position unrepresentable (beyond off_t).
bool version_record_offset(const uint8_t* header, uint64_t* offset);

// The key=value entries of the target version file, in order: split at every line feed,
// the key before the first "=", the value after it; a piece without "=" is both.
std::vector<std::pair<std::string, std::string>> parse_target_versions(const std::string& text);

// The partition block: "ota.norvo.existed" and the three source version properties.
// Failures print one line on standard output. Only a block device or a regular
// file is read; anything else (a FIFO would block) is refused with a line.
void probe_partition(const char* device_path);
// The target version block: a regular file of at most kMaxTargetVersionBytes,
// opened without blocking; anything else is refused with a line.
void apply_target_versions(const char* path);

// The whole program; always 0.
int run(int argc, char** argv, const char* device_path = kDevicePath,
        const char* target_path = kTargetVersionPath);

}  // namespace partver
