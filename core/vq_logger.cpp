#include "core/vq_logger.h"

#include <cstring>

#include "core/record_layout.h"

namespace vqlogger {

const char kNullPointerText[] = "Null Pointer Error";
const char kFileNameTooLongText[] = "File Name and Directory too Long";

namespace {
const char* const kBaseColumns[] = {"TIMESTAMP", "THREAD_ID", "FILENAME", "LINE_NUMBER"};
}  // namespace

VqLogger::VqLogger() {
  fileSuffix[0] = '\0';
  directory[0] = '\0';
  for (const char* column : kBaseColumns) fields.push_back(column);
}

// The stream closes its file; the lock is left if held, then deleted.
VqLogger::~VqLogger() = default;

void VqLogger::SetUpColumns(const char* suffix, const char* const* columns, size_t count) {
  strncpy(fileSuffix, suffix, sizeof fileSuffix - 1);
  fileSuffix[sizeof fileSuffix - 1] = '\0';
  for (size_t i = 0; i < count; ++i) fields.push_back(columns[i]);
}

void VqLogger::SetDirectory(const char* dir) {
  if (dir == nullptr) return;
  // Copy and zero-fill like a bounded string copy, but never leave the
  // field unterminated: an over-long directory is cut.
  strncpy(directory, dir, sizeof directory);
  directory[sizeof directory - 1] = '\0';
}

size_t VqLogger::RenderTimestamp(char* out) {
  platform::ClockReading now = platform::ReadClock();
  if (now.seconds != cached_second_) {
    // Recomputed whenever the second changes, so a change of time zone or
    // daylight-saving time shows from the next second on.
    platform::LocalTime t;
    if (!platform::LocalTimeOf(now.seconds, &t)) t = platform::LocalTime{1970, 1, 1, 0, 0, 0, 0};
    cached_stamp_length_ = FormatTimestampSecond(t, cached_stamp_);
    cached_second_ = now.seconds;
  }
  memcpy(out, cached_stamp_, cached_stamp_length_);
  return cached_stamp_length_ + FormatDecimal(now.millisecond, out + cached_stamp_length_);
}

unsigned VqLogger::BeginRecord(char* buffer, const char* sourceFile, int lineNumber) {
  if (buffer == nullptr) return 0;
  fields.clear();

  char timestamp[40];
  RenderTimestamp(timestamp);
  fields.push_back(timestamp);

  char thread_id[kIntTextCapacity];
  FormatDecimal(platform::CurrentThreadId(), thread_id);
  fields.push_back(thread_id);

  if (sourceFile == nullptr) {
    fields.push_back(kNullPointerText);
  } else if (strnlen(sourceFile, kMaxSourceFileLength + 1) > kMaxSourceFileLength) {
    fields.push_back(kFileNameTooLongText);
  } else {
    fields.push_back(sourceFile);
  }

  char line[kIntTextCapacity];
  FormatDecimal(lineNumber, line);
  fields.push_back(line);

  buffer[0] = '\0';
  return JoinFields(buffer, kLineCapacity, false);
}

unsigned VqLogger::JoinFields(char* buffer, unsigned capacity, bool lineEnd) {
  if (buffer == nullptr) return 0;
  size_t start = strlen(buffer);
  size_t end = start;
  bool ascii = true;
  for (size_t i = 0; i < fields.size(); ++i) {
    const char* text = fields[i];
    if (text == nullptr) continue;  // adds neither text nor tab
    size_t length;
    ascii &= IsAsciiText(text, &length);
    if (end + length + 1 + 1 > capacity) return 0;
    memcpy(buffer + end, text, length);
    end += length;
    buffer[end++] = '\t';
  }
  buffer[end] = '\0';

  if (!ascii) {
    // Only the appended text is converted: text already in the buffer was
    // converted by the join that put it there.
    if (!ConvertAnsiToUtf8(buffer + start, buffer + start, static_cast<int>(capacity - start))) {
      return 0;
    }
    end = start + strlen(buffer + start);
  }

  if (lineEnd) {
    // The tab after the last field becomes CR LF: one byte more.
    if (end > start && buffer[end - 1] == '\t') --end;
    if (end + 2 + 1 > capacity) return 0;
    buffer[end++] = '\r';
    buffer[end++] = '\n';
    buffer[end] = '\0';
  }
  return static_cast<unsigned>(end);
}

}  // namespace vqlogger
