// Shared by the runtime exports: the wide-message hand-over, used by the
// formatted export, and the narrow one, used by the binary export.
#ifndef VQLOGGER_RUNTIME_RUNTIME_LOG_H_
#define VQLOGGER_RUNTIME_RUNTIME_LOG_H_

namespace vqlogger {

// Converts a wide message to the narrow code page and writes it as a runtime
// record, or the fallback line when its narrow form is too long for one.
// Writes nothing for a null file name or message, or when the conversion
// fails for another reason. Uses no heap. Never throws.
void WriteWideRuntimeMessage(const char* sourceFile, int lineNumber, const char16_t* message,
                             int level);

// Writes a narrow message as a runtime record when the runtime log is open.
// A null message writes nothing. Never throws.
void WriteNarrowRuntimeMessage(const char* sourceFile, int lineNumber, const char* message,
                               int level);

// Writes the runtime log's fallback line ("Log Message too Long") for a
// message known to be too long. Never throws.
void WriteTooLongRuntimeMessage(const char* sourceFile, int lineNumber, int level);

}  // namespace vqlogger

#endif  // VQLOGGER_RUNTIME_RUNTIME_LOG_H_
