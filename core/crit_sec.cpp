#include "core/crit_sec.h"

namespace vqlogger {

CritSec::~CritSec() { Leave(); }

VQ_HOT void CritSec::Enter() {
  mutex_.Lock();
  held_.store(true, std::memory_order_relaxed);
}

bool CritSec::TryEnter() {
  if (!mutex_.TryLock()) return false;
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
  held_.store(false, std::memory_order_relaxed);
}

VQ_HOT bool CritSec::Leave() {
  if (held_.load(std::memory_order_relaxed)) {
    held_.store(false, std::memory_order_relaxed);
    mutex_.Unlock();
  }
  return true;
}

}  // namespace vqlogger
