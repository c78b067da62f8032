#include "console.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <streambuf>

namespace vqlog {
namespace {

// The code point of the UTF-8 sequence at text[i] and its length, or a
// length of 0 when the bytes there are not UTF-8 (overlong forms, surrogates
// and values past U+10FFFF included).
size_t DecodeUtf8(std::string_view text, size_t i, char32_t* code_point) {
  const unsigned char lead = static_cast<unsigned char>(text[i]);
  size_t length;
  char32_t value, min;
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const unsigned char c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    value = (value << 6) | (c & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return length;
}


#ifdef _WIN32
HANDLE StdoutHandle() { return GetStdHandle(STD_OUTPUT_HANDLE); }

bool StdoutIsConsole() {
  HANDLE out = StdoutHandle();
  DWORD mode = 0;
  return out != INVALID_HANDLE_VALUE && out != nullptr && GetFileType(out) == FILE_TYPE_CHAR &&
         GetConsoleMode(out, &mode);
}

// Collects UTF-8 and writes whole characters to the console as UTF-16; a
// sequence cut at the end of the buffer waits for its last bytes.
class ConsoleBuffer : public std::streambuf {
 public:
  explicit ConsoleBuffer(HANDLE console) : console_(console) {}
  ~ConsoleBuffer() override { Write(true); }

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) {
      pending_.push_back(static_cast<char>(c));
      if (pending_.size() >= kFlushBytes) Write(false);
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    pending_.append(s, static_cast<size_t>(n));
    if (pending_.size() >= kFlushBytes) Write(false);
    return n;
  }
  int sync() override {
    Write(false);
    return 0;
  }

 private:
  static constexpr size_t kFlushBytes = 1 << 16;

  void Write(bool all) {
    size_t end = pending_.size();
    if (!all) {
      // Back over a lead byte whose sequence is not complete yet.
      for (size_t back = 1; back <= 3 && back <= end; ++back) {
        unsigned char c = static_cast<unsigned char>(pending_[end - back]);
        if ((c & 0xC0) == 0x80) continue;
        size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (need > back) end -= back;
        break;
      }
    }
    if (end == 0) return;
    int wide_length = MultiByteToWideChar(CP_UTF8, 0, pending_.data(), static_cast<int>(end), nullptr, 0);
    if (wide_length > 0) {
      std::wstring wide(static_cast<size_t>(wide_length), L'\0');
      MultiByteToWideChar(CP_UTF8, 0, pending_.data(), static_cast<int>(end), &wide[0], wide_length);
      const wchar_t* p = wide.data();
      size_t left = wide.size();
      while (left > 0) {
        DWORD written = 0;
        DWORD chunk = static_cast<DWORD>(left < 8192 ? left : 8192);
        if (!WriteConsoleW(console_, p, chunk, &written, nullptr) || written == 0) break;
        p += written;
        left -= written;
      }
    }
    pending_.erase(0, end);
  }

  HANDLE console_;
  std::string pending_;
};
#endif

}  // namespace

bool ActsOnTerminal(char32_t c) {
  return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

int CharWidth(char32_t c) {
  if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
      (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE20 && c <= 0xFE2F) || c == 0x200B || c == 0x200D) {
    return 0;
  }
  if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
      (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
      (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
      (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD)) {
    return 2;
  }
  return 1;
}

bool StdoutWantsColor() {
  if (std::getenv("NO_COLOR") != nullptr) return false;
#ifdef _WIN32
  if (!StdoutIsConsole()) return false;
  HANDLE out = StdoutHandle();
  DWORD mode = 0;
  if (!GetConsoleMode(out, &mode)) return false;
  const DWORD kVirtualTerminal = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
  if ((mode & kVirtualTerminal) != 0) return true;
  return SetConsoleMode(out, mode | kVirtualTerminal) != 0;
#else
  return isatty(STDOUT_FILENO) != 0;
#endif
}

std::ostream& StandardOutput() {
#ifdef _WIN32
  if (StdoutIsConsole()) {
    // Destroyed at exit, the buffer writes what it still holds.
    static ConsoleBuffer buffer(StdoutHandle());
    static std::ostream console(&buffer);
    return console;
  }
  static const bool binary = (_setmode(_fileno(stdout), _O_BINARY), true);
  (void)binary;
#endif
  return std::cout;
}

void UseBinaryStandardInput() {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
#endif
}

std::string TerminalSafe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t c = 0;
    size_t length = DecodeUtf8(text, i, &c);
    char escape[16];
    if (length == 0) {
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(text[i]));
      out += escape;
      ++i;
      continue;
    }
    if (ActsOnTerminal(c)) {
      if (c < 0x80) {
        std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(c));
      } else {
        std::snprintf(escape, sizeof escape, "\\u{%04X}", static_cast<unsigned>(c));
      }
      out += escape;
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

size_t DisplayWidth(std::string_view text) {
  size_t width = 0;
  for (size_t i = 0; i < text.size();) {
    char32_t c = 0;
    size_t length = DecodeUtf8(text, i, &c);
    if (length == 0) {
      ++width;
      ++i;
      continue;
    }
    width += static_cast<size_t>(CharWidth(c));
    i += length;
  }
  return width;
}

}  // namespace vqlog
