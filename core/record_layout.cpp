#include "core/record_layout.h"

#include <cstdint>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/limits.h"

namespace vqlogger {

const char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

namespace {

size_t CountDigits(uint32_t v) {
  size_t n = 1;
  for (;;) {
    if (v < 10) return n;
    if (v < 100) return n + 1;
    if (v < 1000) return n + 2;
    if (v < 10000) return n + 3;
    v /= 10000;
    n += 4;
  }
}

// Writes the decimal digits of `v` at `out`, returns how many.
size_t FormatUnsigned(uint32_t v, char* out) {
  size_t n = CountDigits(v);
  char* p = out + n;
  while (v >= 100) {
    uint32_t pair = v % 100;
    v /= 100;
    p -= 2;
    memcpy(p, kDigitPairs + 2 * pair, 2);
  }
  if (v >= 10) {
    p -= 2;
    memcpy(p, kDigitPairs + 2 * v, 2);
  } else {
    *--p = static_cast<char>('0' + v);
  }
  return n;
}

// Appends "%d" of `v` and then `separator` (if not 0) at out + pos.
size_t AppendNumber(char* out, size_t pos, int v, char separator) {
  pos += FormatDecimal(v, out + pos);
  if (separator != 0) out[pos++] = separator;
  return pos;
}

}  // namespace

size_t FormatDecimalLong(int value, char* out) {
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

VQ_HOT TextScan ScanText(const char* text, size_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
#if defined(__SSE2__)
  if (length >= 16) {
    // One signed compare flags every byte below 14 (tab, LF and CR among
    // them) and every byte above 0x7F (negative as signed). Plain text has
    // none, and the precise scan below runs only when one turns up. Two
    // steps of 16 bytes a turn; the last step overlaps the one before it
    // instead of finishing byte by byte.
    const __m128i fourteen = _mm_set1_epi8(14);
    __m128i suspect = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 32 <= length; i += 32) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
      suspect = _mm_or_si128(suspect, _mm_or_si128(_mm_cmplt_epi8(a, fourteen),
                                                   _mm_cmplt_epi8(b, fourteen)));
    }
    if (i + 16 <= length) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      suspect = _mm_or_si128(suspect, _mm_cmplt_epi8(a, fourteen));
      i += 16;
    }
    if (i < length) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + length - 16));
      suspect = _mm_or_si128(suspect, _mm_cmplt_epi8(a, fourteen));
    }
    if (_mm_movemask_epi8(suspect) == 0) return TextScan{false, false};
  }
#endif
  TextScan scan = {false, false};
  for (size_t i = 0; i < length; ++i) {
    unsigned char byte = p[i];
    scan.has_line_control |= byte == '\t' || byte == '\r' || byte == '\n';
    scan.has_high_bytes |= byte >= 0x80;
  }
  return scan;
}

bool IsAsciiText(const char* text, size_t* length) {
  size_t len = strlen(text);
  *length = len;
  return IsAsciiBytes(text, len);
}

VQ_HOT bool IsAsciiBytes(const char* text, size_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes a step: the high bits of all of them in one mask.
  if (length >= 16) {
    // The last step overlaps the one before it.
    __m128i high = _mm_setzero_si128();
    for (; i + 16 <= length; i += 16) {
      high = _mm_or_si128(high, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
    }
    if (i < length) {
      high = _mm_or_si128(
          high, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + length - 16)));
    }
    return _mm_movemask_epi8(high) == 0;
  }
#endif
  uint64_t bits = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t word;
    memcpy(&word, p + i, 8);
    bits |= word;
  }
  if (i < length) {
    uint64_t word = 0;
    memcpy(&word, p + i, length - i);
    bits |= word;
  }
  return (bits & 0x8080808080808080ull) == 0;
}

namespace {

// The conversion through UTF-16, where the platform has no direct one. A
// function of its own, so that its 10 KB buffer is on the stack only when
// this path runs.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
bool ConvertThroughUtf16(const char* source, char* destination, int capacity) {
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

}  // namespace

bool ConvertAnsiToUtf8(const char* source, char* destination, int capacity) {
  if (source == nullptr || destination == nullptr || capacity <= 0) return false;
  size_t length;
  if (IsAsciiText(source, &length)) {
    // Identity conversion: only the size rule applies.
    if (length + 1 > static_cast<size_t>(capacity)) return false;
    if (destination != source) memmove(destination, source, length + 1);
    return true;
  }
  int direct = platform::AnsiToUtf8Direct(source, destination, capacity);
  if (direct >= 0) return direct != 0;
  return ConvertThroughUtf16(source, destination, capacity);
}

}  // namespace vqlogger
