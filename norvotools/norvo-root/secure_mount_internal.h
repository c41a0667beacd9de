// Pieces of the storage module exposed for its own tests: the same decisions as
// the public functions, with the property values and destination passed in.
#pragma once

#include <string>

namespace norvo_storage {

// The guard's rules for `path` with the given "ro.build.tags" and
// "ro.bootimage.name" values (logs as allowcreate does).
bool allowcreate_with(const std::string& path, const std::string& build_tags,
                      const std::string& environment);

// Number of entries in the allow table (builds it if needed).
size_t allow_table_size();

// The record dump into `base` instead of "/cache/norvo/download", exchange copies
// named with `environment`.
void jsondump_to(const std::string& base, const std::string& environment);

}  // namespace norvo_storage
