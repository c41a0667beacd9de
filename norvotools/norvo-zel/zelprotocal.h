// Telemetry event store: one file per key under "/tmp/zel/events", and its JSON snapshot.
#pragma once

#include <cjson/cJSON.h>
#include <stddef.h>

#include <map>
#include <string>

static const char NORVO_PARTITION[] = "/dev/block/bootdevice/by-name/norvo";

namespace norvozel {

// Writes every (key, value) as ZEL_EVENTS_DIR/key; always 0.
int zel_write_data(const std::map<std::string, std::string>& record);
// Snapshot of `dir` as a JSON object (caller owns it), or nullptr when unlistable.
// A value holding a NUL byte is a raw item (cJSON_IsRaw) whose valuestring is its
// JSON string literal, since a JSON library string would end at the NUL.
cJSON* zel_sync_to_json(std::string dir);
// Printed snapshot of "/tmp/zel", or "".
std::string zel_sync_to_string();

// Deepest directory nesting a snapshot follows; deeper directories (and any that
// lead back to one being converted) are skipped with a log line.
constexpr int kZelMaxDepth = 16;
// Bounds of one snapshot: the bytes read of one value (the rest is cut, with a
// warning), and the entries and value bytes of the whole tree (what does not
// fit is left out, with a warning naming the first entry left out).
constexpr size_t kZelMaxValueBytes = 64 * 1024;
constexpr size_t kZelMaxEntries = 1024;
constexpr size_t kZelMaxSnapshotBytes = 1024 * 1024;

// `bytes` as a JSON string literal, quotes included, escaped as the JSON
// printer escapes (control characters as \u00XX), NUL bytes included.
std::string json_string_literal(const std::string& bytes);

// The same operations on other roots, so tests can run outside the device.
int zel_write_data_to(const std::string& events_dir, const std::string& pid_file,
                      const std::map<std::string, std::string>& record);
std::string zel_sync_to_string_of(const std::string& root);

}  // namespace norvozel
