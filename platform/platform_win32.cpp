// Windows backend of the platform seam (platform/platform.h): the core's
// locks are critical sections, times come from the system clock and the
// current time-zone rules, paths and narrow text use the process's ANSI code
// page, and the log file is a Win32 file handle written with one WriteFile
// call per batch of whole lines. The library's load and unload hooks are driven from here:
// a file-static object calls OnLibraryLoad() during C runtime start-up, and
// DllMain calls OnLibraryUnload() when the DLL is detached.
// (Windows has no fork: the fork handlers of platform.h are never called.)
//
// This is the only file of the library that includes <windows.h>.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

#include "platform/platform.h"

namespace vqlogger {
namespace platform {

namespace {

// A waiter spins this many times (a microsecond or two) before it blocks:
// the lock guards the building of a record, never a write.
constexpr DWORD kCriticalSectionSpinCount = 1000;

// FILETIME counts 100 ns ticks since 1601-01-01 UTC.
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicksPerMillisecond = 10000;
constexpr int64_t kUnixEpochInTicks = 116444736000000000;  // 1970-01-01

// Largest write handed to WriteFile at once (its size is a DWORD).
constexpr size_t kMaxWriteChunk = 0x7FFFFFFF;

CRITICAL_SECTION* CriticalSectionIn(unsigned char* storage) {
  return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}

int64_t FileTimeTicks(const FILETIME& time) {
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  return static_cast<int64_t>(value.QuadPart);
}

void CopySystemTime(const SYSTEMTIME& time, LocalTime* out) {
  out->year = time.wYear;
  out->month = time.wMonth;
  out->day = time.wDay;
  out->hour = time.wHour;
  out->minute = time.wMinute;
  out->second = time.wSecond;
  out->millisecond = time.wMilliseconds;
}

// The errno the C runtime's _access() leaves for a Win32 error code, by the
// runtime's own table: codes it does not list give EINVAL, except the
// access-denied range (19-36, which holds the sharing and lock violations)
// and the bad-executable range (188-202).
int ErrnoForWin32Error(DWORD error) {
  struct Entry {
    DWORD error;
    int errno_value;
  };
  static constexpr Entry kTable[] = {
      {1, EINVAL},     {2, ENOENT},    {3, ENOENT},     {4, EMFILE},
      {5, EACCES},     {6, EBADF},     {7, ENOMEM},     {8, ENOMEM},
      {9, ENOMEM},     {10, E2BIG},    {11, ENOEXEC},   {12, EINVAL},
      {13, EINVAL},    {15, ENOENT},   {16, EACCES},    {17, EXDEV},
      {18, ENOENT},    {33, EACCES},   {53, ENOENT},    {65, EACCES},
      {67, ENOENT},    {80, EEXIST},   {82, EACCES},    {83, EACCES},
      {87, EINVAL},    {89, EAGAIN},   {108, EACCES},   {109, EPIPE},
      {112, ENOSPC},   {114, EBADF},   {124, EINVAL},   {128, ECHILD},
      {129, ECHILD},   {130, EBADF},   {131, EINVAL},   {132, EACCES},
      {145, ENOTEMPTY}, {158, EACCES}, {161, ENOENT},   {164, EAGAIN},
      {167, EACCES},   {183, EEXIST},  {206, ENOENT},   {215, EAGAIN},
      {1816, ENOMEM},
  };
  for (const Entry& entry : kTable) {
    if (entry.error == error) return entry.errno_value;
  }
  if (error >= 19 && error <= 36) return EACCES;
  if (error >= 188 && error <= 202) return ENOEXEC;
  return EINVAL;
}

// Both 16-bit on Windows: the seam's char16_t text is the API's WCHAR text.
static_assert(sizeof(char16_t) == sizeof(wchar_t), "wchar_t is UTF-16 here");

const wchar_t* AsWide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}

wchar_t* AsWide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Waiting on a word: threads block on the condition variable of the bucket
// their word's address hashes to. Both members are valid when zeroed
// (SRWLOCK_INIT, CONDITION_VARIABLE_INIT), so the table needs no
// constructor; a wake of one bucket may wake waiters of other words, which
// test their own word again.
struct WaitBucket {
  SRWLOCK lock;
  CONDITION_VARIABLE changed;
};
constexpr size_t kWaitBuckets = 64;
WaitBucket wait_buckets[kWaitBuckets];

WaitBucket& BucketOf(const void* word) {
  uintptr_t address = reinterpret_cast<uintptr_t>(word);
  return wait_buckets[((address >> 4) ^ (address >> 12)) % kWaitBuckets];
}

std::atomic<WriteFunction> write_function{SystemWrite};

}  // namespace

const char kPathSeparator = '\\';

// ---------------------------------------------------------------------------
// Mutex

Mutex::Mutex() {
  static_assert(sizeof(CRITICAL_SECTION) <= sizeof(storage_),
                "CRITICAL_SECTION must fit the mutex storage");
  static_assert(alignof(CRITICAL_SECTION) <= 8,
                "CRITICAL_SECTION must fit the mutex storage's alignment");
  CRITICAL_SECTION* section = new (storage_) CRITICAL_SECTION;
  // Cannot fail since Windows Vista; on older systems only under memory
  // exhaustion, where nothing better can be done.
  (void)InitializeCriticalSectionAndSpinCount(section,
                                              kCriticalSectionSpinCount);
}

Mutex::~Mutex() { DeleteCriticalSection(CriticalSectionIn(storage_)); }

void Mutex::Lock() { EnterCriticalSection(CriticalSectionIn(storage_)); }

// A critical section already lets its holder take it back before a waiter
// that was woken runs.
void Mutex::LockWithoutSpin() { EnterCriticalSection(CriticalSectionIn(storage_)); }

bool Mutex::TryLock() {
  return TryEnterCriticalSection(CriticalSectionIn(storage_)) != 0;
}

void Mutex::Unlock() { LeaveCriticalSection(CriticalSectionIn(storage_)); }

// Windows has no fork; nothing calls this there.
void Mutex::ResetAfterFork() {}

// ---------------------------------------------------------------------------
// Waiting on a word

void WaitOnWord(std::atomic<uint32_t>* word, uint32_t expected) {
  WaitBucket& bucket = BucketOf(word);
  AcquireSRWLockExclusive(&bucket.lock);
  // Tested under the bucket's lock, which the waker takes after changing
  // the word: either this sees the change or the wake finds it asleep.
  if (word->load(std::memory_order_seq_cst) == expected) {
    SleepConditionVariableSRW(&bucket.changed, &bucket.lock, INFINITE, 0);
  }
  ReleaseSRWLockExclusive(&bucket.lock);
}

void WakeWordWaiters(std::atomic<uint32_t>* word) {
  // Only the address is used, never the word itself.
  WaitBucket& bucket = BucketOf(word);
  AcquireSRWLockExclusive(&bucket.lock);
  ReleaseSRWLockExclusive(&bucket.lock);
  WakeAllConditionVariable(&bucket.changed);
}

int64_t MonotonicNanoseconds() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  const int64_t ticks = count.QuadPart;
  const int64_t per_second = frequency.QuadPart;
  return ticks / per_second * 1000000000 + ticks % per_second * 1000000000 / per_second;
}

