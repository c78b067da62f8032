// Fuzz target: the wide format engine. The input is split at the first
// 0xFF 0xFF pair: before it, the format as UTF-16 units; after it, the
// arguments, four bytes each. String conversions draw from a fixed pool
// (null included) chosen by the argument, since the input cannot hold
// pointers. The engine must never crash, never read an argument past the
// array, and never return more than its size cap.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "runtime/wide_format.h"

namespace {

class ArrayArguments final : public vqlogger::FormatArguments {
 public:
  ArrayArguments(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  int NextInt() override {
    int32_t value = 0;
    if (offset_ + 4 <= size_) memcpy(&value, data_ + offset_, 4);
    offset_ += 4;
    return value;
  }
  const char16_t* NextWideString() override {
    static const char16_t* const kPool[] = {nullptr, u"", u"abc", u"\xD800", u"\xFFE9 \x4E2D \t\r\n"};
    return kPool[static_cast<uint32_t>(NextInt()) % 5];
  }
  const char* NextNarrowString() override {
    static const char* const kPool[] = {nullptr, "", "abc", "\xE9\x80\xFF", "%s%d\t"};
    return kPool[static_cast<uint32_t>(NextInt()) % 5];
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t split = size;
  for (size_t i = 0; i + 1 < size; i += 2) {
    if (data[i] == 0xFF && data[i + 1] == 0xFF) {
      split = i;
      break;
    }
  }
  std::vector<char16_t> format;
  for (size_t i = 0; i + 1 < split; i += 2) {
    char16_t unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) unit = u'%';
    format.push_back(unit);
  }
  format.push_back(0);
  size_t args_at = split + 2 <= size ? split + 2 : size;
  ArrayArguments args(data + args_at, size - args_at);
  try {
    vqlogger::WideText text;
    vqlogger::ExpandWideFormat(format.data(), args, &text);
    if (text.size() > vqlogger::kMaxFormattedUnits) __builtin_trap();
    if (text.c_str()[text.size()] != 0) __builtin_trap();
  } catch (const std::bad_alloc&) {
    // The size cap, or a width too large to allocate: the export then logs
    // its fallback text.
  }
  return 0;
}
