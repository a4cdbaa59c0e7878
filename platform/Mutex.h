// A mutex and its guards with clang's thread-safety attributes, so that every member a lock
// guards is declared as such and checked at compile time (-Wthread-safety; other compilers
// ignore the attributes).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define VELDRA_TSA(x) __attribute__((x))
#else
#define VELDRA_TSA(x)
#endif

#define CAPABILITY(name) VELDRA_TSA(capability(name))
#define SCOPED_CAPABILITY VELDRA_TSA(scoped_lockable)
#define GUARDED_BY(m) VELDRA_TSA(guarded_by(m))
#define PT_GUARDED_BY(m) VELDRA_TSA(pt_guarded_by(m))
#define ACQUIRED_BEFORE(...) VELDRA_TSA(acquired_before(__VA_ARGS__))
#define REQUIRES(...) VELDRA_TSA(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) VELDRA_TSA(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) VELDRA_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VELDRA_TSA(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS VELDRA_TSA(no_thread_safety_analysis)

namespace veldra {

class CAPABILITY("mutex") TMutex {
 public:
  TMutex() = default;
  TMutex(const TMutex&) = delete;
  TMutex& operator=(const TMutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  std::mutex& Native() { return mutex_; }

 private:
  std::mutex mutex_;
};

// Holds a TMutex for its scope; Unlock/Lock let a holder step out for a wait on the network.
class SCOPED_CAPABILITY TMutexLock {
 public:
  explicit TMutexLock(TMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~TMutexLock() RELEASE() {
    if (held_) mutex_.Unlock();
  }
  TMutexLock(const TMutexLock&) = delete;
  TMutexLock& operator=(const TMutexLock&) = delete;

  void Unlock() RELEASE() {
    held_ = false;
    mutex_.Unlock();
  }
  void Lock() ACQUIRE() {
    mutex_.Lock();
    held_ = true;
  }

 private:
  TMutex& mutex_;
  bool held_ = true;
};

// A condition variable for a TMutex held by a TMutexLock.
class TCondition {
 public:
  void NotifyAll() { cv_.notify_all(); }
  // Waits at most `timeout` for a notification; the mutex is held again on return.
  template <class Rep, class Period>
  void WaitFor(TMutex& mutex, std::chrono::duration<Rep, Period> timeout) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.Native(), std::adopt_lock);
    cv_.wait_for(lock, timeout);
    lock.release();
  }

 private:
  std::condition_variable cv_;
};

}  // namespace veldra
