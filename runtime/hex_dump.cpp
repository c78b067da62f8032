// The binary runtime export: renders the whole block as hex on the caller's
// thread and hands the text to the narrow runtime path, which writes it or,
// for 2000 bytes or more, the "too long" fallback line.
#include "runtime/hex_dump.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "core/export_guard.h"
#include "runtime/runtime_log.h"
#include "vqlogger.h"

namespace vqlogger {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
// Blocks whose text fits here are rendered on the stack: every block that
// can still make a record (up to 1999 bytes).
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
  // 2 * count + 1 without wrap-around: on a 32-bit build it can exceed
  // size_t, and such a buffer cannot be allocated.
  uint64_t size = 2 * static_cast<uint64_t>(count) + 1;
  if (size > SIZE_MAX) return;
  char stack_text[kStackTextBytes];
  std::unique_ptr<char[]> heap_text;
  char* text = stack_text;
  if (size > kStackTextBytes) {
    heap_text.reset(new (std::nothrow) char[static_cast<size_t>(size)]);
    if (!heap_text) return;
    text = heap_text.get();
  }
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
