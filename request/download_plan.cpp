#include "request/download_plan.h"

#include "request/download_target.h"
#include "request/package_verify.h"
#include "request/retry_policy.h"

DownloadPlan DownloadPlan::FromRecords() {
  DownloadPlan plan;
  // Read when the plan is made: the start-up may have moved the work area.
  plan.package_path = UPDATE_PACKAGE_FILE;
  plan.file_size = [] { return parse_file_size(getFileSize()); };
  plan.md5 = [] { return record_md5(); };
  plan.mirrors = [] { return rom_mirror_urls(); };
  plan.key_store = package_verify::kKeyStorePath;
  plan.jitter = backoff_jitter_enabled();
  plan.first_backoff = RetryPolicy::kFirstBackoff;
  plan.low_speed_time = ::low_speed_time();
  return plan;
}
