// The runtime log's write path and level: narrow and wide records, the
// fallback line for a record that does not fit, and Set/GetLoggingLevel.
// The library filters nothing by level: every record that reaches an open
// runtime log is written.
#include "runtime/runtime_log.h"

#include <cstring>
#include <memory>
#include <new>

#include "core/export_guard.h"
#include "core/limits.h"
#include "core/loggers.h"
#include "core/record_layout.h"
#include "platform/platform.h"
#include "vqlogger.h"

namespace vqlogger {

namespace {

const char kTooLongText[] = "Log Message too Long\t";
const char kLineEnd[] = "\r\n";

// Wide messages up to this many units are converted on the stack.
constexpr size_t kStackWideUnits = 1024;
// Longer than this, a wide message is treated as one whose buffer cannot be
// allocated (its narrow form could not fit a record anyway).
constexpr size_t kMaxWideUnits = size_t{1} << 26;

size_t Append(char* buffer, size_t at, const char* text, size_t length) {
  memcpy(buffer + at, text, length);
  return at + length;
}

}  // namespace

namespace {

// SanitizeMessage for a source whose length (before its terminator) is
// known to be `length`, with `length` < `count`.
void SanitizeKnownLength(const char* source, size_t length, char* destination, size_t count) {
  memcpy(destination, source, length);
  memset(destination + length, 0, count - length);
  // Most messages hold no tab, CR or LF: find the first one fast.
  size_t first = strcspn(destination, "\t\r\n");
  if (first == length) return;
  if (IsAsciiBytes(destination, length)) {
    for (size_t i = first; i < length; ++i) {
      char byte = destination[i];
      if (byte == '\t' || byte == '\r' || byte == '\n') destination[i] = ' ';
    }
    return;
  }
  // Text with bytes above 0x7F may hold double-byte characters, whose trail
  // byte must not be examined: walk it a character at a time. Lead bytes
  // are never below 0x80, so ASCII bytes skip the code-page test.
  for (size_t i = 0; i < length;) {
    unsigned char byte = static_cast<unsigned char>(destination[i]);
    if (byte == '\t' || byte == '\r' || byte == '\n') destination[i] = ' ';
    i += (byte >= 0x80 && i + 1 < length && platform::IsLeadByte(byte)) ? 2 : 1;
  }
}

}  // namespace

bool SanitizeMessage(const char* source, char* destination, size_t count) {
  if (source == nullptr || destination == nullptr) return false;
  if (count == 0) return true;
  // A bounded string copy: stop after the terminator, zero-fill the rest.
  size_t length = strnlen(source, count);
  if (length == count) {
    // No terminator within count: copy count bytes and walk up to there.
    char last = source[count - 1];
    SanitizeKnownLength(source, count - 1, destination, count);
    destination[count - 1] = (last == '\t' || last == '\r' || last == '\n') ? ' ' : last;
    return true;
  }
  SanitizeKnownLength(source, length, destination, count);
  return true;
}

// A runtime message made ready for its line: measured, scanned, sanitised
// and its level rendered. All of it is per-call work that needs no lock, so
// the writer does it before taking the logger's lock.
struct PreparedMessage {
  bool fits;                           // under kMessageCapacity bytes
  const char* text;                    // the message itself, or `copy`
  size_t length;
  bool ascii;                          // 7-bit only: no conversion needed
  char level_text[kIntTextCapacity];
  size_t level_length;
  char copy[kMessageCapacity];         // the sanitised copy, when needed
};

namespace {

void PrepareMessage(const char* message, int level, PreparedMessage* out) {
  out->level_length = FormatDecimal(level, out->level_text);
  out->length = strnlen(message, kMessageCapacity);
  out->fits = out->length + 1 <= kMessageCapacity;
  if (!out->fits) return;
  // Most messages hold no tab, CR or LF; such a message is joined as it
  // stands, without the copy (the bytes are the same).
  TextScan scan = ScanText(message, out->length);
  out->ascii = !scan.has_high_bytes;
  out->text = message;
  if (scan.has_line_control) {
    SanitizeKnownLength(message, out->length, out->copy, out->length + 1);
    out->text = out->copy;
  }
}

}  // namespace

unsigned RuntimeLogger::BuildPreparedRecord(char* buffer, const char* sourceFile, int lineNumber,
                                            const PreparedMessage& message) {
  unsigned prefix = BeginRecord(buffer, sourceFile, lineNumber);
  if (prefix == 0) return 0;
  fields.clear();
  fields.push_back(message.text);
  fields.push_back(message.level_text);
  // JoinFields over these two, with what is known passed along.
  const FieldSpan spans[] = {{message.text, message.length},
                             {message.level_text, message.level_length}};
  return AppendSpans(buffer, prefix, spans, 2, kLineCapacity, true, message.ascii);
}

unsigned RuntimeLogger::BuildRuntimeRecord(char* buffer, const char* sourceFile, int lineNumber,
                                           const char* message, int level_of_record) {
  if (message == nullptr) return 0;
  PreparedMessage prepared;
  PrepareMessage(message, level_of_record, &prepared);
  if (!prepared.fits) return 0;
  return BuildPreparedRecord(buffer, sourceFile, lineNumber, prepared);
}

void RuntimeLogger::WriteRuntimeRecord(const char* sourceFile, int lineNumber, const char* message,
                                       int level_of_record) {
  PreparedMessage prepared;
  PrepareMessage(message, level_of_record, &prepared);
  // Room for the longest fallback line too: prefix, text, level, CR LF.
  char line[kLineCapacity + sizeof kTooLongText + kIntTextCapacity + sizeof kLineEnd];
  line[0] = '\0';

  CommitRecord(line, [&](char* buffer) -> size_t {
    unsigned length =
        prepared.fits ? BuildPreparedRecord(buffer, sourceFile, lineNumber, prepared) : 0;
    if (length != 0) return length;

    // Fallback: the prefix rendered afresh (new time stamp), "Log Message
    // too Long", the level. Lines in the file always end with CR LF.
    buffer[0] = '\0';
    size_t at = BeginRecord(buffer, sourceFile, lineNumber);
    if (at == 0) {
      static const char kLastResort[] = "Null Pointer Error\r\n";
      return Append(buffer, 0, kLastResort, sizeof kLastResort - 1);
    }
    at = Append(buffer, at, kTooLongText, sizeof kTooLongText - 1);
    at = Append(buffer, at, prepared.level_text, prepared.level_length);
    return Append(buffer, at, kLineEnd, sizeof kLineEnd - 1);
  });
}

void WriteNarrowRuntimeMessage(const char* sourceFile, int lineNumber, const char* message,
                               int level) {
  RuntimeLogger* logger = runtimeLogger.load(std::memory_order_acquire);
  if (logger == nullptr || !logger->is_open()) return;
  if (message == nullptr) return;
  logger->WriteRuntimeRecord(sourceFile, lineNumber, message, level);
}

void WriteWideRuntimeMessage(const char* sourceFile, int lineNumber, const char16_t* message,
                             int level) {
  if (sourceFile == nullptr || message == nullptr) return;

  // 7-bit units are the same bytes in every narrow code page, so a short
  // ASCII message is narrowed here, in one pass, with no conversion call.
  char stack_text[3 * kStackWideUnits + 3];
  size_t units = 0;
  for (; units < kStackWideUnits; ++units) {
    char16_t unit = message[units];
    if (unit == 0 || unit >= 0x80) break;
    stack_text[units] = static_cast<char>(unit);
  }
  if (message[units] == 0) {
    stack_text[units] = '\0';
    WriteNarrowRuntimeMessage(sourceFile, lineNumber, stack_text, level);
    return;
  }

  while (message[units] != 0) ++units;
  if (units > kMaxWideUnits) return;
  // Every unit takes at most three narrow bytes (a surrogate pair, four for
  // two units), plus the terminator.
  size_t capacity = 3 * units + 3;
  std::unique_ptr<char[]> heap_text;
  char* text = stack_text;
  if (units > kStackWideUnits) {
    heap_text.reset(new (std::nothrow) char[capacity]);
    if (!heap_text) return;
    text = heap_text.get();
  }
  if (platform::WideToAnsi(message, text, static_cast<int>(capacity)) == 0) return;
  WriteNarrowRuntimeMessage(sourceFile, lineNumber, text, level);
}

}  // namespace vqlogger

