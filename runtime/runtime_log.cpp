// The runtime log's write path and level: narrow and wide records, the
// fallback line for a record that does not fit, and Set/GetLoggingLevel.
// The library filters nothing by level: every record that reaches an open
// runtime log is written.
#include "runtime/runtime_log.h"

#include <cstring>

#include "core/export_guard.h"
#include "core/limits.h"
#include "core/loggers.h"
#include "core/record_layout.h"
#include "core/thread_marks.h"
#include "platform/platform.h"
#include "vqlogger.h"

namespace vqlogger {

namespace {

const char kTooLongText[] = "Log Message too Long\t";
const char kLineEnd[] = "\r\n";


size_t Append(char* buffer, size_t at, const char* text, size_t length) {
  memcpy(buffer + at, text, length);
  return at + length;
}

}  // namespace

namespace {

// Replaces every tab, CR and LF of the `length` bytes at `text` by a space,
// stepping over double-byte characters whole.
void ReplaceLineControls(char* text, size_t length) {
  // Most messages hold no tab, CR or LF: find the first one fast.
  size_t first = 0;
  while (first < length && text[first] != '\t' && text[first] != '\r' && text[first] != '\n') {
    ++first;
  }
  if (first == length) return;
  if (IsAsciiBytes(text, length)) {
    for (size_t i = first; i < length; ++i) {
      char byte = text[i];
      if (byte == '\t' || byte == '\r' || byte == '\n') text[i] = ' ';
    }
    return;
  }
  // Text with bytes above 0x7F may hold double-byte characters, whose trail
  // byte must not be examined: walk it a character at a time. Lead bytes
  // are never below 0x80, so ASCII bytes skip the code-page test.
  for (size_t i = 0; i < length;) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte == '\t' || byte == '\r' || byte == '\n') text[i] = ' ';
    i += (byte >= 0x80 && i + 1 < length && platform::IsLeadByte(byte)) ? 2 : 1;
  }
}

