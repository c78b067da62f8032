// The binary runtime export: renders the whole block as hex on the caller's
// thread and hands the text to the narrow runtime path, which writes it or,
// for 2000 bytes or more, the "too long" fallback line.
#include "runtime/hex_dump.h"

#include <cstdint>
#include <cstring>

#include "core/export_guard.h"
#include "runtime/runtime_log.h"
#include "vqlogger.h"

namespace vqlogger {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
// Every block that can still make a record (up to 1999 bytes) is rendered
// here, on the stack; a larger one gives the fallback line.
constexpr size_t kStackTextBytes = 4000;
}  // namespace

namespace {

// The two digits of every byte value: "000102...FEFF".
struct HexPairs {
  char text[512];
  constexpr HexPairs() : text() {
    for (int i = 0; i < 256; ++i) {
      text[2 * i] = kHexDigits[i >> 4];
      text[2 * i + 1] = kHexDigits[i & 0x0F];
    }
  }
};
constexpr HexPairs kHexPairs;

}  // namespace

bool BytesToHex(const void* block, unsigned count, char* destination) {
  if (block == nullptr || destination == nullptr) return false;
  const unsigned char* bytes = static_cast<const unsigned char*>(block);
  for (unsigned i = 0; i < count; ++i) {
    memcpy(destination + 2 * static_cast<size_t>(i), kHexPairs.text + 2 * bytes[i], 2);
  }
  destination[2 * static_cast<size_t>(count)] = '\0';
  return true;
}

namespace {

void WriteBinary(const char* sourceFile, int lineNumber, const void* block, unsigned count,
                 int level) {
  if (block == nullptr) return;
  // From 2000 bytes on the text has 4000 characters or more: the fallback
  // line, without rendering it.
  if (count >= kStackTextBytes / 2) {
    WriteTooLongRuntimeMessage(sourceFile, lineNumber, level);
    return;
  }
  char text[kStackTextBytes];
  text[0] = '\0';
  if (!BytesToHex(block, count, text)) return;
  WriteNarrowRuntimeMessage(sourceFile, lineNumber, text, level);
}

}  // namespace
}  // namespace vqlogger

extern "C" VQLOGGER_API void VQLOGGER_CALL RuntimeInfoToLogfileBinary(const char* sourceFile,
                                                                      int lineNumber,
                                                                      const void* block,
                                                                      unsigned int count,
                                                                      int level) {
  VQ_EXPORT_BEGIN
  vqlogger::WriteBinary(sourceFile, lineNumber, block, count, level);
  VQ_EXPORT_END(return)
}
