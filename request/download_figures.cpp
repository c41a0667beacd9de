#include "request/download_figures.h"

int64_t DownloadFigures::meanSpeed() const {
  int64_t ms = duration.count();
  return ms > 0 ? received * 1000 / ms : 0;
}

std::map<std::string, std::string> DownloadFigures::record() const {
  std::string retried;
  for (const auto& [cause, count] : retries) {
    if (!retried.empty()) retried += ",";
    retried += std::to_string(cause) + ":" + std::to_string(count);
  }
  std::string tried;
  for (int index : mirrors) {
    if (!tried.empty()) tried += ",";
    tried += std::to_string(index);
  }
  const std::string prefix = "download_figures_";
  return {
      {prefix + "received", std::to_string(received)},
      {prefix + "resumed", std::to_string(resumed < 0 ? 0 : resumed)},
      {prefix + "size", std::to_string(package_size)},
      {prefix + "duration_ms", std::to_string(duration.count())},
      {prefix + "speed", std::to_string(meanSpeed())},
      {prefix + "attempts", std::to_string(attempts)},
      {prefix + "retries", retried},
      {prefix + "mirrors", tried},
      {prefix + "mirror", served ? std::to_string(serving) : std::string()},
      {prefix + "final", std::to_string(final_code)},
      {prefix + "space_needed", space_needed < 0 ? std::string() : std::to_string(space_needed)},
      {prefix + "space_free", space_free < 0 ? std::string() : std::to_string(space_free)},
      {prefix + "cap", std::to_string(cap)},
      {prefix + "cap_changed", cap_changed ? "1" : "0"},
  };
}
