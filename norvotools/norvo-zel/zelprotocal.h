// Telemetry event store: one file per key under "/tmp/zel/events", and its JSON snapshot.
#pragma once

#include <cjson/cJSON.h>

#include <map>
#include <string>

static const char NORVO_PARTITION[] = "/dev/block/bootdevice/by-name/norvo";

namespace norvozel {

// Writes every (key, value) as ZEL_EVENTS_DIR/key; always 0.
int zel_write_data(const std::map<std::string, std::string>& record);
// Snapshot of `dir` as a JSON object (caller owns it), or nullptr when unlistable.
cJSON* zel_sync_to_json(std::string dir);
// Printed snapshot of "/tmp/zel", or "".
std::string zel_sync_to_string();

}  // namespace norvozel