// ---------------------------------------------------------------------------
// Time

ClockReading ReadClock() {
  // GetSystemTimeAsFileTime reads the shared user page (no system call) and
  // exists on every Windows version, unlike the precise variant.
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const int64_t ticks = FileTimeTicks(now) - kUnixEpochInTicks;
  int64_t seconds = ticks / kTicksPerSecond;
  int64_t remainder = ticks % kTicksPerSecond;
  if (remainder < 0) {  // a clock before 1970: round towards the past
    seconds -= 1;
    remainder += kTicksPerSecond;
  }
  ClockReading reading;
  reading.seconds = seconds;
  reading.millisecond = static_cast<int>(remainder / kTicksPerMillisecond);
  return reading;
}

bool LocalTimeOf(int64_t seconds, LocalTime* out) {
  // FILETIME covers 1601 onwards; FileTimeToSystemTime accepts values up to
  // 0x7FFFFFFFFFFFFFFF ticks.
  constexpr int64_t kMinSeconds = -kUnixEpochInTicks / kTicksPerSecond;
  constexpr int64_t kMaxSeconds =
      (INT64_MAX - kUnixEpochInTicks) / kTicksPerSecond;
  if (seconds < kMinSeconds || seconds > kMaxSeconds) return false;

  ULARGE_INTEGER ticks;
  ticks.QuadPart =
      static_cast<ULONGLONG>(seconds * kTicksPerSecond + kUnixEpochInTicks);
  FILETIME utc_file_time;
  utc_file_time.dwLowDateTime = ticks.LowPart;
  utc_file_time.dwHighDateTime = ticks.HighPart;

  SYSTEMTIME utc;
  SYSTEMTIME local;
  if (!FileTimeToSystemTime(&utc_file_time, &utc)) return false;
  // The current time zone with the daylight-saving rule in force on that
  // date: for the present moment this is what GetLocalTime reports.
  if (!SystemTimeToTzSpecificLocalTime(/*lpTimeZoneInformation=*/nullptr,
                                       &utc, &local)) {
    return false;
  }
  CopySystemTime(local, out);
  out->millisecond = 0;
  return true;
}

