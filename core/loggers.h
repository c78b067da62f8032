// The two loggers, their process-wide singletons and the process-wide locks.
//
// The record exports read runtimeLogger and assertLogger without a lock
// (acquire); the pointers are published (release) only after construction
// and cleared only at unload.
#ifndef VQLOGGER_CORE_LOGGERS_H_
#define VQLOGGER_CORE_LOGGERS_H_

#include <atomic>
#include <cstdint>
#include <new>

#include "core/crit_sec.h"
#include "core/vq_logger.h"

namespace vqlogger {

struct PreparedMessage;  // runtime/runtime_log.cpp

class AssertLogger final : public VqLogger {
 public:
  AssertLogger();
  ~AssertLogger() override;

  // Builds and writes one assertion record under `lock`; drops a record
  // that does not fit a line. Never throws.
  void WriteAssertRecord(const char* sourceFile, int lineNumber, const char* expression);

  // Renders the record into `buffer` (kLineCapacity bytes); returns the line
  // length or 0. The caller holds `lock`.
  unsigned BuildAssertRecord(char* buffer, const char* sourceFile, int lineNumber,
                             const char* expression);
};

class RuntimeLogger final : public VqLogger {
 public:
  RuntimeLogger();
  ~RuntimeLogger() override;

  // Builds and writes one runtime record under `lock`; writes the fallback
  // line when the record cannot be built. Never throws.
  void WriteRuntimeRecord(const char* sourceFile, int lineNumber, const char* message, int level);

  // Renders the record into `buffer` (kLineCapacity bytes); returns the line
  // length, or 0 when the message or the line is too long. The caller holds
  // `lock`.
  unsigned BuildRuntimeRecord(char* buffer, const char* sourceFile, int lineNumber,
                              const char* message, int level);

  // The fallback line alone, for a message known to be too long without
  // measuring it (a wide message of 8000 units or more). Never throws.
  void WriteTooLongRecord(const char* sourceFile, int lineNumber, int level);

  // WriteRuntimeRecord for a message already prepared outside the lock.
  void WritePreparedRecord(const char* sourceFile, int lineNumber, const PreparedMessage& message);

  // BuildRuntimeRecord for a message already prepared outside the lock.
  unsigned BuildPreparedRecord(char* buffer, const char* sourceFile, int lineNumber,
                               const PreparedMessage& message);

  // The level held for the host; the library compares nothing with it.
  std::atomic<int32_t> level{0};
};

// Copies `count` bytes of `source` into `destination` the way a bounded
// string copy does (stopping after the terminator, zero-filling the rest)
// and replaces every tab, CR and LF by a space, stepping over double-byte
// characters whole. False when either pointer is null.
bool SanitizeMessage(const char* source, char* destination, size_t count);

// A CritSec in static storage, constructed at load and destroyed by the
// teardown, so no static constructor or destructor of its own runs.
class StaticCritSec {
 public:
  void Construct() {
    if (!constructed_) {
      new (storage_) CritSec();
      constructed_ = true;
    }
  }
  void Destroy() {
    if (constructed_) {
      get()->~CritSec();
      constructed_ = false;
    }
  }
  bool constructed() const { return constructed_; }
  CritSec* get() { return reinterpret_cast<CritSec*>(storage_); }

 private:
  alignas(CritSec) unsigned char storage_[sizeof(CritSec)];
  bool constructed_;
};

// Process-wide state. All constant-initialised (zero).
extern std::atomic<RuntimeLogger*> runtimeLogger;
extern std::atomic<AssertLogger*> assertLogger;
extern StaticCritSec initLock;   // held by every InitializeLogger call
extern StaticCritSec levelLock;  // held by SetLoggingLevel and GetLoggingLevel

// Set once by the teardown and never cleared: from then on InitializeLogger
// and the level exports return at once. Each tests it before taking its
// lock and again under it; the teardown waits for the lock's holder.
extern std::atomic<bool> libraryClosed;
inline bool LibraryClosed() { return libraryClosed.load(std::memory_order_acquire); }

// Get-or-create of each singleton. Returns the class's creationFailed flag
// (true once a creation failed; it is never cleared). Call under initLock.
bool GetRuntimeLogger(std::atomic<RuntimeLogger*>* slot);
bool GetAssertLogger(std::atomic<AssertLogger*>* slot);

// Deletes the creation locks (the assert logger's first). Part of the
// teardown; the loggers must already be gone.
void DeleteCreationLocks();

}  // namespace vqlogger

#endif  // VQLOGGER_CORE_LOGGERS_H_
