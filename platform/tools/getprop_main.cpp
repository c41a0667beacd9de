// getprop: prints one property (or its default) or, without arguments, all of them.
#define LOG_TAG "getprop"

#include <android-base/properties.h>
#include <stdio.h>

#include <string>

#include "platform/property_store.h"

int main(int argc, char** argv) {
  if (argc == 1) {
    for (const auto& [name, value] : property_store::List()) {
      printf("[%s]: [%s]\n", name.c_str(), value.c_str());
    }
    return 0;
  }
  if (argc > 3) {
    fprintf(stderr, "usage: getprop [NAME [DEFAULT]]\n");
    return 1;
  }
  const std::string value = android::base::GetProperty(argv[1], argc == 3 ? argv[2] : "");
  printf("%s\n", value.c_str());
  return 0;
}
