// WriteGate: stands in for the OS's write call of the static core (unit
// tests only) while it lives. It passes every write on to the real one,
// records how many lines each write carried, and can hold a chosen write
// until released, or make it fail: refused outright, or cut short (half the
// bytes taken, then the disk is full).
//
//   vqtest::WriteGate gate;
//   gate.Hold(1);                 // the second write from now on waits
//   ... start callers ...
//   ASSERT_TRUE(gate.WaitUntilHeld());
//   gate.Release();
#ifndef VQLOGGER_TESTS_SUPPORT_WRITE_GATE_H_
#define VQLOGGER_TESTS_SUPPORT_WRITE_GATE_H_

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace vqtest {

class WriteGate {
 public:
  enum class Outcome { kPass, kRefuse, kCutShort };

  WriteGate() {
    Current() = this;
    previous_ = vqlogger::platform::ReplaceWriteFunction(&WriteGate::Write);
  }
  ~WriteGate() {
    Release();
    vqlogger::platform::ReplaceWriteFunction(previous_);
    Current() = nullptr;
  }
  WriteGate(const WriteGate&) = delete;
  WriteGate& operator=(const WriteGate&) = delete;

  // Write number `index` (0 for the first after construction; the retry
  // of a cut-short write counts as a write of its own) waits until
  // Release, then ends as `outcome` says.
  void Hold(int index, Outcome outcome = Outcome::kPass) {
    std::lock_guard<std::mutex> guard(mutex_);
    hold_index_ = index;
    hold_outcome_ = outcome;
    released_ = false;
  }
  // Write number `index` ends as `outcome` says, without waiting.
  void Fail(int index, Outcome outcome) {
    std::lock_guard<std::mutex> guard(mutex_);
    fail_index_ = index;
    fail_outcome_ = outcome;
  }
  // True once the write chosen by Hold has started waiting (within five
  // seconds).
  bool WaitUntilHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5),
                             [&] { return holding_ >= 0 && holding_ == hold_index_; });
  }
  // Lets the held write go on.
  void Release() {
    std::lock_guard<std::mutex> guard(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  // Lets the held write go on and holds write number `index` instead.
  void ReleaseAndHold(int index, Outcome outcome = Outcome::kPass) {
    std::lock_guard<std::mutex> guard(mutex_);
    hold_index_ = index;
    hold_outcome_ = outcome;
    released_ = false;
    changed_.notify_all();
  }
  // Every write from now on first takes `cost`, yielding the processor: a
  // slow file.
  void SlowDown(std::chrono::microseconds cost) { cost_.store(cost.count()); }
  // The bytes the last cut-short write handed on before the disk was full.
  std::string CutShortBytes() {
    std::lock_guard<std::mutex> guard(mutex_);
    return cut_short_bytes_;
  }
  // Lines ("\r\n"-ended pieces) in each write so far, in order.
  std::vector<size_t> LinesPerWrite() {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }

 private:
  static WriteGate*& Current() {
    static WriteGate* gate = nullptr;
    return gate;
  }

  static long Write(intptr_t handle, const char* data, size_t size) {
    return Current()->Handle(handle, data, size);
  }

  long Handle(intptr_t handle, const char* data, size_t size) {
    Outcome outcome = Outcome::kPass;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      int index = static_cast<int>(lines_.size());
      size_t lines = 0;
      for (size_t i = 0; i + 1 < size; ++i) lines += data[i] == '\r' && data[i + 1] == '\n';
      lines_.push_back(lines);
      if (refuse_next_) {
        refuse_next_ = false;
        return Refuse();
      }
      if (index == fail_index_) outcome = fail_outcome_;
      if (index == hold_index_) {
        outcome = hold_outcome_;
        holding_ = index;
        changed_.notify_all();
        changed_.wait(lock, [&] { return released_ || hold_index_ != index; });
        holding_ = -1;
      }
      if (outcome == Outcome::kRefuse) return Refuse();
      if (outcome == Outcome::kCutShort) {
        refuse_next_ = true;  // the retry of the rest is refused
        size /= 2;
        cut_short_bytes_.assign(data, size);
      }
    }
    if (const int64_t cost = cost_.load()) {
      const auto slow_until = std::chrono::steady_clock::now() + std::chrono::microseconds(cost);
      while (std::chrono::steady_clock::now() < slow_until) std::this_thread::yield();
    }
    return vqlogger::platform::SystemWrite(handle, data, size);
  }

  static long Refuse() {
    errno = ENOSPC;
    return -1;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<int64_t> cost_{0};  // microseconds
  vqlogger::platform::WriteFunction previous_ = nullptr;
  std::vector<size_t> lines_;
  int hold_index_ = -1;
  Outcome hold_outcome_ = Outcome::kPass;
  int fail_index_ = -1;
  Outcome fail_outcome_ = Outcome::kPass;
  int holding_ = -1;  // the index of the write waiting now
  bool released_ = false;
  bool refuse_next_ = false;
  std::string cut_short_bytes_;
};

}  // namespace vqtest

#endif  // VQLOGGER_TESTS_SUPPORT_WRITE_GATE_H_