void CurrentLocalTime(LocalTime* out) {
  SYSTEMTIME local;
  GetLocalTime(&local);
  CopySystemTime(local, out);
}

int64_t MonotonicMilliseconds() {
  return static_cast<int64_t>(GetTickCount64());
}

void YieldThread() { SwitchToThread(); }

// ---------------------------------------------------------------------------
// Identifiers: both are plain reads of the thread environment block.

int32_t CurrentThreadId() {
  return static_cast<int32_t>(GetCurrentThreadId());
}

int32_t CurrentProcessId() {
  return static_cast<int32_t>(GetCurrentProcessId());
}

// The thread marks live in the value of a TLS slot itself, so neither
// reading nor writing them allocates (the compiler's thread_local does, on
// a thread's first use). The slot is reserved when the library loads;
// without one, every thread reads 0.
DWORD thread_marks_slot = TLS_OUT_OF_INDEXES;

uint32_t ThreadMarks() {
  if (thread_marks_slot == TLS_OUT_OF_INDEXES) return 0;
  const DWORD error = GetLastError();  // TlsGetValue clears it
  const uintptr_t marks = reinterpret_cast<uintptr_t>(TlsGetValue(thread_marks_slot));
  SetLastError(error);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  return static_cast<uint32_t>(marks);
}

void SetThreadMarks(uint32_t marks) {
  if (thread_marks_slot == TLS_OUT_OF_INDEXES) return;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  TlsSetValue(thread_marks_slot, reinterpret_cast<void*>(static_cast<uintptr_t>(marks)));
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

uintptr_t ThreadToken() { return GetCurrentThreadId(); }

// ---------------------------------------------------------------------------
// Paths

const size_t kExecutablePathCapacity = MAX_PATH;

bool ExecutablePath(char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0 || capacity > MAXDWORD) return false;
  const DWORD length = GetModuleFileNameA(
      GetModuleHandleA(/*lpModuleName=*/nullptr), buffer,
      static_cast<DWORD>(capacity));
  if (length == 0) {
    buffer[0] = '\0';
    return false;
  }
  // A path of `capacity` characters or more comes back cut to fit (and, on
  // Windows XP, without a terminator). It is used as it came back: the log
  // file then carries the start of the executable's name, which beats no
  // log at all.
  if (length >= capacity) buffer[capacity - 1] = '\0';
  return true;
}

size_t TemporaryDirectory(char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0 || capacity > MAXDWORD) return 0;
  // Returns the length without the terminator, or the size needed (with
  // the terminator) when the buffer is too small.
  const DWORD length = GetTempPathA(static_cast<DWORD>(capacity), buffer);
  if (length == 0 || length >= capacity) {
    buffer[0] = '\0';
    return 0;
  }
  return length;
}

ProbeResult ProbePath(const char* path) {
  // The semantics of _access(path, 0): success if the attributes can be
  // read, otherwise the errno the C runtime derives from the Win32 error.
  if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) {
    return ProbeResult::kExists;
  }
  switch (ErrnoForWin32Error(GetLastError())) {
    case ENOENT:
    case EINVAL:
      return ProbeResult::kNotFound;
    default:
      return ProbeResult::kOtherError;
  }
}

