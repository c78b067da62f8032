// The wide format engine: expands a wide (UTF-16) format with its arguments
// into one wide text, using the library's own small format language.
//
// The language, briefly: "%" then flags "-", "+", " ", "#" in any order; a
// width of digits (a leading "0" sets zero-pad, so it must be the last
// flag); "." and precision digits; then the conversion character. The first
// ASCII letter after "%" is always the conversion ("l" is like "d"; "h",
// "I", "w" ... are unrecognised). Recognised: d i l u o x X c C s S. Every
// conversion, recognised or not, reads exactly one argument; an unrecognised
// one renders nothing. "%%" is no escape; "*" and other marks are passed
// over. A zero character ends its piece.
//
// The engine sees neither the OS nor the logger: it reads arguments through
// FormatArguments and renders into a WideText.
#ifndef VQLOGGER_RUNTIME_WIDE_FORMAT_H_
#define VQLOGGER_RUNTIME_WIDE_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vqlogger {

// Where the engine reads its arguments from, one per conversion, in order.
class FormatArguments {
 public:
  virtual ~FormatArguments() = default;
  virtual int NextInt() = 0;                         // d i l u o x X c C, unrecognised
  virtual const char16_t* NextWideString() = 0;      // s
  virtual const char* NextNarrowString() = 0;        // S
};

// A piece of formatted text, or the joined text, longer than this many units
// (terminator not counted) is treated as an allocation failure, so an absurd
// width fails fast instead of filling gigabytes.
constexpr uint64_t kMaxFormattedUnits = uint64_t{1} << 24;

// A growable UTF-16 text, always NUL-terminated, that keeps short texts in
// inline storage (no heap use). Growing past kMaxFormattedUnits, or an
// allocation that fails, throws std::bad_alloc.
class WideText {
 public:
  WideText() { inline_[0] = 0; }
  WideText(const WideText&) = delete;
  WideText& operator=(const WideText&) = delete;

  void Append(const char16_t* units, size_t count);
  void AppendRepeated(char16_t unit, uint64_t count);
  const char16_t* c_str() const { return data_; }
  size_t size() const { return size_; }

 private:
  static constexpr size_t kInlineUnits = 1024;
  // Makes room for `extra` more units and the terminator.
  void Reserve(uint64_t extra);

  char16_t inline_[kInlineUnits];
  std::unique_ptr<char16_t[]> heap_;
  char16_t* data_ = inline_;
  size_t size_ = 0;
  size_t capacity_ = kInlineUnits;  // units, terminator included
};

// Expands `format` (non-null, NUL-terminated) with `args`, appending to
// `out`. Throws std::bad_alloc when a piece or the text cannot be allocated
// or exceeds kMaxFormattedUnits; nothing else. A null "s"/"S" pointer is
// rendered as "(null)".
void ExpandWideFormat(const char16_t* format, FormatArguments& args, WideText* out);

}  // namespace vqlogger

#endif  // VQLOGGER_RUNTIME_WIDE_FORMAT_H_
