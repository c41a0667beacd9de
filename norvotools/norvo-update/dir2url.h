// ROM records: the update answer as one-value files, and back into a download URL.
#pragma once

#include <cjson/cJSON.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
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

// Most entries a record folder is read with (values plus mirror folders).
constexpr size_t kMaxRecordEntries = 100000;

// Mirrors a record keeps and a URL is chosen from. Real answers name a handful;
// the rest of a longer list is left out (and a record of an older, longer list
// keeps no more), so that neither the first stage's work nor the record's size
// follows whatever count a server sends.
constexpr int kMaxMirrors = 32;

// Writes the record of the answer's "LatestRom" object, then destroys the handle.
// 0, or -errno when the record could not be written (the old record then stays
// as it was).
int handle_latestrom_to_dir(JsonHandle handle);
// Writes the record of the object under `key` as a whole (old record or new one,
// never a mix) and points CurrentRom at it; `result` (if given) receives 0 or
// -errno of the first write that failed.
JsonHandle handle_norvodo(JsonHandle handle, std::string key, int* result = nullptr);
// Sets the given values in the record folder `dir` as one change (other values
// and mirrors stay). 0 or -errno.
int write_record_entries(const std::string& dir,
                         const std::vector<std::pair<std::string, std::string>>& entries);
// Makes CURRENT_ROM_LINK a symbolic link to `dir`, replacing the old link in one
// step. 0 or -errno.
int create_symlink_forrom(const std::string& dir);
// {"http://", host, path} of the current record, trying mirrors from `first` up
// to kMaxMirrors; empty when no URL can be formed.
std::vector<std::string> handle_rom_to_url(int first);
// One mirror of the current record that a URL can be formed from: its index in
// the record and the URL parts handle_rom_to_url() would give for it.
struct RomMirror {
  int index = -1;                  // -1: not a mirror of the record (a URL given from outside)
  std::vector<std::string> parts;  // {"http://", host, path}
  std::string url() const;         // the three parts joined
};
// Every mirror of the current record that a URL can be formed from, in the
// record's order, with the same rules as handle_rom_to_url() (https mirrors
// skipped, the list ends at the first missing index or at kMaxMirrors). Empty
// when the record gives no URL.
std::vector<RomMirror> rom_mirror_urls();
// The order in which a download starting at `url_text` tries the mirrors of
// `usable`: the mirror whose URL is `url_text` first, then those after it in the
// record, then those before it; each once. A URL that is none of them is the
// only one tried (index -1, parts empty).
std::vector<RomMirror> mirror_failover_order(const std::vector<RomMirror>& usable,
                                             const std::string& url_text);
// The current record's "filesize" text, or "".
std::string getFileSize();
// Writes `name` as the whole content of STATUS_FILE (atomically). 0 or -errno.
int report_status(const std::string& name);