bool CreateDirectoryAt(const char* path) {
  return CreateDirectoryA(path, /*lpSecurityAttributes=*/nullptr) != 0;
}

const char* EnvironmentValue(const char* name) { return std::getenv(name); }

// ---------------------------------------------------------------------------
// Text. With a capacity of 0 the conversion calls only measure, so a
// non-positive capacity is refused up front.

int AnsiToWide(const char* source, char16_t* destination, int capacity) {
  if (source == nullptr || destination == nullptr || capacity <= 0) return 0;
  return MultiByteToWideChar(CP_ACP, /*dwFlags=*/0, source,
                             /*cbMultiByte=*/-1, AsWide(destination),
                             capacity);
}

int WideToUtf8(const char16_t* source, char* destination, int capacity) {
  if (source == nullptr || destination == nullptr || capacity <= 0) return 0;
  return WideCharToMultiByte(CP_UTF8, /*dwFlags=*/0, AsWide(source),
                             /*cchWideChar=*/-1, destination, capacity,
                             /*lpDefaultChar=*/nullptr,
                             /*lpUsedDefaultChar=*/nullptr);
}

int WideToAnsi(const char16_t* source, char* destination, int capacity) {
  if (source == nullptr || destination == nullptr || capacity <= 0) return 0;
  return WideCharToMultiByte(CP_ACP, /*dwFlags=*/0, AsWide(source),
                             /*cchWideChar=*/-1, destination, capacity,
                             /*lpDefaultChar=*/nullptr,
                             /*lpUsedDefaultChar=*/nullptr);
}

// Code pages other than UTF-8 need the UTF-16 step.
int AnsiToUtf8Direct(const char* /*source*/, char* /*destination*/,
                     int /*capacity*/) {
  return -1;
}

int WideToAnsiWithin(const char16_t* source, char* destination, int capacity,
                     bool* too_long) {
  SetLastError(ERROR_SUCCESS);
  int result = WideToAnsi(source, destination, capacity);
  *too_long = result == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER;
  return result;
}

bool IsLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != 0; }

// DllMain's detach says whether the process exits; nothing to register.
void WatchProcessExit() {}

// ---------------------------------------------------------------------------
// LogFile

