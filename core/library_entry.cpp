// Library lifetime. The platform backend calls OnLibraryLoad when the library
// is loaded and OnLibraryUnload when it is unloaded or the process exits,
// and (POSIX) the fork handlers around fork(). Nothing else in the library
// has a static constructor or destructor: the order below is the whole story.
//
// The teardown never frees what a thread still running could reach:
//   1. libraryClosed is set, and every logger starts refusing, so a call
//      that starts from now on returns without effect;
//   2. where other threads may still run, it waits (bounded) for each lock's
//      holder, so a record under way is finished whole;
//   3. only when the library's code itself goes away (dlclose, FreeLibrary)
//      are the loggers and locks freed. At process exit they stay, with
//      their files open, for the OS to reclaim.
#include <atomic>

#include "core/loggers.h"
#include "platform/platform.h"

namespace vqlogger {

namespace {

std::atomic<bool> torn_down{false};

// The locks BeforeFork took, so the handlers after fork leave or reset
// exactly those.
struct ForkLocks {
  CritSec* held[4];
  int count;
};
ForkLocks fork_locks;

// Waits for the holder of `lock` (bounded); false when the wait ran out.
bool WaitForHolder(CritSec* lock) {
  if (!lock->EnterWithin(VqLogger::kStopWaitMilliseconds)) return false;
  lock->Leave();
  return true;
}

}  // namespace

void OnLibraryLoad() {
  initLock.Construct();
  levelLock.Construct();
}

void OnLibraryUnload(UnloadMode mode) {
  if (torn_down.exchange(true, std::memory_order_acq_rel)) return;
  libraryClosed.store(true, std::memory_order_seq_cst);

  bool quiet = true;  // no thread is left inside a lock of the library
  if (mode.wait_for_writers) quiet = WaitForHolder(initLock.get()) && quiet;
  // Runtime logger first, then the assert logger.
  RuntimeLogger* runtime = runtimeLogger.load(std::memory_order_acquire);
  AssertLogger* assert_logger = assertLogger.load(std::memory_order_acquire);
  if (runtime != nullptr) quiet = runtime->StopWriting(mode.wait_for_writers) && quiet;
  if (assert_logger != nullptr) {
    quiet = assert_logger->StopWriting(mode.wait_for_writers) && quiet;
  }
  if (mode.wait_for_writers) quiet = WaitForHolder(levelLock.get()) && quiet;

  // At process exit nothing is freed. Nor is it when a thread still holds a
  // lock of the library after the wait: a leak beats freeing what it uses.
  if (!mode.release_memory || (mode.wait_for_writers && !quiet)) return;
  // Each logger closes its file.
  if (runtimeLogger.exchange(nullptr, std::memory_order_acq_rel) != nullptr) delete runtime;
  if (assertLogger.exchange(nullptr, std::memory_order_acq_rel) != nullptr) delete assert_logger;
  // Only then the locks, in the reverse order of their creation.
  DeleteCreationLocks();
  levelLock.Destroy();
  initLock.Destroy();
}

// Lock order: initLock (InitializeLogger holds it while it creates loggers
// and opens their files under each logger's lock), then the two loggers'
// locks, then levelLock, which is never held with another. The creation locks
// are taken only under initLock, so holding initLock keeps them free.
void BeforeFork() {
  fork_locks.count = 0;
  if (torn_down.load(std::memory_order_acquire)) return;
  auto take = [](CritSec* lock) {
    lock->Enter();
    fork_locks.held[fork_locks.count++] = lock;
  };
  take(initLock.get());
  // Created only under initLock: these stay as read until the fork is over.
  if (RuntimeLogger* runtime = runtimeLogger.load(std::memory_order_acquire)) {
    take(&runtime->logger_lock());
  }
  if (AssertLogger* assert_logger = assertLogger.load(std::memory_order_acquire)) {
    take(&assert_logger->logger_lock());
  }
  take(levelLock.get());
}

void AfterForkInParent() {
  while (fork_locks.count > 0) fork_locks.held[--fork_locks.count]->Leave();
}

void AfterForkInChild() {
  // A parent thread may have been writing a batch (outside the loggers'
  // locks) or waiting with a queued line: neither came along, so the child
  // starts with no writer and nothing queued.
  if (RuntimeLogger* runtime = runtimeLogger.load(std::memory_order_acquire)) {
    runtime->ForgetParentLines();
  }
  if (AssertLogger* assert_logger = assertLogger.load(std::memory_order_acquire)) {
    assert_logger->ForgetParentLines();
  }
  // The forking thread is the child's only thread and holds these locks;
  // every other thread that waited for them stayed behind in the parent.
  while (fork_locks.count > 0) fork_locks.held[--fork_locks.count]->ResetAfterFork();
}

}  // namespace vqlogger
