// InitializeLogger: creates both loggers, sets the runtime level, decides the
// assertion flag, chooses and creates the log directory and opens both files.
#include <climits>
#include <cstring>

#include "core/export_guard.h"
#include "core/file_naming.h"
#include "core/limits.h"
#include "core/loggers.h"
#include "platform/platform.h"
#include "vqlogger.h"

namespace vqlogger {

namespace {

bool initialized = false;    // a call ended with both files open; never cleared
bool assertDecided = false;  // a call computed the assert flag
bool assertEnabled = false;  // the flag last computed
bool exitWatched = false;    // WatchProcessExit has run

// atoi's reading of a level: leading white space, an optional sign, decimal
// digits; no digits give 0. Out-of-range values saturate instead of
// overflowing.
int ParseLevel(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

bool Initialize(char* enableAssert, int runtimeLevel, const char* logDirectory) {
  // Called after the teardown began (from a host's own exit handler, or a
  // thread still running at exit): nothing to do.
  if (LibraryClosed()) return false;
  CritSecGuard guard(initLock.get());
  if (LibraryClosed()) return false;
  if (!exitWatched) {
    platform::WatchProcessExit();
    exitWatched = true;
  }

  if (!initialized || runtimeLevel >= 0) {
    GetRuntimeLogger(&runtimeLogger);
    RuntimeLogger* runtime = runtimeLogger.load(std::memory_order_acquire);
    if (runtime == nullptr) return false;
    if (const char* env = platform::EnvironmentValue("LOGGING_ENABLED_RUNTIME")) {
      runtime->level.store(ParseLevel(env), std::memory_order_relaxed);
    } else if (runtimeLevel > 0) {
      runtime->level.store(runtimeLevel, std::memory_order_relaxed);
    }
  }

  if (assertDecided && runtimeLevel < 0) {
    if (enableAssert != nullptr) *enableAssert = assertEnabled ? 1 : 0;
  } else {
    GetAssertLogger(&assertLogger);
    if (assertLogger.load(std::memory_order_acquire) == nullptr) return false;
    bool flag;
    if (runtimeLevel > 0) {
      flag = true;
    } else {
      const char* env = platform::EnvironmentValue("LOGGING_ENABLED_ASSERT");
      flag = env != nullptr && env[0] != '\0';
    }
    if (enableAssert != nullptr) *enableAssert = flag ? 1 : 0;
    assertEnabled = flag;
    assertDecided = true;
  }

  if (initialized && logDirectory == nullptr) return true;

  const char* candidate = platform::EnvironmentValue("LOGGING_DIR");
  if (candidate == nullptr) candidate = logDirectory;
  char directory[kDirectoryCapacity];
  if (candidate != nullptr && MakeDirectoryPath(candidate)) {
    // MakeDirectoryPath refuses paths that do not fit, so this copy is whole.
    size_t length = strnlen(candidate, sizeof directory - 1);
    memcpy(directory, candidate, length);
    directory[length] = '\0';
  } else {
    directory[0] = '\0';
    if (platform::TemporaryDirectory(directory, sizeof directory) == 0) return false;
  }

  RuntimeLogger* runtime = runtimeLogger.load(std::memory_order_acquire);
  runtime->SetDirectory(directory);
  if (!runtime->OpenLogFile()) return false;
  AssertLogger* assert_logger = assertLogger.load(std::memory_order_acquire);
  assert_logger->SetDirectory(directory);
  if (!assert_logger->OpenLogFile()) return false;

  initialized = true;
  return true;
}

}  // namespace
}  // namespace vqlogger

extern "C" VQLOGGER_API bool VQLOGGER_CALL InitializeLogger(char* enableAssert, int runtimeLevel,
                                                            const char* logDirectory) {
  VQ_EXPORT_BEGIN
  return vqlogger::Initialize(enableAssert, runtimeLevel, logDirectory);
  VQ_EXPORT_END(return false)
}
