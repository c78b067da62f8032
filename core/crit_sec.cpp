#include "core/crit_sec.h"

namespace vqlogger {

CritSec::~CritSec() { Leave(); }

void CritSec::Enter() {
  mutex_.Lock();
  held_.store(true, std::memory_order_relaxed);
}

bool CritSec::Leave() {
  if (held_.load(std::memory_order_relaxed)) {
    held_.store(false, std::memory_order_relaxed);
    mutex_.Unlock();
  }
  return true;
}

}  // namespace vqlogger
