// Placeholder until the vendor stand-in is written.
#include "request/vendor/norvo_property.h"
bool isInternationalVersion() { return false; }
bool isStableVersion() { return false; }
int getDeviceSerial(char*) { return -1; }
