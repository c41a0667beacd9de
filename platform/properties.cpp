// Placeholder until the property store is written.
#include "cutils/properties.h"

#include <string.h>
int property_get(const char*, char* value, const char* def) {
  strncpy(value, def ? def : "", PROPERTY_VALUE_MAX - 1);
  value[PROPERTY_VALUE_MAX - 1] = 0;
  return strlen(value);
}
