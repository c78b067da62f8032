#include "core/vq_logger.h"

#include <cstring>

#include "core/record_layout.h"

namespace vqlogger {

const char kNullPointerText[] = "Null Pointer Error";
const char kFileNameTooLongText[] = "File Name and Directory too Long";

namespace {

const char* const kBaseColumns[] = {"TIMESTAMP", "THREAD_ID", "FILENAME", "LINE_NUMBER"};

// The calling thread's id as text, formatted once per thread. Trivially
// destructible, so it does not keep the library from unloading; formatted
// afresh in a forked child, where the thread has a new id. Checking the
// process generation instead of the id saves asking for the id per record.
struct ThreadIdTextCache {
  unsigned generation;  // platform::ProcessGeneration() when formatted; 0: never
  size_t length;
  char text[kIntTextCapacity];
};
thread_local ThreadIdTextCache thread_id_text = {0, 0, {}};

const ThreadIdTextCache& ThreadIdText() {
  ThreadIdTextCache& cache = thread_id_text;
  unsigned generation = platform::ProcessGeneration();
  if (cache.generation != generation) {
    cache.length = FormatDecimal(platform::CurrentThreadId(), cache.text);
    cache.generation = generation;
  }
  return cache;
}

}  // namespace

VqLogger::VqLogger() {
  fileSuffix[0] = '\0';
  directory[0] = '\0';
  for (const char* column : kBaseColumns) fields.push_back(column);
}

// The stream closes its file; the lock is left if held, then deleted.
VqLogger::~VqLogger() = default;

bool VqLogger::StopWriting(bool wait) {
  refusing_.store(true, std::memory_order_seq_cst);
  if (!wait) return true;
  // No line is queued from now on (the refusal is tested under `lock`), but
  // a writer may still be writing lines queued before, outside the lock:
  // wait for its batch too, within the same bound.
  const int64_t deadline =
      platform::MonotonicNanoseconds() + int64_t{kStopWaitMilliseconds} * 1000000;
  for (;;) {
    if (!lock.EnterWithin(kStopWaitMilliseconds)) return false;
    bool idle = commit_.IdleLocked();
    lock.Leave();
    if (idle) return true;
    if (platform::MonotonicNanoseconds() > deadline) return false;
    platform::CpuRelax();
  }
}

void VqLogger::SetUpColumns(const char* suffix, const char* const* columns, size_t count) {
  size_t length = strnlen(suffix, sizeof fileSuffix - 1);
  memcpy(fileSuffix, suffix, length);
  fileSuffix[length] = '\0';
  for (size_t i = 0; i < count; ++i) fields.push_back(columns[i]);
}

void VqLogger::SetDirectory(const char* dir) {
  if (dir == nullptr) return;
  // Copy and zero-fill like a bounded string copy, but never leave the
  // field unterminated: an over-long directory is cut.
  size_t length = strnlen(dir, sizeof directory - 1);
  memcpy(directory, dir, length);
  memset(directory + length, 0, sizeof directory - length);
}

VQ_HOT size_t VqLogger::RenderTimestamp(char* out) {
  platform::ClockReading now = platform::ReadClock();
  if (now.seconds != cached_second_) {
    // Recomputed whenever the second changes, so a change of time zone or
    // daylight-saving time shows from the next second on.
    platform::LocalTime t;
    if (!platform::LocalTimeOf(now.seconds, &t)) t = platform::LocalTime{1970, 1, 1, 0, 0, 0, 0};
    cached_stamp_length_ = FormatTimestampSecond(t, cached_stamp_);
    cached_second_ = now.seconds;
  }
  memcpy(out, cached_stamp_, sizeof cached_stamp_);  // fixed size: no call
  return cached_stamp_length_ + FormatDecimal(now.millisecond, out + cached_stamp_length_);
}

VQ_HOT unsigned VqLogger::BeginRecord(char* buffer, const char* sourceFile, int lineNumber) {
  if (buffer == nullptr) return 0;

  const char* file = sourceFile;
  size_t file_length = 0;
  if (file == nullptr) {
    file = kNullPointerText;
    file_length = sizeof kNullPointerText - 1;
  } else {
    file_length = strnlen(file, kMaxSourceFileLength + 1);
    if (file_length > kMaxSourceFileLength) {
      file = kFileNameTooLongText;
      file_length = sizeof kFileNameTooLongText - 1;
    }
  }

  // The four fields are rendered straight into the buffer: the same bytes
  // as a JoinFields over them, without measuring what is already known.
  // They always fit: at most 1050 bytes before conversion, 3050 after.
  const ThreadIdTextCache& thread_id = ThreadIdText();

  size_t n = RenderTimestamp(buffer);
  buffer[n++] = '\t';
  memcpy(buffer + n, thread_id.text, sizeof thread_id.text);  // fixed size: no call
  n += thread_id.length;
  buffer[n++] = '\t';
  size_t file_at = n;
  memcpy(buffer + n, file, file_length);
  n += file_length;
  buffer[n++] = '\t';
  n += FormatDecimal(lineNumber, buffer + n);
  buffer[n++] = '\t';
  buffer[n] = '\0';

  // Only the source file can hold non-ASCII text.
  if (!IsAsciiBytes(file, file_length)) {
    if (!ConvertAnsiToUtf8(buffer + file_at, buffer + file_at,
                           static_cast<int>(kLineCapacity - file_at))) {
      return 0;
    }
    n = file_at + strlen(buffer + file_at);
  }
  return static_cast<unsigned>(n);
}

unsigned VqLogger::JoinFields(char* buffer, unsigned capacity, bool lineEnd) {
  if (buffer == nullptr) return 0;
  FieldSpan spans[FieldList::kCapacity];
  size_t count = 0;
  for (size_t i = 0; i < fields.size(); ++i) {
    const char* text = fields[i];
    if (text == nullptr) continue;  // adds neither text nor tab
    spans[count++] = FieldSpan{text, strlen(text)};
  }
  return AppendSpans(buffer, strlen(buffer), spans, count, capacity, lineEnd, false);
}

unsigned VqLogger::AppendSpans(char* buffer, size_t start, const FieldSpan* spans, size_t count,
                               unsigned capacity, bool lineEnd, bool ascii) {
  size_t end = start;
  for (size_t i = 0; i < count; ++i) {
    // Room for the text, its tab and the terminating zero.
    if (end + spans[i].length + 1 + 1 > capacity) return 0;
    // A text may already be in its place (a message cleaned up there).
    if (spans[i].text != buffer + end) memcpy(buffer + end, spans[i].text, spans[i].length);
    end += spans[i].length;
    buffer[end++] = '\t';
  }
  buffer[end] = '\0';

  if (!ascii && !IsAsciiBytes(buffer + start, end - start)) {
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
