// The deployment values of a platform build. Android.bp passes each one as a cflag of
// norvo_defaults, with the defaults of CMakeLists.txt (the host build generates its own
// norvo_config.h from norvo_config.h.in instead; tools/android-check.sh compares the two
// sets of defaults). A value that is missing stops the compile: a handset built with an
// empty update host would never find its server.
#pragma once

#if !defined(NORVO_VERSION) || !defined(NORVO_UPDATE_HOST) || !defined(NORVO_UPDATE_HOST_INTL) || \
    !defined(NORVO_ZEL_HOST) || !defined(NORVO_ZEL_PREVIEW_HOST) ||                               \
    !defined(NORVO_ZEL_INTL_HOST) || !defined(NORVO_FIXED_RESOLVE)
#error "a deployment value is not set: see the cflags of norvo_defaults in Android.bp"
#endif

// A handset verifies every package and every TLS peer; only a host development build
// turns either off. A cflag that tries to is refused as a redefinition.
#define NORVO_VERIFY_PACKAGE 1
#define NORVO_VERIFY_TLS 1
