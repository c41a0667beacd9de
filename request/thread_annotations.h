// Clang's thread-safety annotations (libbase's macros), and nothing under GCC,
// which does not know the attributes and would warn about each one.
#pragma once

#if defined(__clang__)
#include <android-base/thread_annotations.h>
#else
#define GUARDED_BY(x)
#define PT_GUARDED_BY(x)
#define REQUIRES(...)
#define EXCLUDES(...)
#define ACQUIRE(...)
#define RELEASE(...)
#define CAPABILITY(x)
#define SCOPED_CAPABILITY
#define NO_THREAD_SAFETY_ANALYSIS
#endif
