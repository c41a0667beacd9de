// libnorvo-property: device classification answered from system properties.
#pragma once

// True when "ro.product.mod_device" ends with "_global".
bool isInternationalVersion();
// True when "ro.build.type" is "user".
bool isStableVersion();
// Copies "ro.serialno" (at most 91 bytes) into `buf` (92 bytes, zero-filled by the
// caller) and returns 0; returns -1 when the serial is empty.
int getDeviceSerial(char* buf);
