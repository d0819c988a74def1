// Which lock guards what, said in the code and checked by clang's
// thread-safety analysis (-Wthread-safety). Other compilers see nothing.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define KOVREL_THREAD_ATTR(x) __attribute__((x))
#else
#define KOVREL_THREAD_ATTR(x)
#endif

#define CAPABILITY(x) KOVREL_THREAD_ATTR(capability(x))
#define SCOPED_CAPABILITY KOVREL_THREAD_ATTR(scoped_lockable)
#define GUARDED_BY(x) KOVREL_THREAD_ATTR(guarded_by(x))
#define REQUIRES(...) KOVREL_THREAD_ATTR(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) KOVREL_THREAD_ATTR(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KOVREL_THREAD_ATTR(release_capability(__VA_ARGS__))
#define EXCLUDES(...) KOVREL_THREAD_ATTR(locks_excluded(__VA_ARGS__))

// A std::mutex that the analysis knows as a lock.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  // Waits on `cv` while it holds the lock, which it holds again after. A
  // std::condition_variable waits on the std::mutex itself: the _any kind
  // costs a lock of its own on every wait and notify.
  void Wait(std::condition_variable& cv) REQUIRES(this) {
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    cv.wait(held);
    held.release();
  }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};