extern "C" VQLOGGER_API void VQLOGGER_CALL RuntimeInfoToLogfileA(const char* sourceFile,
                                                                 int lineNumber,
                                                                 const char* message, int level) {
  VQ_EXPORT_BEGIN
  vqlogger::WriteNarrowRuntimeMessage(sourceFile, lineNumber, message, level);
  VQ_EXPORT_END(return)
}

extern "C" VQLOGGER_API void VQLOGGER_CALL RuntimeInfoToLogfile(const char* sourceFile,
                                                                int lineNumber,
                                                                const VqWideChar* message,
                                                                int level) {
  VQ_EXPORT_BEGIN
  vqlogger::WriteWideRuntimeMessage(sourceFile, lineNumber,
                                    reinterpret_cast<const char16_t*>(message), level);
  VQ_EXPORT_END(return)
}

extern "C" VQLOGGER_API void VQLOGGER_CALL SetLoggingLevel(int level) {
  VQ_EXPORT_BEGIN
  if (!vqlogger::levelLock.constructed()) return;
  vqlogger::CritSecGuard guard(vqlogger::levelLock.get());
  vqlogger::RuntimeLogger* logger = vqlogger::runtimeLogger.load(std::memory_order_acquire);
  if (logger != nullptr) logger->level.store(level, std::memory_order_relaxed);
  VQ_EXPORT_END(return)
}

extern "C" VQLOGGER_API int VQLOGGER_CALL GetLoggingLevel(void) {
  VQ_EXPORT_BEGIN
  if (!vqlogger::levelLock.constructed()) return 0;
  vqlogger::CritSecGuard guard(vqlogger::levelLock.get());
  vqlogger::RuntimeLogger* logger = vqlogger::runtimeLogger.load(std::memory_order_acquire);
  return logger != nullptr ? logger->level.load(std::memory_order_relaxed) : 0;
  VQ_EXPORT_END(return 0)
}
