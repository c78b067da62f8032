// The pieces every log line is made of: numbers and time stamps rendered as
// the log format wants them, and the narrow-to-UTF-8 conversion.
//
// Pure functions: no logger state, no locks, no heap use on the record path.
#ifndef VQLOGGER_CORE_RECORD_LAYOUT_H_
#define VQLOGGER_CORE_RECORD_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace vqlogger {

// Two decimal digits for every value below 100: "00" "01" ... "99".
extern const char kDigitPairs[201];

// FormatDecimal for values of 1000 and above and for negative ones.
size_t FormatDecimalLong(int value, char* out);

// Renders `value` as "%d" does: signed decimal, no padding. Writes the digits
// and a terminating zero into `out` (at least kIntTextCapacity bytes) and
// returns the number of characters.   -42 => "-42", 0 => "0".
// Levels, milliseconds and most line numbers are below 1000: inline, with
// no digit count and no loop for them.
inline size_t FormatDecimal(int value, char* out) {
  uint32_t small = static_cast<uint32_t>(value);
  if (small < 10) {
    out[0] = static_cast<char>('0' + small);
    out[1] = '\0';
    return 1;
  }
  if (small < 100) {
    memcpy(out, kDigitPairs + 2 * small, 2);
    out[2] = '\0';
    return 2;
  }
  if (small < 1000) {
    out[0] = static_cast<char>('0' + small / 100);
    memcpy(out + 1, kDigitPairs + 2 * (small % 100), 2);
    out[3] = '\0';
    return 3;
  }
  return FormatDecimalLong(value, out);
}

// Renders the part of a time stamp that changes once a second, "%d-%d-%d
// %d:%d:%d." (note the trailing dot), into `out` (at least 32 bytes); returns
// its length.  2027-01-05 08:04:09 => "2027-1-5 8:4:9."
size_t FormatTimestampSecond(const platform::LocalTime& t, char* out);

// The whole time stamp "%d-%d-%d %d:%d:%d.%d".
//   2027-01-05 08:04:09.007 => "2027-1-5 8:4:9.7"
//   2026-12-07 09:05:03.250 => "2026-12-7 9:5:3.250"
size_t FormatTimestamp(const platform::LocalTime& t, char* out);

// The time text of a log file name, "%d-%d-%d-%d-%d-%d".
//   2027-01-05 08:04:09 => "2027-1-5-8-4-9"
size_t FormatFileTime(const platform::LocalTime& t, char* out);

// Converts `source` (narrow code page, NUL-terminated) to UTF-8 in
// `destination`, which holds `capacity` bytes. The source is read whole
// before anything is written, so source and destination may be the same
// address. Returns false for a null pointer, or when the UTF-16 form (in
// units) or the UTF-8 form (in bytes), terminator included, exceeds
// `capacity`. ASCII text comes out unchanged.
bool ConvertAnsiToUtf8(const char* source, char* destination, int capacity);

// True when no byte of the NUL-terminated `text` has its high bit set;
// `length` (out) receives strlen(text).
bool IsAsciiText(const char* text, size_t* length);

// What a message holds that the record builder must deal with.
struct TextScan {
  bool has_line_control;  // a tab, CR or LF
  bool has_high_bytes;    // a byte above 0x7F (not 7-bit ASCII)
};
TextScan ScanText(const char* text, size_t length);

// True when none of the `length` bytes at `text` has its high bit set.
bool IsAsciiBytes(const char* text, size_t length);

}  // namespace vqlogger

#endif  // VQLOGGER_CORE_RECORD_LAYOUT_H_
