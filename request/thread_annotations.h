// Clang's thread-safety annotations (libbase's macros), and nothing under GCC,
// which does not know the attributes and would warn about each one; and a mutex
// the analysis understands. The clang build compiles with -Wthread-safety, so a
// member marked GUARDED_BY(mutex_) that is touched without the lock fails it.
#pragma once

#include <mutex>

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

// std::mutex with the capability attribute (libstdc++'s carries none, so the
// analysis would not see it taken). Also a BasicLockable, for
// std::condition_variable_any.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for the life of the object.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};
