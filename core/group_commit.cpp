#include "core/group_commit.h"

#include <cstring>

#include "core/thread_marks.h"

namespace vqlogger {

namespace {

enum : uint32_t {
  kQueued = 0,    // waiting, spinning
  kSleeping = 1,  // waiting, blocked on the word: a change must wake it
  kWritten = 2,   // the line was handed to the OS, or lost with its write
  kElected = 3,   // the caller is now the elect
  kPassed = 4,    // the elect's role went to a caller that took the lines
};

// A waiter spins this long before it blocks: a little more than one write
// of a small batch, so a waiter whose line is in the write in flight sees
// it done without a sleep, while one stuck behind a writer that has lost
// its processor soon stops burning the host's.
constexpr int64_t kWaitSpinNanoseconds = 4000;

// The elect waits at most this long for the callers it expects: about one
// record's round trip (return to the host, call again, build a line).
constexpr int64_t kElectWaitNanoseconds = 2000;

// The guess of active callers goes no higher: beyond it the elect's wait,
// not the write, would set the pace.
constexpr uint32_t kMaxExpected = 64;

// A timed stretch slower than this per line, in which callers seldom queued
// for the file, says nothing about which mode is faster: the host paused
// between records. One in which most lines found others queueing is
// weighed however slow: the file itself is slow there, and batching saves
// the most.
constexpr int64_t kBusyLineNanoseconds = 20000;

// Sets a waiter's word and wakes it if it sleeps. After a kWritten the
// waiter may return at once: `line` is not touched after the exchange, and
// the wake uses only its address.
void Signal(PendingLine* line, uint32_t value) {
  std::atomic<uint32_t>* word = &line->state;
  if (word->exchange(value, std::memory_order_acq_rel) == kSleeping) {
    platform::WakeWordWaiters(word);
  }
}

// Waits until `line` is written or its caller is made the elect; returns
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

// A write by the holder of the writer's role (a handler that interrupts it
// drops its own line: QueueNestedLocked, CommitNested).
VQ_HOT void WriteLines(platform::LogFile* file, const char* data, size_t size,
                       const PendingLine* batch = nullptr) {
  if (batch == nullptr) {
    file->WriteLine(data, size);
  } else {
    // The batch's lines that fit in a write cut short stay written.
    file->WriteLine(data, size, [](const void* first, size_t done) {
      size_t whole = 0;
      for (auto* p = static_cast<const PendingLine*>(first); p != nullptr; p = p->next) {
        if (whole + p->size > done) break;
        whole += p->size;
      }
      return whole;
    }, batch);
  }
}

}  // namespace

VQ_HOT CommitQueue::Turn CommitQueue::QueueLocked(PendingLine* line, Batch* batch,
                                                bool others_waiting) {
  uint32_t writer = writing_.load(std::memory_order_acquire);
  // Callers queue for the file: for the lock, or behind a write or a line.
  sample_queueing_ += others_waiting || writer != kNoWriter || head_ != nullptr;
  if (++sample_lines_ == kSampleLines) SampleLocked();
  if (writer == kNoWriter && head_ == nullptr) {
    // Nothing in flight, lines written under the lock: this one now.
    if (under_lock_.load(std::memory_order_relaxed)) {
      ++sample_locked_;
      return Turn::kLocked;
    }
    if (expected_ <= 1) {
      // The common case of one active caller: this line alone, at once.
      writing_.store(kWriterActive, std::memory_order_relaxed);
      writer_token_ = platform::ThreadToken();
      *batch = Batch{line, line, line->size, 1};
      return Turn::kWrite;
    }
  }
  EnqueueLocked(line);
  // Behind a write in flight: flag it, unless the writer has just left
  // (it leaves without the lock only when nothing was flagged).
  while (writer != kNoWriter) {
    if (writing_.compare_exchange_weak(writer, writer | kLinesWaiting, std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
      return Turn::kWait;
    }
  }
  if (queued_ >= expected_) {
    TakeRoleAndBatchLocked(batch);
    return Turn::kWrite;
  }
  // No writer and nothing queued before this line (else there would be an
  // elect): its caller is the elect.
  if (elect_ == nullptr) {
    elect_ = line;
    return Turn::kElect;
  }
  return Turn::kWait;
}

CommitQueue::Turn CommitQueue::QueueNestedLocked(PendingLine* line, Batch* batch) {
  if (writing_.load(std::memory_order_acquire) != kNoWriter) {
    // Taken and cleared only by its holder, so a holder that is this
    // thread stays the holder while the handler runs.
    if (writer_token_ != platform::ThreadToken()) return Turn::kBusy;
    // Its own thread may be writing, or about to write lines it has taken
    // (built earlier): a line written now would break a line or come before
    // older ones.
    return Turn::kDrop;
  }
  // Never wait in the queue: the writer could make this thread's own
  // queued line the elect, which cannot act until the handler returns.
  EnqueueLocked(line);
  TakeRoleAndBatchLocked(batch);
  return Turn::kWrite;
}

bool ModeChooser::Next(int64_t span) {
  if (span < 0) {
    // No verdict; a try under way is dropped.
    if (phase_ != kSteady) {
      phase_ = kSteady;
      until_try_ = try_every_;
      confirming_ = false;
    }
    return chosen_under_lock_;
  }
  switch (phase_) {
    case kSteady:
      before_try_ = span;
      if (--until_try_ == 0) {
        phase_ = kWarming;
        return !chosen_under_lock_;
      }
      return chosen_under_lock_;
    case kWarming:
      phase_ = kTrying;
      return !chosen_under_lock_;
    case kTrying:
      tried_ = span;
      phase_ = kAfterTry;
      return chosen_under_lock_;
    case kAfterTry:
      break;
  }
  const int64_t around = (before_try_ + span) / 2;
  const int64_t nearest = before_try_ < span ? before_try_ : span;
  const bool tried_lock = !chosen_under_lock_;
  const bool won = tried_lock ? tried_ + tried_ / 32 < around : tried_ + tried_ / 8 < nearest;
  before_try_ = span;
  phase_ = kSteady;
  if (won && !tried_lock && !confirming_) {
    // Tried again at once; the stretch just weighed is the next one's before.
    confirming_ = true;
    phase_ = kWarming;
    return !chosen_under_lock_;
  }
  confirming_ = false;
  if (won) {
    chosen_under_lock_ = !chosen_under_lock_;
    try_every_ = kTryEveryLeast;
  } else {
    const uint32_t grown = try_every_ * (tried_ > around + around / 4 ? 4 : 2);
    try_every_ = grown < kTryEveryMost ? grown : kTryEveryMost;
  }
  until_try_ = try_every_;
  return chosen_under_lock_;
}

void CommitQueue::SampleLocked() {
  const bool queueing = sample_queueing_ >= kSampleLines / 2;
  // Lines go under the lock only once nothing is in flight or queued: where
  // callers keep queueing for a slow file, lines stay batched long after the
  // lock was chosen. Such a stretch is not the lock's; the chooser waits for
  // one that is.
  const bool batched_still =
      under_lock_.load(std::memory_order_relaxed) && sample_locked_ < kSampleLines / 2;
  sample_lines_ = 0;
  sample_queueing_ = 0;
  sample_locked_ = 0;
  if (pinned_) return;
  const int64_t now = platform::MonotonicNanoseconds();
  const int64_t span = now - sample_start_;
  const bool timed =
      sample_start_ != 0 && (queueing || span <= kSampleLines * kBusyLineNanoseconds);
  sample_start_ = now;
  if (batched_still && timed) return;
  under_lock_.store(chooser_.Next(timed ? span : -1), std::memory_order_relaxed);
}

void CommitQueue::CommitLocked(PendingLine* line, platform::LogFile* file) {
  WriteLines(file, line->text, line->size);
}

void CommitQueue::EnqueueLocked(PendingLine* line) {
  line->next = nullptr;
  line->state.store(kQueued, std::memory_order_relaxed);
  if (tail_ == nullptr) {
    head_ = line;
  } else {
    tail_->next = line;
  }
  tail_ = line;
  ++queued_;
}

void CommitQueue::TakeRoleAndBatchLocked(Batch* batch) {
  writing_.store(kWriterActive, std::memory_order_relaxed);
  writer_token_ = platform::ThreadToken();
  PendingLine* elect = elect_;
  elect_ = nullptr;
  TakeBatchLocked(batch);
  // The elect spins on its own word only: tell it there, under the lock,
  // before anyone can write its line.
  if (elect != nullptr) Signal(elect, kPassed);
}

void CommitQueue::TakeBatchLocked(Batch* batch) {
  // The oldest lines, as many as fit a batch (at least one).
  PendingLine* first = head_;
  PendingLine* last = first;
  size_t bytes = first->size;
  uint32_t lines = 1;
  while (last->next != nullptr && bytes + last->next->size <= kBatchCapacity) {
    last = last->next;
    bytes += last->size;
    ++lines;
  }
  head_ = last->next;
  if (head_ == nullptr) tail_ = nullptr;
  last->next = nullptr;
  queued_ -= lines;
  *batch = Batch{first, last, bytes, lines};
}

void CommitQueue::ResetInChild() {
  head_ = nullptr;
  tail_ = nullptr;
  queued_ = 0;
  expected_ = 1;
  writing_.store(kNoWriter, std::memory_order_relaxed);
  writer_token_ = 0;
  elect_ = nullptr;
}

PendingLine* CommitQueue::ChooseElectLocked() const {
  // The newest caller still spinning is the likeliest to be on a
  // processor; a sleeping one costs a wake-up first.
  PendingLine* chosen = head_;
  for (PendingLine* p = head_; p != nullptr; p = p->next) {
    if (p->state.load(std::memory_order_relaxed) == kQueued) chosen = p;
  }
  return chosen;
}

bool CommitQueue::WaitAsElect(PendingLine* mine, CritSec* lock, Batch* batch) {
  for (;;) {
    // Made the elect by a writer that is done: the word is ours again
    // (unless the line is written already).
    uint32_t elected = kElected;
    mine->state.compare_exchange_strong(elected, kQueued, std::memory_order_acq_rel);
    // Spin on the own word only, which nobody but a writer or the caller
    // that takes the lines touches: reading the queue's words here would
    // pull their line away from the callers that are queueing.
    const int64_t deadline = platform::MonotonicNanoseconds() + kElectWaitNanoseconds;
    uint32_t state = kQueued;
    for (unsigned spins = 0;; ++spins) {
      state = mine->state.load(std::memory_order_acquire);
      if (state != kQueued) break;
      platform::CpuRelax();
      if ((spins & 15) == 15 && platform::MonotonicNanoseconds() > deadline) break;
    }
    if (state == kWritten) return false;
    if (state == kElected) continue;  // passed on, then made the elect again
    if (state == kQueued) {
      CritSecGuard guard(lock);
      if (elect_ == mine) {
        // Nobody else came: write what is queued. (While an elect waits
        // there is no writer.)
        writing_.store(kWriterActive, std::memory_order_relaxed);
        writer_token_ = platform::ThreadToken();
        elect_ = nullptr;
        TakeBatchLocked(batch);
        return true;
      }
      // Passed on just now: the word says so, or has moved on since.
    }
    // Another caller took the writer's role. It writes this line or, if it
    // leaves it queued, makes an elect again: wait as any caller.
    uint32_t passed = kPassed;
    if (!mine->state.compare_exchange_strong(passed, kQueued, std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
      if (passed == kWritten) return false;
      if (passed == kElected) continue;
      // Any other word: not the elect, so wait as any caller rather than
      // spin as an elect that nobody will pass on again.
    }
    if (AwaitTurn(mine) == kWritten) return false;
  }
}

bool CommitQueue::FinishWriteLocked(const Batch& written, bool mine_written, Batch* next,
                                    PendingLine** elected) {
  // Callers of this write's lines are likely back soon, and those that
  // queued meanwhile are active too.
  uint32_t active = written.lines + queued_;
  expected_ = active < kMaxExpected ? active : kMaxExpected;
  if (!mine_written) {
    TakeBatchLocked(next);  // the writer's own line is still queued
    writing_.store(kWriterActive, std::memory_order_relaxed);
    return false;
  }
  writing_.store(kNoWriter, std::memory_order_release);
  if (head_ == nullptr) return false;
  // Marked under the lock: nobody can write the elect's line before it
  // knows it is the elect.
  *elected = ChooseElectLocked();
  elect_ = *elected;
  return (*elected)->state.exchange(kElected, std::memory_order_acq_rel) == kSleeping;
}

void CommitQueue::WriteBatches(PendingLine* mine, Batch* taken, CritSec* lock, platform::LogFile* file) {
  Batch batch = *taken;
  for (;;) {
    bool mine_written = false;
    if (batch.first == batch.last) {
      WriteLines(file, batch.first->text, batch.first->size);
      mine_written = batch.first == mine;
    } else {
      size_t at = 0;
      for (PendingLine* p = batch.first; p != nullptr; p = p->next) {
        memcpy(batch_ + at, p->text, p->size);
        at += p->size;
        if (p == mine) mine_written = true;
      }
      // A failed or short write loses the lines that did not reach the file
      // whole: the file is cut back to the end of the last one that did.
      WriteLines(file, batch_, batch.bytes, batch.first);
    }

    Batch next;
    PendingLine* elected = nullptr;
    bool wake_elected;
    {
      CritSecGuard guard(lock);
      wake_elected = FinishWriteLocked(batch, mine_written, &next, &elected);
    }
    for (PendingLine* p = batch.first; p != nullptr;) {
      PendingLine* following = p->next;  // read before the caller may return
      if (p != mine) Signal(p, kWritten);
      p = following;
    }
    // The wake uses only the word's address (see Signal).
    if (wake_elected) platform::WakeWordWaiters(&elected->state);
    if (mine_written) return;
    batch = next;
  }
}

VQ_HOT void CommitQueue::Commit(PendingLine* mine, Turn turn, Batch batch, CritSec* lock,
                                platform::LogFile* file) {
  if (turn == Turn::kWrite && batch.first == mine && batch.lines == 1) {
    // One line, this caller's own: nobody else to release, and unless a
    // line was queued meanwhile, nothing to hand on and no lock to take.
    WriteLines(file, mine->text, mine->size);
    uint32_t alone = kWriterActive;
    if (writing_.compare_exchange_strong(alone, kNoWriter, std::memory_order_acq_rel)) return;
    PendingLine* elected = nullptr;
    bool wake_elected;
    {
      CritSecGuard guard(lock);
      wake_elected = FinishWriteLocked(batch, true, nullptr, &elected);
    }
    if (wake_elected) platform::WakeWordWaiters(&elected->state);
    return;
  }
  if (turn == Turn::kWait) {
    if (AwaitTurn(mine) == kWritten) return;
    turn = Turn::kElect;
  }
  if (turn == Turn::kElect && !WaitAsElect(mine, lock, &batch)) return;
  WriteBatches(mine, &batch, lock, file);
}

}  // namespace vqlogger
