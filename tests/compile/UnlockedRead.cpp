// Must not compile under clang's thread-safety analysis: a member guarded
// by a Mutex is read without it. Built with -DTAKE_LOCK it must compile, so
// that the lock is the only fault the compiler finds.
#include "ThreadSafety.h"

class Guarded {
 public:
  int Read() {
#ifdef TAKE_LOCK
    const MutexLock lock(mutex_);
#endif
    return value_;
  }

 private:
  Mutex mutex_;
  int value_ GUARDED_BY(mutex_) = 0;
};

int main() { return Guarded().Read(); }
