// The assertion export and the assert record: the four common columns, then
// the expression exactly as passed (converted to UTF-8, nothing replaced).
// A record that does not fit a line is dropped without a trace.
#include "core/export_guard.h"
#include "core/limits.h"
#include "core/loggers.h"
#include "vqlogger.h"

namespace vqlogger {

unsigned AssertLogger::BuildAssertRecord(char* buffer, const char* sourceFile, int lineNumber,
                                         const char* expression) {
  BeginRecord(buffer, sourceFile, lineNumber);
  fields.clear();
  // A null expression keeps the line's five columns.
  fields.push_back(expression != nullptr ? expression : kNullPointerText);
  return JoinFields(buffer, kLineCapacity, true);
}

void AssertLogger::WriteAssertRecord(const char* sourceFile, int lineNumber,
                                     const char* expression) {
  char line[kLineCapacity];
  line[0] = '\0';
  CommitRecord(line, [&](char* buffer) -> size_t {
    if (refusing()) return 0;  // the teardown has begun
    return BuildAssertRecord(buffer, sourceFile, lineNumber, expression);
  });
}

}  // namespace vqlogger

extern "C" VQLOGGER_API void VQLOGGER_CALL AssertToLogfile(const char* sourceFile, int lineNumber,
                                                           const char* expression) {
  VQ_EXPORT_BEGIN
  vqlogger::AssertLogger* logger = vqlogger::assertLogger.load(std::memory_order_acquire);
  if (logger == nullptr || !logger->is_open() || logger->refusing()) return;
  logger->WriteAssertRecord(sourceFile, lineNumber, expression);
  VQ_EXPORT_END(return)
}
