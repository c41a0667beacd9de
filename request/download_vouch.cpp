#define LOG_TAG "ROMDOWNLOAD"

#include "request/download_vouch.h"

#include <android-base/logging.h>

#include "norvo_config.h"
#include "request/package_verify.h"

void DownloadVouch::load(const char* path) {
  keys_.clear();
  if (!NORVO_VERIFY_PACKAGE) return;
  std::string why;
  if (package_verify::LoadKeyStore(path, &keys_, &why) != package_verify::Result::kVerified) {
    keys_.clear();
    LOG(INFO) << ">> RomDownload: no key store (" << why
              << "), the package is judged by its MD5 and validator only";
  }
}

package_verify::Result DownloadVouch::check(int fd, std::string* why) const {
  return package_verify::VerifyPackageFd(fd, keys_, nullptr, why);
}
