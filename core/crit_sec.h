// CritSec, the library's one lock type, and CritSecGuard, the only way the
// library takes it.
//
// CritSec remembers whether a thread holds it (`held`): leaving a CritSec
// that is not held does nothing, and destroying a held CritSec leaves it
// first. It is not recursive: a thread must not enter a CritSec it holds.
#ifndef VQLOGGER_CORE_CRIT_SEC_H_
#define VQLOGGER_CORE_CRIT_SEC_H_

#include <atomic>

#include "platform/platform.h"

namespace vqlogger {

class CritSec {
 public:
  CritSec() = default;
  ~CritSec();
  CritSec(const CritSec&) = delete;
  CritSec& operator=(const CritSec&) = delete;

  // Waits until the calling thread owns the lock.
  void Enter();
  // The same, for a holder that keeps the lock over a write: a waiter
  // blocks at once instead of spinning (platform::Mutex::LockWithoutSpin).
  void EnterWithoutSpin();
  // Enters only if the lock is free at once; true when entered.
  bool TryEnter();
  // Waits at most about `milliseconds` for the lock; true when entered.
  bool EnterWithin(int milliseconds);
  // In a forked child, by its only thread: the lock is free again, whoever
  // held it in the parent (see BeforeFork in platform.h).
  void ResetAfterFork();
  // Leaves the lock if it is held; otherwise does nothing. Always true.
  bool Leave();
  bool held() const { return held_.load(std::memory_order_relaxed); }
  // Whether another thread is waiting in Enter or EnterWithoutSpin now: a
  // hint, read by the holder to tell callers queueing for the lock from a
  // lone caller with a slow file.
  bool HasWaiters() const { return waiters_.load(std::memory_order_relaxed) != 0; }

 private:
  platform::Mutex mutex_;
  // Threads that found the lock taken and are waiting for it.
  std::atomic<uint32_t> waiters_{0};
  // Written only by the owning thread: after it entered, before it leaves.
  // Atomic (relaxed) only so that a stray Leave from another thread is not
  // a data race.
  std::atomic<bool> held_{false};
};

// Enters a CritSec for the lifetime of the guard, on every return path and
// while an exception passes.
//   CritSecGuard guard(&lock_);
class CritSecGuard {
 public:
  explicit CritSecGuard(CritSec* lock) : lock_(lock) { lock_->Enter(); }
  CritSecGuard(CritSec* lock, bool spin) : lock_(lock) {
    if (spin) {
      lock_->Enter();
    } else {
      lock_->EnterWithoutSpin();
    }
  }
  ~CritSecGuard() { lock_->Leave(); }
  CritSecGuard(const CritSecGuard&) = delete;
  CritSecGuard& operator=(const CritSecGuard&) = delete;

 private:
  CritSec* lock_;
};

}  // namespace vqlogger

#endif  // VQLOGGER_CORE_CRIT_SEC_H_
