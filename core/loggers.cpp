#include "core/loggers.h"

namespace vqlogger {

std::atomic<RuntimeLogger*> runtimeLogger{nullptr};
std::atomic<AssertLogger*> assertLogger{nullptr};
StaticCritSec initLock;
StaticCritSec levelLock;
std::atomic<bool> libraryClosed{false};

namespace {

const char* const kAssertColumns[] = {"EXPRESSION"};
const char* const kRuntimeColumns[] = {"LOGGED_DATA", "LEVEL"};

// What each get-or-create operation owns.
struct CreationState {
  StaticCritSec creationLock;  // serialises the creation
  bool creationFailed;         // a creation left the pointer null; never cleared
};
CreationState runtimeCreation;
CreationState assertCreation;

template <typename Logger>
bool GetOrCreate(std::atomic<Logger*>* slot, CreationState* state) {
  // The lock is made on the first call; every call runs under initLock.
  state->creationLock.Construct();
  if (slot->load(std::memory_order_acquire) == nullptr) {
    if (state->creationFailed) return true;
    CritSecGuard guard(state->creationLock.get());
    if (slot->load(std::memory_order_acquire) == nullptr && !state->creationFailed) {
      Logger* logger = new (std::nothrow) Logger();
      // Published only once construction has finished.
      slot->store(logger, std::memory_order_release);
      if (logger == nullptr) state->creationFailed = true;
    }
  }
  if (state->creationFailed) return true;
  // Wait for a creation still in progress in another thread.
  { CritSecGuard guard(state->creationLock.get()); }
  return state->creationFailed;
}

}  // namespace

AssertLogger::AssertLogger() {
  SetUpColumns("_assert.log", kAssertColumns, sizeof kAssertColumns / sizeof kAssertColumns[0]);
}
AssertLogger::~AssertLogger() = default;

RuntimeLogger::RuntimeLogger() {
  SetUpColumns("_runtime.log", kRuntimeColumns, sizeof kRuntimeColumns / sizeof kRuntimeColumns[0]);
}
RuntimeLogger::~RuntimeLogger() = default;

bool GetRuntimeLogger(std::atomic<RuntimeLogger*>* slot) { return GetOrCreate(slot, &runtimeCreation); }
bool GetAssertLogger(std::atomic<AssertLogger*>* slot) { return GetOrCreate(slot, &assertCreation); }

void DeleteCreationLocks() {
  // Reverse order of their creation: the assert logger's lock first.
  assertCreation.creationLock.Destroy();
  runtimeCreation.creationLock.Destroy();
}

}  // namespace vqlogger
