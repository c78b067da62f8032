#include "runtime/wide_format.h"

#include <climits>
#include <cstring>
#include <new>

namespace vqlogger {

namespace {

// One conversion specification; every field reset at each "%".
struct Spec {
  bool left = false;       // "-"
  bool plus = false;       // "+"
  bool space = false;      // " "
  bool alternate = false;  // "#"
  bool zero_pad = false;   // "0" as the first width digit
  int width = 0;
  int precision = -1;      // -1: absent
};

const char16_t kLowerDigits[] = u"0123456789abcdef";
const char16_t kUpperDigits[] = u"0123456789ABCDEF";
const char16_t kNullText[] = u"(null)";

bool IsAsciiLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Reads a run of decimal digits starting at *pos; saturates at INT_MAX.
int ReadNumber(const char16_t* format, size_t length, size_t* pos) {
  int value = 0;
  while (*pos < length && IsDigit(format[*pos])) {
    int digit = format[*pos] - u'0';
    value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
    ++*pos;
  }
  return value;
}

// Parses the conversion specification after the "%" at `pos`. Returns the position of
// the conversion character, or `length` when the format ends first.
size_t ParseSpec(const char16_t* format, size_t length, size_t pos, Spec* spec) {
  for (;;) {
    ++pos;
    if (pos >= length) return length;
    char16_t c = format[pos];
    if (IsAsciiLetter(c)) return pos;
    switch (c) {
      case u'-': spec->left = true; continue;
      case u'+': spec->plus = true; continue;
      case u' ': spec->space = true; continue;
      case u'#': spec->alternate = true; continue;
      default: break;
    }
    if (IsDigit(c)) {
      if (c == u'0') spec->zero_pad = true;
      spec->width = ReadNumber(format, length, &pos);
      if (pos >= length) return length;
      if (format[pos] != u'.') return pos;
      c = u'.';
    }
    if (c == u'.') {
      ++pos;
      spec->precision = ReadNumber(format, length, &pos);
      return pos;  // whatever stands there is the conversion character
    }
    // Any other mark ("%", "*", "!") is passed over.
  }
}

void CheckPieceSize(uint64_t units) {
  if (units > kMaxFormattedUnits) throw std::bad_alloc();
}

void RenderNumber(uint32_t magnitude, bool negative, char16_t conversion, const Spec& spec,
                  WideText* out) {
  unsigned base = 10;
  const char16_t* digits = kLowerDigits;
  if (conversion == u'o') base = 8;
  if (conversion == u'x') base = 16;
  if (conversion == u'X') { base = 16; digits = kUpperDigits; }

  char16_t rendered[11];  // at most 11 octal digits for 32 bits
  size_t count = 0;
  do {
    rendered[count++] = digits[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);

  uint64_t zeros = spec.precision > static_cast<int>(count)
                       ? static_cast<uint64_t>(spec.precision) - count : 0;
  char16_t sign = 0;
  if (negative) sign = u'-';
  else if (spec.plus) sign = u'+';
  else if (spec.space) sign = u' ';
  char16_t prefix[2];
  size_t prefix_length = 0;
  if (spec.alternate) {
    if (conversion == u'o') prefix[prefix_length++] = u'0';
    if (conversion == u'x' || conversion == u'X') {
      prefix[prefix_length++] = u'0';
      prefix[prefix_length++] = conversion;
    }
  }
  uint64_t total = count + zeros + (sign != 0 ? 1 : 0) + prefix_length;
  uint64_t width = static_cast<uint64_t>(spec.width);
  uint64_t fill = width > total ? width - total : 0;
  CheckPieceSize(total + fill);

  if (!spec.left && !spec.zero_pad) out->AppendRepeated(u' ', fill);
  if (sign != 0) out->Append(&sign, 1);
  out->Append(prefix, prefix_length);
  if (!spec.left && spec.zero_pad) out->AppendRepeated(u'0', fill);
  out->AppendRepeated(u'0', zeros);
  char16_t most_significant_first[11];
  for (size_t i = 0; i < count; ++i) most_significant_first[i] = rendered[count - 1 - i];
  out->Append(most_significant_first, count);
  if (spec.left) out->AppendRepeated(u' ', fill);
}

void RenderCharacter(char16_t c, const Spec& spec, WideText* out) {
  uint64_t fill = spec.width > 1 ? static_cast<uint64_t>(spec.width) - 1 : 0;
  CheckPieceSize(fill + 1);
  // A zero character ends the piece where it stands.
  if (spec.left) {
    if (c == 0) return;
    out->Append(&c, 1);
    out->AppendRepeated(u' ', fill);
  } else {
    out->AppendRepeated(u' ', fill);
    if (c != 0) out->Append(&c, 1);
  }
}

// Widens a narrow byte as a signed byte: 0xE9 => 0xFFE9.
char16_t WidenSigned(unsigned char byte) {
  return static_cast<char16_t>(static_cast<int16_t>(static_cast<signed char>(byte)));
}

template <typename Char>
void RenderString(const Char* text, const Spec& spec, WideText* out) {
  size_t length = 0;
  uint64_t limit = spec.precision >= 0 ? static_cast<uint64_t>(spec.precision) : UINT64_MAX;
  while (length < limit && text[length] != 0) ++length;
  uint64_t width = static_cast<uint64_t>(spec.width);
  uint64_t fill = width > length ? width - length : 0;
  CheckPieceSize(length + fill);

  if (!spec.left) out->AppendRepeated(u' ', fill);
  if constexpr (sizeof(Char) == 1) {
    for (size_t i = 0; i < length; ++i) {
      char16_t unit = WidenSigned(static_cast<unsigned char>(text[i]));
      out->Append(&unit, 1);
    }
  } else {
    out->Append(text, length);
  }
  if (spec.left) out->AppendRepeated(u' ', fill);
}

void RenderConversion(char16_t conversion, const Spec& spec, FormatArguments& args,
                      WideText* out) {
  switch (conversion) {
    case u'd':
    case u'i':
    case u'l': {
      int value = args.NextInt();
      uint32_t magnitude = static_cast<uint32_t>(value);
      if (value < 0) magnitude = 0u - magnitude;
      RenderNumber(magnitude, value < 0, conversion, spec, out);
      return;
    }
    case u'u':
    case u'o':
    case u'x':
    case u'X':
      RenderNumber(static_cast<uint32_t>(args.NextInt()), false, conversion, spec, out);
      return;
    case u'c':
      RenderCharacter(static_cast<char16_t>(args.NextInt() & 0xFFFF), spec, out);
      return;
    case u'C':
      RenderCharacter(WidenSigned(static_cast<unsigned char>(args.NextInt() & 0xFF)), spec, out);
      return;
    case u's': {
      const char16_t* text = args.NextWideString();
      RenderString(text != nullptr ? text : kNullText, spec, out);
      return;
    }
    case u'S': {
      const char* text = args.NextNarrowString();
      if (text == nullptr) {
        RenderString(kNullText, spec, out);
      } else {
        RenderString(text, spec, out);
      }
      return;
    }
    default:
      args.NextInt();  // unrecognised: read and discard one argument
      return;
  }
}

}  // namespace

void WideText::Reserve(uint64_t extra) {
  uint64_t needed = static_cast<uint64_t>(size_) + extra;
  if (needed > kMaxFormattedUnits) throw std::bad_alloc();
  if (needed + 1 <= capacity_) return;
  uint64_t grown = static_cast<uint64_t>(capacity_) * 2;
  if (grown < needed + 1) grown = needed + 1;
  if (grown > kMaxFormattedUnits + 1) grown = kMaxFormattedUnits + 1;
  std::unique_ptr<char16_t[]> bigger(new char16_t[static_cast<size_t>(grown)]);
  memcpy(bigger.get(), data_, (size_ + 1) * sizeof(char16_t));
  heap_ = std::move(bigger);
  data_ = heap_.get();
  capacity_ = static_cast<size_t>(grown);
}

void WideText::Append(const char16_t* units, size_t count) {
  if (count == 0) return;
  Reserve(count);
  memcpy(data_ + size_, units, count * sizeof(char16_t));
  size_ += count;
  data_[size_] = 0;
}

void WideText::AppendRepeated(char16_t unit, uint64_t count) {
  if (count == 0) return;
  Reserve(count);
  for (uint64_t i = 0; i < count; ++i) data_[size_++] = unit;
  data_[size_] = 0;
}

void ExpandWideFormat(const char16_t* format, FormatArguments& args, WideText* out) {
  size_t length = 0;
  while (format[length] != 0) ++length;

  size_t run_start = 0;
  size_t pos = 0;
  while (pos < length) {
    if (format[pos] != u'%') {
      ++pos;
      continue;
    }
    if (pos > run_start) out->Append(format + run_start, pos - run_start);
    Spec spec;
    size_t conversion = ParseSpec(format, length, pos, &spec);
    if (conversion >= length) return;  // cut off by the end: nothing, no argument
    RenderConversion(format[conversion], spec, args, out);
    run_start = pos = conversion + 1;
  }
  if (pos > run_start) out->Append(format + run_start, pos - run_start);
}

}  // namespace vqlogger
