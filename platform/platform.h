// The operating-system seam. The core (core/, assert/, runtime/) reaches the
// OS only through these functions and the two small types below; the build
// compiles exactly one backend: platform_posix.cpp or platform_win32.cpp.
//
// Every function returns plain values (numbers, bytes, booleans); formatting
// of times, ids and paths happens once, in the core. No function here throws,
// allocates on the heap, or takes a lock of the library.
#ifndef VQLOGGER_PLATFORM_PLATFORM_H_
#define VQLOGGER_PLATFORM_PLATFORM_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

// Marks the functions every record runs through. The compiler lays them out
// together, so that a record touches two or three pages of code instead of
// one for each source file. That matters where the kernel flushes the TLB on
// every system call (page-table isolation without PCID): after its write,
// each page a record touches again costs a page walk.
#if defined(__GNUC__)
#define VQ_HOT __attribute__((hot))
#else
#define VQ_HOT
#endif

namespace vqlogger {
namespace platform {

// The separator used when composing and splitting directory paths:
// '\\' on Windows, '/' on POSIX.
extern const char kPathSeparator;

// ---------------------------------------------------------------------------
// Mutex: a non-recursive lock. A waiter spins briefly (about two
// microseconds: the lock guards the building of a record, never a write)
// before it blocks, so a short hold hands over without a sleep, and a
// holder that has lost its processor does not keep the waiters spinning.
class Mutex {
 public:
  Mutex();   // never fails
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock();
  // Lock for a holder that keeps the lock over a write: a waiter blocks at
  // once instead of spinning, and the holder may take the lock back for its
  // next record before a sleeper wakes (as a plain futex lock, or
  // EnterCriticalSection, behaves). On POSIX a lone waiter naps and looks
  // again instead, for up to about a millisecond, so that the holder's
  // unlock need not wake it (unless its thread's timer slack is large).
  void LockWithoutSpin();
  // Takes the lock only if it is free at once; true when taken.
  bool TryLock();
  void Unlock();

  // In a forked child only, by its one thread: makes the lock free and
  // forgets every waiter of the parent (none of them exists in the child).
  void ResetAfterFork();