// SanitizeMessage for a source whose length (before its terminator) is
// known to be `length`, with `length` < `count`.
void SanitizeKnownLength(const char* source, size_t length, char* destination, size_t count) {
  memcpy(destination, source, length);
  memset(destination + length, 0, count - length);
  ReplaceLineControls(destination, length);
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

// A runtime message made ready for its line: measured, scanned and its level
// rendered. All of it is per-call work that needs no lock, so the writer does
// it before taking the logger's lock. A message with a tab, CR or LF is
// cleaned up in the line buffer itself, under the lock, so no second copy of
// it takes room on the caller's stack.
struct PreparedMessage {
  bool fits;                           // under kMessageCapacity bytes
  const char* text;                    // the message itself
  size_t length;
  bool ascii;                          // 7-bit only: no conversion needed
  bool has_line_control;               // a tab, CR or LF to replace
  char level_text[kIntTextCapacity];
  size_t level_length;
};

namespace {

void PrepareLevel(int level, PreparedMessage* out) {
  out->level_length = FormatDecimal(level, out->level_text);
}

void PrepareMessage(const char* message, int level, PreparedMessage* out) {
  PrepareLevel(level, out);
  out->length = strnlen(message, kMessageCapacity);
  out->fits = out->length + 1 <= kMessageCapacity;
  if (!out->fits) return;
  TextScan scan = ScanText(message, out->length);
  out->ascii = !scan.has_high_bytes;
  out->text = message;
  out->has_line_control = scan.has_line_control;
}

}  // namespace

VQ_HOT unsigned RuntimeLogger::BuildPreparedRecord(char* buffer, const char* sourceFile,
                                                   int lineNumber, const PreparedMessage& message) {
  unsigned prefix = BeginRecord(buffer, sourceFile, lineNumber);
  if (prefix == 0) return 0;
  if (message.ascii && !message.has_line_control) {
    // The common line: message, tab, level, CR LF, with nothing to convert
    // or clean up. The same bytes as the join below; room as it counts it,
    // plus the whole of the level's buffer, which is copied at a fixed size.
    size_t end = prefix;
    if (end + message.length + 1 + sizeof message.level_text + 2 + 1 <= kLineCapacity) {
      memcpy(buffer + end, message.text, message.length);
      end += message.length;
      buffer[end++] = '\t';
      memcpy(buffer + end, message.level_text, sizeof message.level_text);  // fixed size: no call
      end += message.level_length;
      memcpy(buffer + end, kLineEnd, sizeof kLineEnd);  // CR LF and the zero
      return static_cast<unsigned>(end + 2);
    }
  }
  const char* text = message.text;
  if (message.has_line_control) {
    // Copied into its place in the line and cleaned up there; AppendSpans
    // then finds it in place. Room as AppendSpans counts it: text, tab, zero.
    if (prefix + message.length + 2 > kLineCapacity) return 0;
    memcpy(buffer + prefix, message.text, message.length);
    ReplaceLineControls(buffer + prefix, message.length);
    text = buffer + prefix;
  }
  // JoinFields over these two, with what is known passed along.
  const FieldSpan spans[] = {{text, message.length},
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

VQ_HOT void RuntimeLogger::WriteRuntimeRecord(const char* sourceFile, int lineNumber,
                                              const char* message, int level_of_record) {
  PreparedMessage prepared;
  PrepareMessage(message, level_of_record, &prepared);
  WritePreparedRecord(sourceFile, lineNumber, prepared);
}

void RuntimeLogger::WriteTooLongRecord(const char* sourceFile, int lineNumber,
                                       int level_of_record) {
  PreparedMessage prepared;
  PrepareLevel(level_of_record, &prepared);
  prepared.fits = false;
  WritePreparedRecord(sourceFile, lineNumber, prepared);
}

VQ_HOT void RuntimeLogger::WritePreparedRecord(const char* sourceFile, int lineNumber,
                                               const PreparedMessage& prepared) {
  // Room for the longest fallback line too: prefix, text, level, CR LF.
  char line[kLineCapacity + sizeof kTooLongText + kIntTextCapacity + sizeof kLineEnd];
  line[0] = '\0';

  CommitRecord(line, [&](char* buffer) -> size_t {
    if (refusing()) return 0;  // the teardown has begun
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

namespace {

// The runtime logger when records can be written to it now, else null.
RuntimeLogger* WritableRuntimeLogger() {
  RuntimeLogger* logger = runtimeLogger.load(std::memory_order_acquire);
  if (logger == nullptr || !logger->is_open() || logger->refusing()) return nullptr;
  return logger;
}

}  // namespace

void WriteTooLongRuntimeMessage(const char* sourceFile, int lineNumber, int level) {
  if (RuntimeLogger* logger = WritableRuntimeLogger()) {
    logger->WriteTooLongRecord(sourceFile, lineNumber, level);
  }
}

VQ_HOT void WriteNarrowRuntimeMessage(const char* sourceFile, int lineNumber, const char* message,
                                      int level) {
  if (message == nullptr) return;
  if (RuntimeLogger* logger = WritableRuntimeLogger()) {
    logger->WriteRuntimeRecord(sourceFile, lineNumber, message, level);
  }
}

void WriteWideRuntimeMessage(const char* sourceFile, int lineNumber, const char16_t* message,
                             int level) {
  if (sourceFile == nullptr || message == nullptr) return;

  // The narrow form decides: kMessageCapacity bytes or more give the
  // fallback line. Every unit becomes at least one narrow byte, except a
  // surrogate pair, which may become one default character: no two units
  // become fewer than one byte. So a message of kMaxWideUnitsForRecord
  // units or more can only give the fallback line, and is not converted;
  // shorter ones are converted into a buffer of kMessageCapacity bytes, and
  // one that does not fit there is too long as well. No heap, ever.
  constexpr size_t kMaxWideUnitsForRecord = 2 * kMessageCapacity;
  char text[kMessageCapacity];

  // 7-bit units are the same bytes in every narrow code page, so an ASCII
  // message is narrowed here, in one pass, with no conversion call.
  size_t units = 0;
  for (; units < kMessageCapacity; ++units) {
    char16_t unit = message[units];
    if (unit == 0 || unit >= 0x80) break;
    text[units] = static_cast<char>(unit);
  }
  if (units == kMessageCapacity) {
    WriteTooLongRuntimeMessage(sourceFile, lineNumber, level);
    return;
  }
  if (message[units] == 0) {
    text[units] = '\0';
    WriteNarrowRuntimeMessage(sourceFile, lineNumber, text, level);
    return;
  }

  while (units < kMaxWideUnitsForRecord && message[units] != 0) ++units;
  if (units == kMaxWideUnitsForRecord) {
    WriteTooLongRuntimeMessage(sourceFile, lineNumber, level);
    return;
  }
  bool too_long = false;
  if (platform::WideToAnsiWithin(message, text, static_cast<int>(sizeof text), &too_long) == 0) {
    // Too long for a record: the fallback line. Any other failure: nothing.
    if (too_long) WriteTooLongRuntimeMessage(sourceFile, lineNumber, level);
    return;
  }
  WriteNarrowRuntimeMessage(sourceFile, lineNumber, text, level);
}

}  // namespace vqlogger

extern "C" VQ_HOT VQLOGGER_API void VQLOGGER_CALL RuntimeInfoToLogfileA(const char* sourceFile,
                                                                        int lineNumber,
                                                                        const char* message,
                                                                        int level) {
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

namespace vqlogger {
namespace {

// The level lock only keeps the teardown from freeing the logger under a
// level call. A handler that interrupted its own thread while it held (or
// was taking) a lock of the library reads and sets the level without it:
// taking it could wait for that very thread.
RuntimeLogger* LoggerForLevel(CritSec** taken) {
  *taken = nullptr;
  if (LibraryClosed()) return nullptr;
  if ((platform::ThreadMarks() & kMarkLockMask) == 0) {
    *taken = levelLock.get();
    (*taken)->Enter();
    if (LibraryClosed()) return nullptr;
  }
  return runtimeLogger.load(std::memory_order_acquire);
}

// Leaves the level lock if LoggerForLevel took it, on every return path.
struct LevelLockRelease {
  CritSec* taken;
  ~LevelLockRelease() {
    if (taken != nullptr) taken->Leave();
  }
};

}  // namespace
}  // namespace vqlogger

extern "C" VQLOGGER_API void VQLOGGER_CALL SetLoggingLevel(int level) {
  VQ_EXPORT_BEGIN
  vqlogger::LevelLockRelease release{nullptr};
  vqlogger::RuntimeLogger* logger = vqlogger::LoggerForLevel(&release.taken);
  if (logger != nullptr) logger->level.store(level, std::memory_order_relaxed);
  VQ_EXPORT_END(return)
}

extern "C" VQLOGGER_API int VQLOGGER_CALL GetLoggingLevel(void) {
  VQ_EXPORT_BEGIN
  vqlogger::LevelLockRelease release{nullptr};
  vqlogger::RuntimeLogger* logger = vqlogger::LoggerForLevel(&release.taken);
  return logger != nullptr ? logger->level.load(std::memory_order_relaxed) : 0;
  VQ_EXPORT_END(return 0)
}
