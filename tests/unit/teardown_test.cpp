// The teardown when a thread holds a logger's lock and never leaves it: on
// Windows, a thread the OS ended at exit while it was writing; elsewhere, a
// writer stuck in its write. The teardown must neither block for good nor
// free what that thread holds, and every call after it must return at once
// without effect. The teardown runs once per process, so each mode has a
// test (a process) of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "core/loggers.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "vqlogger.h"

namespace vqlogger {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Opens both logs in a scratch directory and keeps the runtime logger's lock
// in another thread until the end of the test.
class HeldLock {
 public:
  explicit HeldLock(const std::string& dir) {
    char flag = 0;
    EXPECT_TRUE(InitializeLogger(&flag, 1, dir.c_str()));
    RuntimeLogger* logger = runtimeLogger.load();
    EXPECT_NE(logger, nullptr);
    holder_ = std::thread([this, logger] {
      logger->logger_lock().Enter();
      held_ = true;
      while (!release_) std::this_thread::sleep_for(milliseconds(1));
      // The lock is still there to be left: the teardown freed nothing.
      logger->logger_lock().Leave();
    });
    while (!held_) std::this_thread::yield();
  }
  ~HeldLock() {
    release_ = true;
    holder_.join();
  }

 private:
  std::atomic<bool> held_{false};
  std::atomic<bool> release_{false};
  std::thread holder_;
};

// Runs the teardown in `mode` with the runtime lock held; checks how long it
// took, that the loggers were not freed, and that every export then returns
// at once without writing.
void TeardownWithAHeldLock(UnloadMode mode, milliseconds at_most) {
  vqtest::ClearLoggerVariables();
  vqtest::ScratchDir dir;
  HeldLock held(dir.path());
  const std::string runtime_path = vqtest::RuntimeLogIn(dir.path());
  const std::string assert_path = vqtest::AssertLogIn(dir.path());
  const std::string runtime_before = vqtest::ReadFileBytes(runtime_path);
  const std::string assert_before = vqtest::ReadFileBytes(assert_path);

  auto started = Clock::now();
  OnLibraryUnload(mode);
  EXPECT_LT(Clock::now() - started, at_most);
  EXPECT_NE(runtimeLogger.load(), nullptr) << "freed while a thread held its lock";
  EXPECT_NE(assertLogger.load(), nullptr);

  started = Clock::now();
  char flag = 0;
  RuntimeInfoToLogfileA("late.c", 1, "after the teardown", 1);
  AssertToLogfile("late.c", 1, "after the teardown");
  EXPECT_FALSE(InitializeLogger(&flag, 1, dir.path().c_str()));
  SetLoggingLevel(9);
  EXPECT_EQ(GetLoggingLevel(), 0);
  EXPECT_LT(Clock::now() - started, milliseconds(500));
  EXPECT_EQ(vqtest::ReadFileBytes(runtime_path), runtime_before);
  EXPECT_EQ(vqtest::ReadFileBytes(assert_path), assert_before);
}

// Windows process detach: the other threads are gone and no lock is taken.
TEST(TeardownTest, ProcessDetachTakesNoLock) {
  TeardownWithAHeldLock(UnloadMode{/*wait_for_writers=*/false, /*release_memory=*/false},
                        milliseconds(200));
}

// POSIX exit() while threads run: waits for the holder, but only so long.
TEST(TeardownTest, ExitWaitsForTheHolderWithinABound) {
  TeardownWithAHeldLock(UnloadMode{/*wait_for_writers=*/true, /*release_memory=*/false},
                        milliseconds(3 * VqLogger::kStopWaitMilliseconds + 1000));
}

// dlclose while a thread still holds a lock: the loggers are not freed.
TEST(TeardownTest, UnloadDoesNotFreeALoggerWhoseLockIsHeld) {
  TeardownWithAHeldLock(UnloadMode{/*wait_for_writers=*/true, /*release_memory=*/true},
                        milliseconds(3 * VqLogger::kStopWaitMilliseconds + 1000));
}

}  // namespace
}  // namespace vqlogger