bool LogFile::Open(const char* path) {
  Close();
  size_ = 0;
  failed_ = false;
  // The file is created new. CreateFile follows a symbolic link or other
  // reparse point at the name (CREATE_ALWAYS would empty its target), so
  // an existing name is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT)
  // and kept only when it is a plain file with one link (this process's
  // own, opened again within the same second); then it is emptied.
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE file = CreateFileA(path, GENERIC_WRITE, share, /*lpSecurityAttributes=*/nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                            /*hTemplateFile=*/nullptr);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
    file = CreateFileA(path, GENERIC_WRITE, share, /*lpSecurityAttributes=*/nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, /*hTemplateFile=*/nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (file != INVALID_HANDLE_VALUE &&
        (!GetFileInformationByHandle(file, &info) ||
         (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
         info.nNumberOfLinks != 1 ||
         !SetFilePointerEx(file, zero, /*lpNewFilePointer=*/nullptr, FILE_BEGIN) ||
         !SetEndOfFile(file))) {
      CloseHandle(file);
      file = INVALID_HANDLE_VALUE;
    }
  }
  if (file == INVALID_HANDLE_VALUE) {
    handle_ = kInvalidHandle;
    return false;
  }
  // Only a file on disk: a device or pipe name at the path fails the open
  // as a failed open does.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    handle_ = kInvalidHandle;
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  return true;
}

long SystemWrite(intptr_t handle, const char* data, size_t size) {
  DWORD written = 0;
  const DWORD chunk = static_cast<DWORD>(size < kMaxWriteChunk ? size : kMaxWriteChunk);
  if (!WriteFile(AsHandle(handle), data, chunk, &written, /*lpOverlapped=*/nullptr)) return -1;
  return static_cast<long>(written);
}

WriteFunction ReplaceWriteFunction(WriteFunction function) {
  return write_function.exchange(function != nullptr ? function : SystemWrite,
                                 std::memory_order_acq_rel);
}

bool LogFile::WriteLine(const char* data, size_t size, WholeLines whole_lines,
                        const void* context) {
  if (!is_open()) {
    failed_ = true;
    return false;
  }
  const HANDLE file = AsHandle(handle_);
  const char* next = data;
  size_t remaining = size;
  // One call takes the whole batch; another is made only if the OS took
  // part of it and will take more.
  const WriteFunction write_bytes = write_function.load(std::memory_order_relaxed);
  while (remaining > 0) {
    const long result = write_bytes(handle_, next, remaining);
    const size_t written = result > 0 ? static_cast<size_t>(result) : 0;
    next += written;
    remaining -= written;
    if (written == 0) {
      // Remove this call's partial line, so the next line starts cleanly;
      // the whole lines before it stay (their callers have been written).
      // Only while the file still ends where that part ended: bytes
      // another writer (sharing the file for writing) added since stay.
      const size_t written_bytes = size - remaining;
      const size_t whole =
          whole_lines != nullptr && written_bytes > 0 ? whole_lines(context, written_bytes) : 0;
      const size_t done = written_bytes - whole;
      size_ += whole;
      LARGE_INTEGER here;
      LARGE_INTEGER file_size;
      LARGE_INTEGER zero;
      zero.QuadPart = 0;
      if (done > 0 &&
          SetFilePointerEx(file, zero, &here, FILE_CURRENT) &&
          GetFileSizeEx(file, &file_size) &&
          file_size.QuadPart == here.QuadPart &&
          here.QuadPart >= static_cast<LONGLONG>(done)) {
        LARGE_INTEGER start;
        start.QuadPart = here.QuadPart - static_cast<LONGLONG>(done);
        if (SetFilePointerEx(file, start, /*lpNewFilePointer=*/nullptr,
                             FILE_BEGIN)) {
          SetEndOfFile(file);
        }
      }
      failed_ = true;
      return false;
    }
  }
  size_ += size;
  failed_ = false;
  return true;
}

void LogFile::Close() {
  if (handle_ == kInvalidHandle) return;
  CloseHandle(AsHandle(handle_));
  handle_ = kInvalidHandle;
}

}  // namespace platform

namespace {

// Runs OnLibraryLoad() when the C runtime constructs this file's statics:
// at DLL_PROCESS_ATTACH before DllMain, or at start-up of a program that
// links the library statically. Its destructor covers the exit of such a
// program, which has no DllMain: the C runtime runs it from exit() while
// the program's other threads still run. In the DLL, DllMain's detach comes
// first and this second call does nothing.
struct LibraryLifetime {
  LibraryLifetime() {
    platform::thread_marks_slot = TlsAlloc();
    OnLibraryLoad();
  }
  ~LibraryLifetime() {
    OnLibraryUnload(UnloadMode{/*wait_for_writers=*/true, /*release_memory=*/false});
    // At FreeLibrary the loader frees the DLL after this: give the slot back.
    if (platform::thread_marks_slot != TLS_OUT_OF_INDEXES) {
      const DWORD slot = platform::thread_marks_slot;
      platform::thread_marks_slot = TLS_OUT_OF_INDEXES;
      TlsFree(slot);
    }
  }
  LibraryLifetime(const LibraryLifetime&) = delete;
  LibraryLifetime& operator=(const LibraryLifetime&) = delete;
};

LibraryLifetime g_library_lifetime;

}  // namespace
}  // namespace vqlogger

// The C runtime's DLL entry point calls this after constructing the statics
// on attach and before destroying them on detach. Not exported: the DLL
// exports only the library's own functions.
//
// The detach takes no lock. At process exit (`reserved` not null) Windows has
// already ended every other thread, perhaps one that held a logger's lock:
// the loggers only start refusing and stay in memory. At FreeLibrary
// (`reserved` null) the loader lock is held; a host still logging then is
// the host's error, and the loggers are freed.
extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason,
                               LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) {
    const bool process_exit = reserved != nullptr;
    vqlogger::OnLibraryUnload(vqlogger::UnloadMode{
        /*wait_for_writers=*/false, /*release_memory=*/!process_exit});
  }
  return TRUE;
}
