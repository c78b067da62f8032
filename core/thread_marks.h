// The calling thread's marks (platform::ThreadMarks): what it holds inside
// the library, for a call that a signal handler or a vectored exception
// handler makes on a thread that is already inside. Such a call never waits
// for what its own thread holds: with a lock held (or being taken) it drops
// its record; with the writer's role held by that thread (in or around a
// file write) it drops it too.
#ifndef VQLOGGER_CORE_THREAD_MARKS_H_
#define VQLOGGER_CORE_THREAD_MARKS_H_

#include <cstdint>

#include "platform/platform.h"

namespace vqlogger {

constexpr uint32_t kMarkLock = 1;                 // library locks held or being taken
constexpr uint32_t kMarkLockMask = 0xFF;
constexpr uint32_t kMarkRecord = 0x10000;         // record calls under way
constexpr uint32_t kMarkRecordMask = 0xFF0000;

// Sets `marks` for the lifetime of the guard, then puts back what was there.
class ThreadMarksGuard {
 public:
  ThreadMarksGuard(uint32_t before, uint32_t during) : before_(before) {
    platform::SetThreadMarks(during);
  }
  ~ThreadMarksGuard() { platform::SetThreadMarks(before_); }
  ThreadMarksGuard(const ThreadMarksGuard&) = delete;
  ThreadMarksGuard& operator=(const ThreadMarksGuard&) = delete;

 private:
  uint32_t before_;
};

}  // namespace vqlogger

#endif  // VQLOGGER_CORE_THREAD_MARKS_H_
