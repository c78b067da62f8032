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

// Waiters that take the lock without spinning. A lone one naps as the
// standby and takes the lock between naps, or uses its naps up while the
// holder keeps the lock and then sleeps; with more, some sleep until an
// unlock wakes them. On every path the lock excludes, and every waiter gets
// in (a wake-up lost would leave one asleep for good).
TEST(CritSecTest, WaitersWithoutSpinAllGetInOneAtATime) {
  using std::chrono::microseconds;
  struct Case {
    const char* name;
    int threads;
    int rounds;
    microseconds hold;
  };
  const Case cases[] = {
      {"two in turn, short holds", 2, 20000, microseconds(0)},
      {"two, holds longer than the standby's naps", 2, 20, microseconds(3000)},
      {"eight in turn, short holds", 8, 4000, microseconds(0)},
      {"eight, long holds", 8, 10, microseconds(2000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CritSec lock;
    long entries = 0;  // touched only under the lock
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < c.threads; ++t) {
      threads.emplace_back([&] {
        for (int r = 0; r < c.rounds; ++r) {
          lock.EnterWithoutSpin();
          if (inside.fetch_add(1) != 0) overlapped = true;
          ++entries;
          if (c.hold.count() > 0) std::this_thread::sleep_for(c.hold);
          inside.fetch_sub(1);
          lock.Leave();
        }
        finished.fetch_add(1);
      });
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (finished.load() < c.threads && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(1));
    }
    if (finished.load() < c.threads) {
      // Joining would hang with them.
      fprintf(stderr, "%s: %d of %d waiters never got in\n", c.name, c.threads - finished.load(),
              c.threads);
      std::_Exit(1);
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(entries, static_cast<long>(c.threads) * c.rounds);
  }
}

}  // namespace
}  // namespace vqlogger
