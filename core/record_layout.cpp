#include "core/record_layout.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "core/limits.h"

namespace vqlogger {

namespace {

// Writes the decimal digits of `v` at `out`, returns how many.
size_t FormatUnsigned(uint32_t v, char* out) {
  char tmp[10];
  size_t n = 0;
  do {
    tmp[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (size_t i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
  return n;
}

// Appends "%d" of `v` and then `separator` (if not 0) at out + pos.
size_t AppendNumber(char* out, size_t pos, int v, char separator) {
  pos += FormatDecimal(v, out + pos);
  if (separator != 0) out[pos++] = separator;
  return pos;
}

}  // namespace

size_t FormatDecimal(int value, char* out) {
  size_t n = 0;
  uint32_t magnitude = static_cast<uint32_t>(value);
  if (value < 0) {
    out[n++] = '-';
    magnitude = 0u - magnitude;
  }
  n += FormatUnsigned(magnitude, out + n);
  out[n] = '\0';
  return n;
}

size_t FormatTimestampSecond(const platform::LocalTime& t, char* out) {
  size_t n = 0;
  n = AppendNumber(out, n, t.year, '-');
  n = AppendNumber(out, n, t.month, '-');
  n = AppendNumber(out, n, t.day, ' ');
  n = AppendNumber(out, n, t.hour, ':');
  n = AppendNumber(out, n, t.minute, ':');
  n = AppendNumber(out, n, t.second, '.');
  out[n] = '\0';
  return n;
}

size_t FormatTimestamp(const platform::LocalTime& t, char* out) {
  size_t n = FormatTimestampSecond(t, out);
  return n + FormatDecimal(t.millisecond, out + n);
}

size_t FormatFileTime(const platform::LocalTime& t, char* out) {
  size_t n = 0;
  n = AppendNumber(out, n, t.year, '-');
  n = AppendNumber(out, n, t.month, '-');
  n = AppendNumber(out, n, t.day, '-');
  n = AppendNumber(out, n, t.hour, '-');
  n = AppendNumber(out, n, t.minute, '-');
  n = AppendNumber(out, n, t.second, 0);
  out[n] = '\0';
  return n;
}

bool IsAsciiText(const char* text, size_t* length) {
  size_t len = strlen(text);
  *length = len;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  uint64_t bits = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t word;
    memcpy(&word, p + i, 8);
    bits |= word;
  }
  for (; i < len; ++i) bits |= p[i];
  return (bits & 0x8080808080808080ull) == 0;
}

bool ConvertAnsiToUtf8(const char* source, char* destination, int capacity) {
  if (source == nullptr || destination == nullptr || capacity <= 0) return false;
  size_t length;
  if (IsAsciiText(source, &length)) {
    // Identity conversion: only the size rule applies.
    if (length + 1 > static_cast<size_t>(capacity)) return false;
    if (destination != source) memmove(destination, source, length + 1);
    return true;
  }
  // The whole source goes to UTF-16 first, so converting in place is safe.
  // Record lines never exceed kLineCapacity, so the stack buffer serves them.
  char16_t stack_units[kLineCapacity];
  std::unique_ptr<char16_t[]> heap_units;
  char16_t* units = stack_units;
  if (static_cast<unsigned>(capacity) > kLineCapacity) {
    heap_units.reset(new char16_t[static_cast<size_t>(capacity)]);
    units = heap_units.get();
  }
  if (platform::AnsiToWide(source, units, capacity) == 0) return false;
  return platform::WideToUtf8(units, destination, capacity) != 0;
}

}  // namespace vqlogger
