// The library's lock, its guard and its condition variable: the standard
// library's, annotated (base/thread_annotations.h), so that the clang build
// checks at compile time that every field is read and written with its lock
// held and that no function is entered without the lock it needs.
//
//   Mutex mu;
//   uint64_t count GUARDED_BY(mu);
//   void bump() { MutexLock hold(&mu); ++count; }
//   void wait_for_work() REQUIRES(mu) { while (count == 0) cv.wait(mu); }
//
// Wait in loops written out rather than with predicates: the analysis does
// not see a lambda run with the lock held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "base/thread_annotations.h"

namespace vorlet::v2 {

class CondVar;

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mu_;
};

// A lock for sections of a few instructions (a pointer swap, one reference
// count): a waiter spins, and yields its turn should the holder have been
// preempted, rather than sleeping in the system.
class CAPABILITY("mutex") SpinLock {
 public:
  SpinLock() = default;
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

  void lock() ACQUIRE() {
    for (uint32_t spins = 0; flag_.test_and_set(std::memory_order_acquire); ++spins) {
      if (spins >= kSpinsBeforeYield) std::this_thread::yield();
    }
  }
  void unlock() RELEASE() { flag_.clear(std::memory_order_release); }

 private:
  static constexpr uint32_t kSpinsBeforeYield = 64;
  std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

// Holds a SpinLock from its making to its end.
class SCOPED_CAPABILITY SpinLockHold {
 public:
  explicit SpinLockHold(SpinLock* lock) ACQUIRE(lock) : lock_(lock) { lock_->lock(); }
  ~SpinLockHold() RELEASE() { lock_->unlock(); }
  SpinLockHold(const SpinLockHold&) = delete;
  SpinLockHold& operator=(const SpinLockHold&) = delete;

 private:
  SpinLock* lock_;
};

// Holds the lock from its making to its end; unlock() lets go early and
// lock() takes it again.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mu_->unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() RELEASE() {
    mu_->unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    mu_->lock();
    held_ = true;
  }

 private:
  Mutex* mu_;
  bool held_ = true;
};

// A condition variable for one Mutex: every wait is made with that lock
// held, lets go of it while asleep and holds it again on return.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // A wake-up may be spurious: wait in a loop that tests the condition,
  // written where the analysis sees the lock held.
  void wait(Mutex& mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> held(mu.mu_, std::adopt_lock);
    cv_.wait(held);
    (void)held.release();
  }
  // At most `timeout`; a wake-up, spurious or not, or the timeout ends it.
  template <class Rep, class Period>
  void wait_for(Mutex& mu, std::chrono::duration<Rep, Period> timeout) REQUIRES(mu) {
    std::unique_lock<std::mutex> held(mu.mu_, std::adopt_lock);
    (void)cv_.wait_for(held, timeout);
    (void)held.release();
  }
  // Until a wake-up or the deadline: false when the deadline passed.
  template <class Clock, class Duration>
  bool wait_until(Mutex& mu, std::chrono::time_point<Clock, Duration> deadline) REQUIRES(mu) {
    std::unique_lock<std::mutex> held(mu.mu_, std::adopt_lock);
    const bool woken = cv_.wait_until(held, deadline) == std::cv_status::no_timeout;
    (void)held.release();
    return woken;
  }

  void notify_one() noexcept { cv_.notify_one(); }
  void notify_all() noexcept { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace vorlet::v2
