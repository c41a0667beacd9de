#define LOG_TAG "ROMDOWNLOAD"

#include "request/download_vouch.h"

#include <android-base/logging.h>

#include "norvo_config.h"
#include "request/package_verify.h"

void DownloadVouch::load(const char* path) {
  keys_.clear();
  if (!NORVO_VERIFY_PACKAGE) return;
  package_verify::Status loaded = package_verify::LoadKeyStore(path, &keys_);
  if (!loaded.ok()) {
    keys_.clear();
    LOG(INFO) << ">> RomDownload: no key store (" << loaded.reason
              << "), the package is judged by its MD5 and validator only";
  }
}

package_verify::Status DownloadVouch::check(int fd) const {
  return package_verify::VerifyPackageFd(fd, keys_, nullptr);
}
