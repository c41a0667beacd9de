// setprop: sets one property; exits 1 with a message when the store refuses it.
#define LOG_TAG "setprop"

#include <android-base/properties.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: setprop NAME VALUE\n");
    return 1;
  }
  if (!android::base::SetProperty(argv[1], argv[2])) {
    fprintf(stderr, "Failed to set property '%s' to '%s'.\n", argv[1], argv[2]);
    return 1;
  }
  return 0;
}
