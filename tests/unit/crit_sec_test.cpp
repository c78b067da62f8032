#include "core/crit_sec.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vqlogger {
namespace {

using std::chrono::milliseconds;

// Starts a thread that enters `lock`, and reports whether it got in within
// `wait` while the caller still holds or has left the lock.
class Contender {
 public:
  explicit Contender(CritSec* lock)
      : thread_([this, lock] {
          lock->Enter();
          entered_ = true;
          lock->Leave();
        }) {}
  ~Contender() {
    if (thread_.joinable()) thread_.join();
  }
  bool EnteredWithin(milliseconds wait) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (!entered_ && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(1));
    }
    return entered_;
  }

 private:
  std::atomic<bool> entered_{false};
  std::thread thread_;
};

TEST(CritSecTest, SecondLeaveIsANoOpAndTheLockStillExcludes) {
  CritSec lock;
  lock.Enter();
  EXPECT_TRUE(lock.held());
  EXPECT_TRUE(lock.Leave());
  EXPECT_FALSE(lock.held());
  EXPECT_TRUE(lock.Leave());  // not held: nothing happens
  EXPECT_FALSE(lock.held());

  // An extra leave must not have left the lock open for two owners.
  lock.Enter();
  {
    Contender other(&lock);
    EXPECT_FALSE(other.EnteredWithin(milliseconds(50)));
    lock.Leave();
    EXPECT_TRUE(other.EnteredWithin(std::chrono::seconds(10)));
  }
  EXPECT_FALSE(lock.held());
}

TEST(CritSecTest, GuardLeavesOnScopeExitAndOnException) {
  CritSec lock;
  {
    CritSecGuard guard(&lock);
    EXPECT_TRUE(lock.held());
  }
  EXPECT_FALSE(lock.held());

  EXPECT_THROW(
      {
        CritSecGuard guard(&lock);
        throw std::runtime_error("passes through the guard");
      },
      std::runtime_error);
  EXPECT_FALSE(lock.held());
  Contender other(&lock);
  EXPECT_TRUE(other.EnteredWithin(std::chrono::seconds(10)));
}

// Destroying a held lock leaves it before the mutex is deleted (a thread
// sanitizer run reports the destruction of a locked mutex otherwise).
TEST(CritSecTest, DestroyingAHeldLockLeavesIt) {
  alignas(CritSec) unsigned char storage[sizeof(CritSec)];
  std::thread owner([&storage] {
    CritSec* lock = new (storage) CritSec();
    lock->Enter();
    ASSERT_TRUE(lock->held());
    lock->~CritSec();
  });
  owner.join();

  // A lock made in the same storage afterwards works normally.
  CritSec* again = new (storage) CritSec();
  EXPECT_FALSE(again->held());
  again->Enter();
  EXPECT_TRUE(again->held());
  again->~CritSec();
}

// Waiters without spin: a lone one naps as the standby, or uses its naps up
// while the holder keeps the lock and then sleeps; with more, some sleep
// until an unlock wakes them. On every path the lock excludes, and every
// waiter gets in, also where half the threads spin first (both kinds of
// waiter sleep, and an unlock wakes only a counted sleeper).
TEST(CritSecTest, WaitersWithoutSpinAllGetInOneAtATime) {
  const struct { int threads, rounds, hold_us; bool half_spin; } cases[] = {
      {2, 20000, 0, false}, {2, 20, 3000, false}, {8, 4000, 0, false},
      {8, 10, 2000, false}, {8, 4000, 0, true},   {8, 10, 2000, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.threads << " threads, holds of " << c.hold_us << " us"
                                    << (c.half_spin ? ", half spinning" : ""));
    CritSec lock;
    long entries = 0;  // touched only under the lock
    std::atomic<int> inside{0}, finished{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < c.threads; ++t) {
      threads.emplace_back([&, spin = c.half_spin && t % 2 == 1] {
        for (int r = 0; r < c.rounds; ++r) {
          CritSecGuard guard(&lock, spin);
          if (inside.fetch_add(1) != 0) overlapped = true;
          ++entries;
          std::this_thread::sleep_for(std::chrono::microseconds(c.hold_us));
          inside.fetch_sub(1);
        }
        finished.fetch_add(1);
      });
    }
    // A wake-up lost leaves a waiter asleep for good: fail, not hang.
    for (int waited_ms = 0; finished.load() < c.threads; ++waited_ms) {
      if (waited_ms == 60000) std::_Exit((fprintf(stderr, "a waiter never got in\n"), 1));
      std::this_thread::sleep_for(milliseconds(1));
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(entries, long{c.threads} * c.rounds);
  }
}

}  // namespace
}  // namespace vqlogger
