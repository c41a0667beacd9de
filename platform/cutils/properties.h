// Host stand-in for Android's cutils property call, backed by the property store.
#pragma once

// The stand-in must never shadow libcutils' own header in a platform build.
#ifndef NORVO_HOST_STANDINS
#error "host stand-in: a handset build takes property_get from libcutils"
#endif

#define PROPERTY_KEY_MAX 32
#define PROPERTY_VALUE_MAX 92

// Copies the value of `key` (or `default_value` when unset or empty) into `value`,
// NUL-terminated, at most PROPERTY_VALUE_MAX - 1 bytes; returns the length copied.
int property_get(const char* key, char* value, const char* default_value);
