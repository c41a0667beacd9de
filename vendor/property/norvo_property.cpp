// libnorvo-property: device classification answered from system properties.
#define LOG_TAG "norvo-property"

// The emulated device's classification. A handset has the vendor's own libnorvo-property.
#ifndef NORVO_HOST_STANDINS
#error "host stand-in: a handset build links the vendor's libnorvo-property"
#endif

#include "request/vendor/norvo_property.h"

#include <android-base/properties.h>
#include <android-base/strings.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "cutils/properties.h"

bool isInternationalVersion() {
  return android::base::EndsWith(android::base::GetProperty("ro.product.mod_device", ""),
                                 "_global");
}

bool isStableVersion() { return android::base::GetProperty("ro.build.type", "") == "user"; }

int getDeviceSerial(char* buf) {
  if (buf == nullptr) return -1;
  const std::string serial = android::base::GetProperty("ro.serialno", "");
  if (serial.empty()) return -1;
  // The caller's buffer holds PROPERTY_VALUE_MAX bytes; the serial is cut to fit.
  size_t len = std::min(serial.size(), static_cast<size_t>(PROPERTY_VALUE_MAX - 1));
  memcpy(buf, serial.data(), len);
  buf[len] = '\0';
  return 0;
}
