// Fuzz target: the record path through the exports. Each input writes one
// record of a kind chosen by its first byte, with a source file name and a
// payload of any bytes, into a scratch directory. The bytes the call added
// to the log are then read back and must be whole lines: ending in CR LF,
// valid UTF-8, starting with a well-formed time stamp, and with exactly the
// log's columns when the caller's texts hold no tab or line break.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "vqlogger.h"

namespace {

struct Logs {
  vqtest::ScratchDir dir;
  std::string runtime_path;
  std::string assert_path;
  Logs() {
    char flag = 0;
    if (!InitializeLogger(&flag, 1, dir.path().c_str())) __builtin_trap();
    runtime_path = vqtest::RuntimeLogIn(dir.path());
    assert_path = vqtest::AssertLogIn(dir.path());
  }
};

Logs* the_logs = nullptr;

Logs& TheLogs() {
  if (the_logs == nullptr) {
    the_logs = new Logs();  // lives for the whole run
    // A run writes hundreds of megabytes: its files go when it exits.
    atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(the_logs->dir.path(), ignored);
    });
  }
  return *the_logs;
}

long FileSize(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  fseek(f, 0, SEEK_END);
  long size = ftell(f);
  fclose(f);
  return size;
}

std::string Tail(const std::string& path, long from) {
  std::string tail;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return tail;
  fseek(f, from, SEEK_SET);
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) tail.append(chunk, n);
  fclose(f);
  return tail;
}

bool IsValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    if (n == 3 && c == 0xE0 && static_cast<unsigned char>(s[i + 1]) < 0xA0) return false;
    if (n == 3 && c == 0xED && static_cast<unsigned char>(s[i + 1]) > 0x9F) return false;
    if (n == 4 && c == 0xF0 && static_cast<unsigned char>(s[i + 1]) < 0x90) return false;
    if (n == 4 && c == 0xF4 && static_cast<unsigned char>(s[i + 1]) > 0x8F) return false;
    i += n;
  }
  return true;
}

bool HasLineBreakOrTab(const std::string& s) { return s.find_first_of("\t\r\n") != std::string::npos; }

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Logs& logs = TheLogs();
  int kind = data[0] % 5;
  size_t name_length = data[1];
  if (name_length > size - 2) name_length = size - 2;
  // The source name: no zero bytes (a C string stops there anyway).
  std::string name(reinterpret_cast<const char*>(data + 2), name_length);
  for (char& c : name) if (c == 0) c = '_';
  std::string payload(reinterpret_cast<const char*>(data + 2 + name_length), size - 2 - name_length);
  std::string text = payload;
  for (char& c : text) if (c == 0) c = ' ';
  // A long name now and then exercises the 1000-character limit.
  if (!name.empty() && name[0] == '~') name.append(1000, 'n');

  const std::string& path = kind == 4 ? logs.assert_path : logs.runtime_path;
  long before = FileSize(path);
  switch (kind) {
    case 0:
      RuntimeInfoToLogfileA(name.c_str(), static_cast<int>(size), text.c_str(), -static_cast<int>(size));
      break;
    case 1: {
      std::vector<char16_t> wide;
      for (size_t i = 0; i + 1 < payload.size(); i += 2) {
        char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(payload[i]) | (static_cast<unsigned char>(payload[i + 1]) << 8));
        wide.push_back(unit == 0 ? u' ' : unit);
      }
      wide.push_back(0);
      RuntimeInfoToLogfile(name.c_str(), 1, reinterpret_cast<const VqWideChar*>(wide.data()), 2);
      break;
    }
    case 2: {
      // A format taken from the input could ask for arguments that do not
      // exist, so the payload goes in as the arguments of a fixed format
      // (the engine itself has a fuzz target of its own).
      std::u16string wide(text.begin(), text.end());
      struct Call {
        static void Go(const char* file, const VqWideChar* format, ...) {
          va_list args;
          va_start(args, format);
          RuntimeInfoToLogfileArglist(file, 3, format, 4, args);
          va_end(args);
        }
      };
      Call::Go(name.c_str(), reinterpret_cast<const VqWideChar*>(u"[%s] %S %d"),
               reinterpret_cast<const VqWideChar*>(wide.c_str()), text.c_str(), static_cast<int>(size));
      break;
    }
    case 3:
      RuntimeInfoToLogfileBinary(name.c_str(), 5, payload.data(), static_cast<unsigned>(payload.size()), 6);
      break;
    case 4:
      AssertToLogfile(name.c_str(), 7, text.c_str());
      break;
  }
  long after = FileSize(path);
  Check(after >= before);
  if (after == before) {
    // Only an assert record too long for a line is dropped.
    Check(kind == 4);
    return 0;
  }
  std::string added = Tail(path, before);
  Check(added.size() >= 2 && added.compare(added.size() - 2, 2, "\r\n") == 0);
  Check(IsValidUtf8(added));
  size_t tab = added.find('\t');
  Check(tab != std::string::npos && vqtest::IsWellFormedTimestamp(added.substr(0, tab)));
  bool plain = !HasLineBreakOrTab(name) && (kind != 4 || !HasLineBreakOrTab(text));
  if (plain) {
    // One line, with the log's columns.
    Check(added.find('\n') == added.size() - 1);
    size_t tabs = 0;
    for (char c : added) tabs += c == '\t';
    Check(tabs == (kind == 4 ? 4u : 5u));
  }
  return 0;
}
