#include "core/group_commit.h"

#include <cstring>

namespace vqlogger {

namespace {

enum : uint32_t {
  kQueued = 0,    // waiting, spinning
  kSleeping = 1,  // waiting, blocked on the word: a change must wake it
  kWritten = 2,   // the line was handed to the OS, or lost with its write
  kWriter = 3,    // the caller now holds the writer's role
};

// A waiter spins this long before it blocks: a little more than one write
// of a small batch, so a waiter whose line is in the write in flight sees
// it done without a sleep, while one stuck behind a writer that has lost
// its processor soon stops burning the host's.
constexpr int64_t kWaitSpinNanoseconds = 4000;

// The writer waits at most this long for callers already building a line:
// about one build, so the next write carries theirs too.
constexpr int64_t kGatherNanoseconds = 600;

// Sets a waiter's word and wakes it if it sleeps. After a kWritten the
// waiter may return at once: `line` is not touched after the exchange, and
// the wake uses only its address.
void Signal(PendingLine* line, uint32_t value) {
  std::atomic<uint32_t>* word = &line->state;
  if (word->exchange(value, std::memory_order_acq_rel) == kSleeping) {
    platform::WakeWordWaiters(word);
  }
}

// Waits until `line` is written or its caller is made the writer; returns
// which.
uint32_t AwaitTurn(PendingLine* line) {
  int64_t deadline = 0;
  for (unsigned spins = 0;; ++spins) {
    uint32_t state = line->state.load(std::memory_order_acquire);
    if (state >= kWritten) return state;
    platform::CpuRelax();
    if ((spins & 15) == 15) {
      int64_t now = platform::MonotonicNanoseconds();
      if (deadline == 0) {
        deadline = now + kWaitSpinNanoseconds;
      } else if (now > deadline) {
        break;
      }
    }
  }
  uint32_t state = kQueued;
  if (!line->state.compare_exchange_strong(state, kSleeping, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
    return state;  // changed while the waiter gave up spinning
  }
  for (;;) {
    platform::WaitOnWord(&line->state, kSleeping);
    state = line->state.load(std::memory_order_acquire);
    if (state != kSleeping) return state;
  }
}

}  // namespace

CommitQueue::Turn CommitQueue::QueueLocked(PendingLine* line) {
  line->next = nullptr;
  line->state.store(kQueued, std::memory_order_relaxed);
  const bool takes_role = !writing_;
  if (takes_role) {
    writing_ = true;
    // Nobody queued and nobody building: write at once, without queueing.
    if (head_ == nullptr && arriving_.load(std::memory_order_acquire) == 0) {
      return Turn::kWriteAlone;
    }
  }
  queued_.fetch_add(1, std::memory_order_release);
  if (tail_ == nullptr) {
    head_ = line;
  } else {
    tail_->next = line;
  }
  tail_ = line;
  return takes_role ? Turn::kWrite : Turn::kWait;
}

size_t CommitQueue::QueuedLocked() const {
  size_t count = 0;
  for (const PendingLine* p = head_; p != nullptr; p = p->next) ++count;
  return count;
}

void CommitQueue::ResetInChild() {
  head_ = nullptr;
  tail_ = nullptr;
  writing_ = false;
  arriving_.store(0, std::memory_order_relaxed);
}

void CommitQueue::GatherArrivals(bool expect_company) const {
  // A writer handed the role by another caller has company: that caller
  // is on its way back with its next record, so wait for one more line to
  // be queued too. Else wait only for callers already building.
  const uint32_t queued_before = queued_.load(std::memory_order_acquire);
  auto gathered = [&] {
    if (arriving_.load(std::memory_order_acquire) > 0) return false;
    return !expect_company || queued_.load(std::memory_order_acquire) != queued_before;
  };
  if (gathered()) return;
  const int64_t deadline = platform::MonotonicNanoseconds() + kGatherNanoseconds;
  for (unsigned spins = 0; !gathered(); ++spins) {
    platform::CpuRelax();
    if ((spins & 7) == 7 && platform::MonotonicNanoseconds() > deadline) return;
  }
}

PendingLine* CommitQueue::ChooseSuccessorLocked() const {
  // The newest caller still spinning is the likeliest to be on a
  // processor; a sleeping one costs a wake-up before the next write.
  PendingLine* chosen = head_;
  for (PendingLine* p = head_; p != nullptr; p = p->next) {
    if (p->state.load(std::memory_order_relaxed) == kQueued) chosen = p;
  }
  return chosen;
}

void CommitQueue::Commit(PendingLine* mine, Turn turn, CritSec* lock, platform::LogFile* file) {
  if (turn == Turn::kWait && AwaitTurn(mine) == kWritten) return;
  bool handed_over = turn == Turn::kWait;
  // This caller holds the writer's role, and its line is either taken
  // already (kWriteAlone) or still queued.
  bool mine_written = false;
  while (!mine_written) {
    PendingLine* first = mine;
    PendingLine* last = mine;
    size_t bytes = mine->size;
    if (turn != Turn::kWriteAlone) {
      GatherArrivals(handed_over);
      handed_over = false;
      CritSecGuard guard(lock);
      // The oldest lines, as many as fit a batch (at least one).
      first = head_;
      last = first;
      bytes = first->size;
      while (last->next != nullptr && bytes + last->next->size <= kBatchCapacity) {
        last = last->next;
        bytes += last->size;
      }
      head_ = last->next;
      if (head_ == nullptr) tail_ = nullptr;
      last->next = nullptr;
    }

    if (first == last) {
      file->WriteLine(first->text, first->size);
      mine_written = first == mine;
    } else {
      size_t at = 0;
      for (PendingLine* p = first; p != nullptr; p = p->next) {
        memcpy(batch_ + at, p->text, p->size);
        at += p->size;
        if (p == mine) mine_written = true;
      }
      // A failed or short write loses exactly these lines: the file is cut
      // back to where it ended before them.
      file->WriteLine(batch_, bytes);
    }

    PendingLine* successor = nullptr;
    {
      CritSecGuard guard(lock);
      if (head_ == nullptr) {
        writing_ = false;
      } else if (mine_written) {
        successor = ChooseSuccessorLocked();
      }
    }
    // The next write starts before this batch's callers are released.
    if (successor != nullptr) Signal(successor, kWriter);
    for (PendingLine* p = first; p != nullptr;) {
      PendingLine* next = p->next;  // read before the caller may return
      if (p != mine) Signal(p, kWritten);
      p = next;
    }
    turn = Turn::kWrite;
  }
}

}  // namespace vqlogger
