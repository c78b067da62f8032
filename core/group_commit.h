// Group commit: the lines of callers that arrive while a write is in flight
// are queued, in the order in which they were built, and the next write
// carries all of them at once. Every caller returns only after its own line
// has been handed to the OS (or lost with the write that carried it).
//
// The logger's lock guards the building of a line and the queue; no write
// happens under it. One caller at a time holds the writer's role:
//   - a caller that finds no writer takes the role;
//   - the writer waits briefly for callers already building (about one
//     build time; if it was handed the role, also for one more line from
//     the caller that handed it), takes the queue's lines, writes them in one call, then
//     wakes only the callers whose lines it wrote;
//   - if lines are left once its own line is written, it hands the role to
//     one of their callers, preferring one that is still spinning, and
//     returns. So no caller writes for others indefinitely.
// A waiter spins for a few microseconds, then blocks on its own word.
// At one thread this is one write per record and no other system call.
#ifndef VQLOGGER_CORE_GROUP_COMMIT_H_
#define VQLOGGER_CORE_GROUP_COMMIT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/crit_sec.h"
#include "platform/platform.h"

namespace vqlogger {

// One caller's finished line; lives on the caller's stack until its call
// returns, which is after the line has been written or lost.
struct PendingLine {
  const char* text = nullptr;
  size_t size = 0;
  PendingLine* next = nullptr;  // guarded by the logger's lock
  // kQueued -> kSleeping (the caller blocks) -> kWritten or kWriter.
  std::atomic<uint32_t> state{0};
};

class CommitQueue {
 public:
  // What a caller does once its line is queued.
  enum class Turn {
    kWait,        // another caller writes it (or hands this one the role)
    kWrite,       // this caller holds the writer's role
    kWriteAlone,  // the same, and its line is already taken off the queue
  };

  // The longest batch: several of the longest lines.
  static constexpr size_t kBatchCapacity = 32 * 1024;

  CommitQueue() = default;
  CommitQueue(const CommitQueue&) = delete;
  CommitQueue& operator=(const CommitQueue&) = delete;

  // A caller is about to take the logger's lock to build a line (Arrive)
  // or has left it, with its line queued or dropped (Depart). The writer
  // waits briefly for arrived callers before it takes the queue.
  void Arrive() { arriving_.fetch_add(1, std::memory_order_relaxed); }
  void Depart() { arriving_.fetch_sub(1, std::memory_order_release); }

  // Queues `line` behind every line built before it. The caller holds the
  // logger's lock and has built the line under it, so the queue's order is
  // the order of the lines' time stamps.
  Turn QueueLocked(PendingLine* line);

  // Returns once `line` has been written or lost. Called without the lock,
  // with the Turn that QueueLocked gave. `lock` is the logger's lock, `file`
  // its file (touched only by the writer).
  void Commit(PendingLine* line, Turn turn, CritSec* lock, platform::LogFile* file);

  // In a forked child: no writer and nothing queued (the lines and threads
  // of the parent are not the child's). Called with the logger's lock held
  // or unused.
  void ResetInChild();

  // True when no caller holds the writer's role and nothing is queued. The
  // caller holds the lock.
  bool IdleLocked() const { return !writing_ && head_ == nullptr; }

  // Lines queued and not yet taken by a writer. The caller holds the lock.
  size_t QueuedLocked() const;

 private:
  void GatherArrivals(bool expect_company) const;
  PendingLine* ChooseSuccessorLocked() const;

  PendingLine* head_ = nullptr;  // oldest queued line; guarded by the lock
  PendingLine* tail_ = nullptr;  // newest queued line; guarded by the lock
  bool writing_ = false;         // a caller holds the writer's role; guarded
  std::atomic<int> arriving_{0};
  std::atomic<uint32_t> queued_{0};  // lines ever queued (wraps)
  char batch_[kBatchCapacity];   // the writer's copy of a batch of lines
};

}  // namespace vqlogger

#endif  // VQLOGGER_CORE_GROUP_COMMIT_H_
