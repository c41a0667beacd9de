// ROM records: the update answer as one-value files, and back into a download URL.
#pragma once

#include <cjson/cJSON.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Download record paths. The start-up puts "/cache" in front of each, in place,
// when the agent does not run in the dedicated updater environment; read them
// at the time of use.
extern std::string DOWNLOAD_DIR;
extern std::string LATEST_ROM_DIR;
extern std::string CROSS_ROM_DIR;
extern std::string CURRENT_ROM_LINK;
extern std::string REQUEST_UNCRYPTED_FILE;
extern std::string REQUEST_ENCRYPTED_FILE;
extern std::string RESPONSE_UNCRYPTED_FILE;
extern std::string RESPONSE_ENCRYPTED_FILE;
extern std::string STATUS_FILE;
extern std::string UPDATE_PACKAGE_FILE;

using JsonHandle = std::unique_ptr<cJSON, std::function<void(cJSON*)>>;

// Deleter of documents parsed from the update answer.
void simple_free_json(cJSON* json);

// Writes the record of the answer's "LatestRom" object, then destroys the handle.
void handle_latestrom_to_dir(JsonHandle handle);
// Writes the record of the object under `key` and points CurrentRom at it.
JsonHandle handle_norvodo(JsonHandle handle, std::string key);
// Makes CURRENT_ROM_LINK a symbolic link to `dir`.
void create_symlink_forrom(const std::string& dir);
// {"http://", host, path} of the current record, trying mirrors from `first` up;
// empty when no URL can be formed.
std::vector<std::string> handle_rom_to_url(int first);
// The current record's "filesize" text, or "".
std::string getFileSize();
// Writes `name` as the whole content of STATUS_FILE.
void report_status(const std::string& name);
