#include "core/crit_sec.h"

#include "core/thread_marks.h"

namespace vqlogger {

CritSec::~CritSec() { Leave(); }

namespace {

// Counted before the lock is taken and after it is left, so that a handler
// that interrupts this thread anywhere in between sees it.
void CountLock() { platform::SetThreadMarks(platform::ThreadMarks() + kMarkLock); }
void UncountLock() {
  uint32_t marks = platform::ThreadMarks();
  // A stray Leave on a thread that holds none counts nothing.
  if ((marks & kMarkLockMask) != 0) platform::SetThreadMarks(marks - kMarkLock);
}

}  // namespace

// A free lock costs one compare-and-swap, as in the mutex itself; only a
// caller that finds it taken is counted as a waiter while it waits.
VQ_HOT void CritSec::Enter() {
  CountLock();
  if (!mutex_.TryLock()) {
    waiters_.fetch_add(1, std::memory_order_relaxed);
    mutex_.Lock();
    waiters_.fetch_sub(1, std::memory_order_relaxed);
  }
  held_.store(true, std::memory_order_relaxed);
}

VQ_HOT void CritSec::EnterWithoutSpin() {
  CountLock();
  if (!mutex_.TryLock()) {
    waiters_.fetch_add(1, std::memory_order_relaxed);
    mutex_.LockWithoutSpin();
    waiters_.fetch_sub(1, std::memory_order_relaxed);
  }
  held_.store(true, std::memory_order_relaxed);
}

bool CritSec::TryEnter() {
  CountLock();
  if (!mutex_.TryLock()) {
    UncountLock();
    return false;
  }
  held_.store(true, std::memory_order_relaxed);
  return true;
}

bool CritSec::EnterWithin(int milliseconds) {
  const int64_t deadline = platform::MonotonicMilliseconds() + milliseconds;
  for (;;) {
    if (TryEnter()) return true;
    if (platform::MonotonicMilliseconds() > deadline) return false;
    platform::YieldThread();
  }
}

void CritSec::ResetAfterFork() {
  mutex_.ResetAfterFork();
  waiters_.store(0, std::memory_order_relaxed);  // the parent's waiters are not here
  if (held_.exchange(false, std::memory_order_relaxed)) UncountLock();
}

VQ_HOT bool CritSec::Leave() {
  if (held_.load(std::memory_order_relaxed)) {
    held_.store(false, std::memory_order_relaxed);
    mutex_.Unlock();
    UncountLock();
  }
  return true;
}

}  // namespace vqlogger
