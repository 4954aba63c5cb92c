// FairSharedMutex: a reader-writer lock that does not starve writers.
//
// std::shared_mutex (a glibc rwlock with its default policy) lets a new reader
// in whenever the lock is held shared, so threads that search in overlapping
// turns keep a writer waiting indefinitely. This one is a glibc rwlock asked
// to prefer writers: once a writer waits, new readers queue behind it, and
// readers never wait for each other otherwise.
//
// The price of that policy: a thread must never take a shared lock it already
// holds, since the second request would queue behind a waiting writer that
// waits for the first. No path in the database does (each takes every lock
// at most once, in the fixed order); the concurrency tests run under the
// thread sanitizer to keep it so.
#pragma once

#include <pthread.h>

namespace kelpo {

class FairSharedMutex {
 public:
  FairSharedMutex() {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&rw_, &attr);
    pthread_rwlockattr_destroy(&attr);
  }
  ~FairSharedMutex() { pthread_rwlock_destroy(&rw_); }
  FairSharedMutex(const FairSharedMutex&) = delete;
  FairSharedMutex& operator=(const FairSharedMutex&) = delete;

  void lock() { pthread_rwlock_wrlock(&rw_); }
  bool try_lock() { return pthread_rwlock_trywrlock(&rw_) == 0; }
  void unlock() { pthread_rwlock_unlock(&rw_); }
  void lock_shared() { pthread_rwlock_rdlock(&rw_); }
  bool try_lock_shared() { return pthread_rwlock_tryrdlock(&rw_) == 0; }
  void unlock_shared() { pthread_rwlock_unlock(&rw_); }

 private:
  pthread_rwlock_t rw_;
};

}  // namespace kelpo
