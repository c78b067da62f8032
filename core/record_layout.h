// The pieces every log line is made of: numbers and time stamps rendered as
// the log format wants them, and the narrow-to-UTF-8 conversion.
//
// Pure functions: no logger state, no locks, no heap use on the record path.
#ifndef VQLOGGER_CORE_RECORD_LAYOUT_H_
#define VQLOGGER_CORE_RECORD_LAYOUT_H_

#include <cstddef>

#include "platform/platform.h"

namespace vqlogger {

// Renders `value` as "%d" does: signed decimal, no padding. Writes the digits
// and a terminating zero into `out` (at least kIntTextCapacity bytes) and
// returns the number of characters.   -42 => "-42", 0 => "0".
size_t FormatDecimal(int value, char* out);

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
