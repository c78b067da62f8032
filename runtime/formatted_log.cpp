// The formatted runtime export: expands the wide format on the caller's
// thread, outside any lock, and hands the text to the wide runtime path. If
// the expansion or the hand-over fails, the record says so instead.
#include <cstdarg>

#include "core/export_guard.h"
#include "runtime/runtime_log.h"
#include "runtime/wide_format.h"
#include "vqlogger.h"

namespace vqlogger {
namespace {

const char16_t kFormattingFailedText[] = u"Exception occurred during formatting";

// Reads the engine's arguments from the caller's va_list.
class VaListArguments final : public FormatArguments {
 public:
  explicit VaListArguments(va_list args) { va_copy(args_, args); }
  ~VaListArguments() override { va_end(args_); }

  int NextInt() override { return va_arg(args_, int); }
  const char16_t* NextWideString() override {
    return reinterpret_cast<const char16_t*>(va_arg(args_, const VqWideChar*));
  }
  const char* NextNarrowString() override { return va_arg(args_, const char*); }

 private:
  va_list args_;
};

void WriteFormatted(const char* sourceFile, int lineNumber, const VqWideChar* format, int level,
                    va_list args) {
  if (sourceFile == nullptr || format == nullptr) return;
  try {
    VaListArguments arguments(args);
    WideText text;
    ExpandWideFormat(reinterpret_cast<const char16_t*>(format), arguments, &text);
    WriteWideRuntimeMessage(sourceFile, lineNumber, text.c_str(), level);
  } catch (...) {
    // The partly built text is gone; if this fails too, return quietly.
    try {
      WriteWideRuntimeMessage(sourceFile, lineNumber, kFormattingFailedText, level);
    } catch (...) {
    }
  }
}

}  // namespace
}  // namespace vqlogger

extern "C" VQLOGGER_API void VQLOGGER_CALL RuntimeInfoToLogfileArglist(const char* sourceFile,
                                                                       int lineNumber,
                                                                       const VqWideChar* format,
                                                                       int level, va_list args) {
  VQ_EXPORT_BEGIN
  vqlogger::WriteFormatted(sourceFile, lineNumber, format, level, args);
  VQ_EXPORT_END(return)
}