 private:
  // Storage for CRITICAL_SECTION or pthread_mutex_t; each backend
  // static_asserts that its type fits.
  alignas(8) unsigned char storage_[64];
};

// ---------------------------------------------------------------------------
// Waiting on a word: the one blocking primitive besides Mutex. A thread
// blocks in WaitOnWord while `*word` holds `expected`; WakeWordWaiters wakes
// every thread blocked on `word`. A wait may end early (a spurious wake), so
// callers test the word again. The wake never reads or writes the word, so
// it may be called after the waiting thread has seen its new value and left
// (the address is only a key): a waiter's word can live on its stack.
// POSIX: a private futex. Windows: a condition variable per hashed address.
void WaitOnWord(std::atomic<uint32_t>* word, uint32_t expected);
void WakeWordWaiters(std::atomic<uint32_t>* word);

// ---------------------------------------------------------------------------
// Thread marks: what the calling thread is doing inside the library, as
// one word per thread that a signal handler (POSIX) or a vectored exception
// handler (Windows) interrupting that thread can read and change without
// allocating and without a lock. The core counts in it the library locks
// the thread holds or is taking, whether it is in a file write, and how deep
// it is in record calls, so that a call made from such a handler never
// waits for something its own thread holds. A handler's changes are undone
// before it returns, so the thread's own read-modify-write stays right.
// POSIX: initial-exec TLS (four bytes of the static TLS surplus, which a
// library loaded late with dlopen can still get). Windows: a TLS slot
// reserved when the library loads, holding the word itself.
#if defined(_WIN32)
uint32_t ThreadMarks();
void SetThreadMarks(uint32_t marks);
// A value that tells the calling thread from every other live thread.
uintptr_t ThreadToken();
#else
// Defined in platform_posix.cpp; read inline, as every record touches it
// several times.
extern __thread uint32_t thread_marks __attribute__((tls_model("initial-exec")));
inline uint32_t ThreadMarks() {
  uint32_t marks = *static_cast<volatile uint32_t*>(&thread_marks);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  return marks;
}
inline void SetThreadMarks(uint32_t marks) {
  // Seen by a handler on this thread before anything the caller does next.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  *static_cast<volatile uint32_t*>(&thread_marks) = marks;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}
inline uintptr_t ThreadToken() { return reinterpret_cast<uintptr_t>(&thread_marks); }
#endif

// A steady clock in nanoseconds, read without a system call where the OS
// allows; only differences mean anything.
int64_t MonotonicNanoseconds();

// Tells the CPU that the caller is spinning.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// ---------------------------------------------------------------------------
// Local time, as the OS's local-time breakdown gives it.
struct LocalTime {
  int year;         // e.g. 2026
  int month;        // 1..12
  int day;          // 1..31
  int hour;         // 0..23
  int minute;       // 0..59
  int second;       // 0..59 (60 for a leap second where the OS reports one)
  int millisecond;  // 0..999
};

// A point in time read from the real-time clock without a system call where
// the OS allows (vDSO on Linux, the shared user page on Windows).
struct ClockReading {
  int64_t seconds;      // whole seconds of the real-time clock
  int millisecond;      // 0..999
};
ClockReading ReadClock();

// Breaks `seconds` (as ReadClock gives it) into local date and time; the
// millisecond field is set to 0. Returns false if the OS cannot convert it.
bool LocalTimeOf(int64_t seconds, LocalTime* out);

// Local time now, to the millisecond.
void CurrentLocalTime(LocalTime* out);

// A clock that never goes back, in milliseconds from an arbitrary start.
int64_t MonotonicMilliseconds();

// Gives the rest of the calling thread's time slice to another thread.
void YieldThread();

// ---------------------------------------------------------------------------
// Identifiers: the OS's own ids as 32-bit ints, asked for afresh on each call
// (the record path keeps the thread id's text per thread, see
// ProcessGeneration below).
int32_t CurrentThreadId();
int32_t CurrentProcessId();

// Changes in a forked child and never otherwise, so that a per-thread cache
// of something derived from the thread id (its text, say) can tell that it
// is stale without asking for the id on every record.
#if defined(_WIN32)
inline unsigned ProcessGeneration() { return 1; }
#else
extern std::atomic<unsigned> fork_generation;
inline unsigned ProcessGeneration() { return fork_generation.load(std::memory_order_relaxed); }
#endif

// ---------------------------------------------------------------------------
// Paths.

// Capacity the host-executable path buffer needs on this platform.
extern const size_t kExecutablePathCapacity;

// Full path of the host process's executable (not this library) into
// `buffer`, NUL-terminated. Returns false when it cannot be read. POSIX: also
// false when it does not fit (kExecutablePathCapacity is PATH_MAX there).
// Windows: a path that does not fit comes back cut to capacity - 1
// characters and is used so, as GetModuleFileNameA returned it.
bool ExecutablePath(char* buffer, size_t capacity);

// The user's temporary directory, ending with kPathSeparator, into `buffer`.
// Returns its length, or 0 on failure (including a result that does not fit).
size_t TemporaryDirectory(char* buffer, size_t capacity);

enum class ProbeResult {
  kExists,        // the path exists (file or directory)
  kNotFound,      // it does not exist, nor maybe a parent: worth climbing
  kOtherError,    // any other failure (access denied, not a directory, ...)
};
ProbeResult ProbePath(const char* path);

// Creates one directory with default permissions. False on any failure,
// including an existing entry.
bool CreateDirectoryAt(const char* path);

// Value of an environment variable. Returns nullptr when it is undefined;
// an empty string when it is defined and empty.
const char* EnvironmentValue(const char* name);

// ---------------------------------------------------------------------------
// Text. Narrow ("ANSI") text is the process's code page on Windows and
// UTF-8 on POSIX. All counts include the terminating zero and are in units
// of the destination type; a result of 0 means failure (including "does not
// fit in capacity").

// Narrow text to UTF-16, terminator included. Bytes the code page does not
// define are replaced, not reported (POSIX: each maximal ill-formed
// subsequence becomes one U+FFFD).
int AnsiToWide(const char* source, char16_t* destination, int capacity);

// UTF-16 to UTF-8, terminator included. Lone surrogates become U+FFFD.
int WideToUtf8(const char16_t* source, char* destination, int capacity);

// UTF-16 to the narrow code page, terminator included. Characters the code
// page lacks become its default character (POSIX: UTF-8, lone surrogates
// become U+FFFD).
int WideToAnsi(const char16_t* source, char* destination, int capacity);

// Narrow text to UTF-8 without a UTF-16 step, where the platform has one
// (POSIX, whose narrow text is UTF-8: the same result as AnsiToWide followed
// by WideToUtf8, in one pass and without a buffer). Source and destination
// may be the same address. Returns the count with the terminator, 0 when it
// does not fit `capacity`, or -1 where there is no such path (Windows): the
// caller then converts through UTF-16.
int AnsiToUtf8Direct(const char* source, char* destination, int capacity);

// WideToAnsi for a destination that may be too small: the same result, and
// on failure *too_long says whether the text did not fit `capacity` (as
// opposed to any other failure).
int WideToAnsiWithin(const char16_t* source, char* destination, int capacity, bool* too_long);

// True if `byte` is the lead byte of a double-byte character in the narrow
// code page (always false on POSIX).
bool IsLeadByte(unsigned char byte);

// ---------------------------------------------------------------------------
// The function LogFile hands its bytes to: the OS's write call by default.
// It returns the number of bytes taken (0 or more), or -1 on failure (POSIX:
// with errno set; EINTR makes LogFile try again). Unit tests of the static
// core replace it to hold or fail a write; it is not exported from the
// shared library, and nothing else changes it.
using WriteFunction = long (*)(intptr_t handle, const char* data, size_t size);
long SystemWrite(intptr_t handle, const char* data, size_t size);
// Installs `function` (nullptr: SystemWrite) and returns the one it replaced.
// Call only while no line is being written.
WriteFunction ReplaceWriteFunction(WriteFunction function);

// ---------------------------------------------------------------------------
// LogFile: one log file held open for writing. Created or emptied on Open,
// shared for reading and writing with other processes, and (POSIX) never
// opened through a symbolic link at its last component. Only a regular file
// is kept: a FIFO, device or pipe at the path fails the open, and the open
// never blocks on one.
//
// WriteLine hands a whole line to the OS in one write call. If the OS takes
// only part of it and then refuses the rest, the whole lines that reached
// the file stay, and the partial line after them is cut off again, but only
// while the file still ends exactly where that part ended:
// bytes that another writer of the same file (a forked child, another
// process) appended meanwhile are never removed, and the partial line then
// stays. The next WriteLine tries again. Not thread-safe: the owner
// serialises calls. After fork(), parent and child share the open file and
// both go on appending whole lines.
// For a write of several lines: how many of the first `done` bytes are
// whole lines (a line may hold a line feed of its own, so only the writer
// knows where its lines end). `context` is the writer's.
using WholeLines = size_t (*)(const void* context, size_t done);

class LogFile {
 public:
  LogFile() = default;
  ~LogFile() { Close(); }
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens `path`, closing any file held before. False on failure, after
  // which nothing is held open.
  bool Open(const char* path);

  // Writes `size` bytes, one or more whole lines, in one write call. False
  // if they did not reach the file whole; the partial lines are then
  // removed (see above).
  // Several lines at once pass `whole_lines`, so that a write cut short
  // keeps those that reached the file; without it the bytes are one line.
  bool WriteLine(const char* data, size_t size, WholeLines whole_lines = nullptr,
                 const void* context = nullptr);

  void Close();
  bool is_open() const { return handle_ != kInvalidHandle; }
  // True when the last WriteLine failed.
  bool failed() const { return failed_; }
  // Bytes of whole lines written since Open.
  uint64_t size() const { return size_; }

 private:
  static constexpr intptr_t kInvalidHandle = -1;
  intptr_t handle_ = kInvalidHandle;  // fd on POSIX, HANDLE on Windows
  uint64_t size_ = 0;                 // end of the last whole line
  bool failed_ = false;               // the last write failed
};

}  // namespace platform

// Library lifetime, supplied by the core (core/library_entry.cpp) and called
// by the backend: OnLibraryLoad() once when the library is loaded, before any
// export can run; OnLibraryUnload() when the library is unloaded or the
// process exits, whichever comes first (a second call does nothing).
//
// How the teardown may proceed depends on who is still running:
struct UnloadMode {
  // Other threads may still be inside an export (POSIX exit(), dlclose, a
  // program linked statically): wait, within a bound, for the record under
  // way. False where the OS has already ended the other threads, perhaps
  // while one held a lock (Windows process detach), and for any path that
  // must take no lock (the Windows loader's detach).
  bool wait_for_writers;
  // The library's code goes away (dlclose, FreeLibrary): free the loggers
  // and locks. At process exit they stay: the OS reclaims the memory, and a
  // thread still calling in meets a refusing logger, not freed memory.
  bool release_memory;
};
void OnLibraryLoad();
void OnLibraryUnload(UnloadMode mode);

namespace platform {
// Called once by the first InitializeLogger, before it creates a logger:
// arranges for OnLibraryUnload with the process-exit mode to run when the
// process exits, before the library's own destructor would (POSIX: an
// atexit function; Windows: nothing, DllMain tells).
void WatchProcessExit();
}  // namespace platform

// Fork handlers, supplied by the core and registered by the POSIX backend
// (pthread_atfork): BeforeFork takes every lock of the library, in the order
// the library nests them, so no other thread is inside one when the process
// is copied; the parent then leaves them, and the child, whose only thread
// is the one that forked, resets them to free.
void BeforeFork();
void AfterForkInParent();
void AfterForkInChild();

}  // namespace vqlogger

#endif  // VQLOGGER_PLATFORM_PLATFORM_H_
