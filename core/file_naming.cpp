#include "core/file_naming.h"

#include <cstring>
#include <initializer_list>
#include <memory>

#include "core/limits.h"
#include "core/record_layout.h"
#include "core/vq_logger.h"
#include "platform/platform.h"

namespace vqlogger {

namespace {
const unsigned char kByteOrderMark[] = {0xEF, 0xBB, 0xBF};
}  // namespace

bool MakeDirectoryPath(const char* path) {
  if (path == nullptr || path[0] == '\0') return false;
  size_t length = strnlen(path, kDirectoryCapacity);
  // Too long for the working copy below: never created, never overrun.
  if (length >= kDirectoryCapacity) return false;

  switch (platform::ProbePath(path)) {
    case platform::ProbeResult::kExists:
      return true;
    case platform::ProbeResult::kOtherError:
      return false;
    case platform::ProbeResult::kNotFound:
      break;
  }

  const char* last = strrchr(path, platform::kPathSeparator);
  if (last == nullptr) return false;

  char parent[kDirectoryCapacity];
  memcpy(parent, path, length + 1);
  size_t cut = static_cast<size_t>(last - path);
  // The parent of "/x" is the root "/" itself.
  if (cut == 0) cut = 1;
  parent[cut] = '\0';
  if (cut < length && !MakeDirectoryPath(parent)) return false;
  return platform::CreateDirectoryAt(path);
}

size_t ExecutableBaseName(const char* path, char* out, size_t capacity) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  const char* dot = strrchr(name, '.');
  size_t length = dot != nullptr ? static_cast<size_t>(dot - name) : strlen(name);
  if (length >= capacity) length = capacity - 1;
  memcpy(out, name, length);
  out[length] = '\0';
  return length;
}

bool ComposeLogPath(const char* directory, const char* base, const char* process_tag,
                    const char* time_text, const char* suffix, char* out) {
  size_t base_length = strlen(base);
  size_t tag_length = strlen(process_tag);
  size_t time_length = strlen(time_text);
  if (base_length + tag_length + time_length > kMaxNamePartLength) return false;

  size_t dir_length = strlen(directory);
  bool has_separator = dir_length > 0 && directory[dir_length - 1] == platform::kPathSeparator;
  size_t suffix_length = strlen(suffix);
  size_t total = dir_length + (has_separator ? 0 : 1) + base_length + tag_length + time_length +
                 suffix_length;
  if (total + 1 > kPathCapacity) return false;

  size_t n = 0;
  memcpy(out + n, directory, dir_length);
  n += dir_length;
  if (!has_separator) out[n++] = platform::kPathSeparator;
  for (const char* part : {base, process_tag, time_text, suffix}) {
    size_t part_length = strlen(part);
    memcpy(out + n, part, part_length);
    n += part_length;
  }
  out[n] = '\0';
  return true;
}

bool VqLogger::OpenLogFile() {
  if (is_open()) return true;
  CritSecGuard guard(&lock);
  if (is_open()) return true;
  if (refusing()) return false;

  std::unique_ptr<char[]> module_path(new char[platform::kExecutablePathCapacity]);
  if (!platform::ExecutablePath(module_path.get(), platform::kExecutablePathCapacity)) return false;
  char base_name[kBaseNameCapacity];
  ExecutableBaseName(module_path.get(), base_name, sizeof base_name);

  platform::LocalTime now;
  platform::CurrentLocalTime(&now);
  char time_text[40];
  FormatFileTime(now, time_text);

  char process_tag[16];
  process_tag[0] = '_';
  size_t tag_length = 1 + FormatDecimal(platform::CurrentProcessId(), process_tag + 1);
  process_tag[tag_length++] = '_';
  process_tag[tag_length] = '\0';

  char path[kPathCapacity];
  if (!ComposeLogPath(directory, base_name, process_tag, time_text, fileSuffix, path)) return false;

  if (!stream.Open(path)) return false;

  char first_line[kLineCapacity + sizeof kByteOrderMark];
  memcpy(first_line, kByteOrderMark, sizeof kByteOrderMark);
  char* header = first_line + sizeof kByteOrderMark;
  header[0] = '\0';
  unsigned header_length = JoinFields(header, kLineCapacity, true);
  if (header_length == 0 || !stream.WriteLine(first_line, sizeof kByteOrderMark + header_length)) {
    // Leave nothing open behind a failed attempt, so the next one can work.
    stream.Close();
    return false;
  }
  isOpen.store(true, std::memory_order_release);
  return true;
}

}  // namespace vqlogger
