// Library lifetime. The platform backend calls OnLibraryLoad when the library
// is loaded and OnLibraryUnload once when it is unloaded or the process
// exits. Nothing else in the library has a static constructor or destructor:
// the order below is the whole story.
#include "core/loggers.h"
#include "platform/platform.h"

namespace vqlogger {

namespace {
bool torn_down = false;
}  // namespace

void OnLibraryLoad() {
  initLock.Construct();
  levelLock.Construct();
}

void OnForkInChild() {
  // A parent thread may have been writing, or waiting with a queued line:
  // neither exists here.
  if (RuntimeLogger* runtime = runtimeLogger.load(std::memory_order_acquire)) runtime->ForgetParentLines();
  if (AssertLogger* assert_logger = assertLogger.load(std::memory_order_acquire)) {
    assert_logger->ForgetParentLines();
  }
}

void OnLibraryUnload() {
  if (torn_down) return;
  torn_down = true;
  // Runtime logger first, then the assert logger; each closes its file.
  if (RuntimeLogger* runtime = runtimeLogger.exchange(nullptr, std::memory_order_acq_rel)) {
    delete runtime;
  }
  if (AssertLogger* assert_logger = assertLogger.exchange(nullptr, std::memory_order_acq_rel)) {
    delete assert_logger;
  }
  // Only then the locks, in the reverse order of their creation.
  DeleteCreationLocks();
  levelLock.Destroy();
  initLock.Destroy();
}

}  // namespace vqlogger
