// POSIX backend of the platform seam (platform.h), for Linux and glibc.
//
// Narrow text is UTF-8 here: ill-formed input is repaired (one U+FFFD per
// maximal ill-formed subsequence), there are no double-byte lead bytes, and
// the path separator is '/'. Nothing here allocates on the heap or throws.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>

namespace vqlogger {
namespace platform {

const char kPathSeparator = '/';

// Read in signal handlers: initial-exec, so no access can allocate (a
// library loaded with dlopen gets its other thread-locals lazily, from the
// heap). Kept to one word: only a few bytes of static TLS are left over
// for libraries loaded late.
__thread uint32_t thread_marks __attribute__((tls_model("initial-exec"))) = 0;
const size_t kExecutablePathCapacity = PATH_MAX;

namespace {

// What a Mutex holds. `locked` is 0 when free, 1 when held, and 2 when its
// last holder left it to a waiter that was spinning (only a waiter may take
// it then, so a thread that keeps relocking cannot starve the others).
// `locked`: kFree; kHeld; kHandedOver (free, but only a waiter may take
// it: the holder left it to a spinning waiter); kHeldContended (held, and a
// waiter may be asleep: the unlock must wake one). The contended mark is in
// the lock word itself, so the kernel's compare in FUTEX_WAIT catches an
// unlock that comes between the mark and the sleep.
enum : int { kFree = 0, kHeld = 1, kHandedOver = 2, kHeldContended = 3 };

struct LockState {
  std::atomic<int> locked;
  std::atomic<int> spinners;  // waiters spinning for the lock
  // 1 while a waiter of LockWithoutSpin is the standby: it naps for a fixed
  // time instead of sleeping until woken (see there). Also the word it naps
  // on, which nobody wakes.
  std::atomic<int> standby;
  std::atomic<int> sleepers;  // waiters asleep until an unlock wakes them
};

LockState* StateOf(unsigned char* storage) {
  return std::launder(reinterpret_cast<LockState*>(storage));
}

// A waiter spins this long before it blocks. The lock is held only while a
// record is built and queued (a few hundred nanoseconds; the write happens
// outside it), so a longer spin only burns the processor of a host whose
// holder has been preempted.
constexpr int64_t kSpinNanoseconds = 2000;

// The standby of LockWithoutSpin naps this long between looks at the lock
// (the kernel's timer slack adds some 50 µs to it), at most kStandbyNaps
// times in one wait, so about a millisecond in all before it sleeps like any
// other waiter.
constexpr long kStandbyNapNanoseconds = 10000;
constexpr int kStandbyNaps = 16;
// A thread whose timer slack is above this does not nap: the kernel may
// stretch each nap by the whole slack, which a host can raise to seconds
// (for a background thread), and the lock would stay free that long while
// its waiter naps.
constexpr long kStandbyMostSlackNanoseconds = 100000;

void FutexWait(std::atomic<int>* word, int expected) {
  syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void FutexWake(std::atomic<int>* word) {
  syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

std::atomic<WriteFunction> write_function{SystemWrite};

void OnForkChild() { fork_generation.fetch_add(1, std::memory_order_relaxed); }


// UTF-8 decoding with replacement of maximal ill-formed subsequences.
// Returns the code point at *s and advances *s; sets *ok false for an
// ill-formed subsequence (the caller emits U+FFFD).
char32_t DecodeUtf8(const unsigned char*& s, bool* ok) {
  unsigned char b0 = s[0];
  *ok = true;
  if (b0 < 0x80) {
    ++s;
    return b0;
  }
  int need;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1; cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2; cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3; cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    ++s;
    *ok = false;
    return 0;
  }
  ++s;
  for (int i = 0; i < need; ++i) {
    unsigned char b = *s;
    unsigned char min = (i == 0) ? lo : 0x80;
    unsigned char max = (i == 0) ? hi : 0xBF;
    if (b < min || b > max) {  // also stops at the terminating zero
      *ok = false;
      return 0;
    }
    cp = (cp << 6) | (b & 0x3F);
    ++s;
  }
  return cp;
}

// Encodes one UTF-16 scalar sequence at *s as UTF-8 into out (up to 4
// bytes); lone surrogates become U+FFFD. Advances *s, returns byte count.
int EncodeUtf16Unit(const char16_t*& s, char* out) {
  char32_t cp = *s++;
  if (cp >= 0xD800 && cp <= 0xDBFF && *s >= 0xDC00 && *s <= 0xDFFF) {
    cp = 0x10000 + ((cp - 0xD800) << 10) + (*s++ - 0xDC00);
  } else if (cp >= 0xD800 && cp <= 0xDFFF) {
    cp = 0xFFFD;
  }
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

}  // namespace

// Forks bump this, so that per-thread caches of the thread id (the core's
// text of it) made in the parent are not reused in the child.
std::atomic<unsigned> fork_generation{1};

// --- Mutex -----------------------------------------------------------------

// A futex lock that spins before it sleeps. A waiter spins on a plain load
// for a time (not a count, so it behaves the same on any CPU) and only then
// sleeps. The holder hands the lock straight to a spinning waiter, and makes
// a wake-up call only when someone is asleep, so a contended lock changes
// hands without a system call and without a sleep in the common case.
Mutex::Mutex() {
  static_assert(sizeof(LockState) <= sizeof storage_, "lock state must fit Mutex storage");
  static_assert(std::atomic<int>::is_always_lock_free, "futex needs a plain int");
  new (storage_) LockState{{kFree}, {0}, {0}, {0}};
}

Mutex::~Mutex() { StateOf(storage_)->~LockState(); }

namespace {

// Takes the lock if it is free or handed over, as `held` (kHeld, or
// kHeldContended for a waiter that has slept, since others may sleep still).
// Only waiters call this.
bool TakeAsWaiter(LockState* state, int held) {
  int value = state->locked.load(std::memory_order_relaxed);
  if (value == kHeld || value == kHeldContended) return false;
  return state->locked.compare_exchange_strong(value, held, std::memory_order_acquire);
}

// Marks the lock contended and sleeps until an unlock wakes a sleeper;
// returns at once if the lock is free or handed over meanwhile.
void SleepWhileHeld(LockState* state) {
  int value = state->locked.load(std::memory_order_relaxed);
  if (value == kFree || value == kHandedOver) return;
  if (value == kHeld &&
      !state->locked.compare_exchange_strong(value, kHeldContended, std::memory_order_relaxed)) {
    return;  // changed: look again
  }
  // Counted before the kernel compares the word. The unlock writes the word,
  // then reads the count (both sequentially consistent); FUTEX_WAIT makes a
  // full barrier before its read. So either the unlock sees this sleeper or
  // the kernel sees the word changed.
  state->sleepers.fetch_add(1, std::memory_order_seq_cst);
  FutexWait(&state->locked, kHeldContended);
  // Never below zero: a wait begun before a fork (in a handler) ends in the
  // child, whose lock starts afresh, and a count of -1 would hide the
  // child's next sleeper from every unlock.
  int counted = state->sleepers.load(std::memory_order_relaxed);
  while (counted > 0 &&
         !state->sleepers.compare_exchange_weak(counted, counted - 1, std::memory_order_relaxed)) {
  }
}

// One nap of the standby: a timed wait on a word that nobody wakes, so it
// takes no wake-up meant for a sleeper and costs the holder nothing.
void StandbyNap(LockState* state) {
  struct timespec nap = {0, kStandbyNapNanoseconds};
  syscall(SYS_futex, reinterpret_cast<int*>(&state->standby), FUTEX_WAIT_PRIVATE, 1, &nap,
          nullptr, 0);
}

// The calling thread's timer slack is small enough for the standby's naps.
// Read through syscall, which returns the whole value (prctl's int would
// wrap a slack of four seconds or more).
bool NapsStayShort() {
  long slack = syscall(SYS_prctl, PR_GET_TIMERSLACK, 0L, 0L, 0L, 0L);
  return slack >= 0 && slack <= kStandbyMostSlackNanoseconds;
}

}  // namespace

VQ_HOT void Mutex::Lock() {
  LockState* state = StateOf(storage_);
  int expected = kFree;
  if (state->locked.compare_exchange_strong(expected, kHeld, std::memory_order_acquire)) return;
  int held = kHeld;
  for (;;) {
    state->spinners.fetch_add(1, std::memory_order_seq_cst);
    int64_t deadline = 0;
    for (int spins = 0;; ++spins) {
      if (TakeAsWaiter(state, held)) {
        state->spinners.fetch_sub(1, std::memory_order_relaxed);
        return;
      }
      // Pause only every fourth turn: a waiter that notices the hand-over a
      // few tens of nanoseconds sooner shortens every hand-over.
      if ((spins & 3) == 3) CpuRelax();
      if ((spins & 31) == 31) {
        int64_t now = MonotonicNanoseconds();
        if (deadline == 0) {
          deadline = now + kSpinNanoseconds;
        } else if (now > deadline) {
          break;
        }
      }
    }
    // Sleep until the holder leaves. Once woken, spin again: going straight
    // back to sleep would make every later unlock pay for a wake-up call
    // while the holder keeps the lock to itself.
    state->spinners.fetch_sub(1, std::memory_order_seq_cst);
    SleepWhileHeld(state);
    held = kHeldContended;
  }
}

VQ_HOT void Mutex::LockWithoutSpin() {
  LockState* state = StateOf(storage_);
  int expected = kFree;
  if (state->locked.compare_exchange_strong(expected, kHeld, std::memory_order_acquire)) return;
  // The holder keeps the lock for a write: sleep at once, as a plain futex
  // lock does, so the other processor is not burnt and the holder can take
  // the lock back for its next record without a hand-over. An unlock makes
  // a wake-up call only while the lock is marked contended, so a holder that
  // keeps taking it back pays for one per sleeper's turn, not one per unlock.
  //
  // That call is dear where the sleeper's processor is idle (waking it can
  // cost microseconds, more than a write), and a sleeper woken only to find
  // the lock taken again marks it anew, so two threads logging in turn pay it
  // every few records. So a lone waiter is the standby instead: it does not
  // mark the lock but naps, looking at the lock between naps, and an unlock
  // owes it nothing. It sleeps like the others once its naps are used up or
  // once another waiter sleeps (whose wake-ups are owed anyway).
  int held = kHeld;
  bool standby = state->standby.exchange(1, std::memory_order_relaxed) == 0;
  int naps = 0;
  for (;;) {
    if (TakeAsWaiter(state, held)) break;
    if (standby) {
      // A standby with a large timer slack sleeps at once, like the others.
      // Asked only before a first nap that is to be taken: a system call
      // dearer than a write on some machines, wasted where others sleep.
      const bool others_sleep = state->sleepers.load(std::memory_order_relaxed) != 0;
      if (naps == 0 && !others_sleep && !NapsStayShort()) naps = kStandbyNaps;
      if (naps < kStandbyNaps && !others_sleep) {
        ++naps;
        StandbyNap(state);
        continue;
      }
      state->standby.store(0, std::memory_order_relaxed);
      standby = false;
    }
    SleepWhileHeld(state);
    held = kHeldContended;
  }
  if (standby) state->standby.store(0, std::memory_order_relaxed);
}

bool Mutex::TryLock() {
  // Only a free lock: one handed over to a spinning waiter is that waiter's.
  int expected = kFree;
  return StateOf(storage_)->locked.compare_exchange_strong(expected, kHeld, std::memory_order_acquire);
}

void Mutex::ResetAfterFork() {
  // The parent's waiters are not in the child: a count or hand-over left
  // from them would give the lock to nobody.
  new (storage_) LockState{{kFree}, {0}, {0}, {0}};
}

VQ_HOT void Mutex::Unlock() {
  LockState* state = StateOf(storage_);
  // The spinner count is read before the lock word is written (both
  // sequentially consistent, as a spinner raises it before reading the
  // word), so either a spinner sees the lock free or it is handed to it.
  // A contended mark outlives its sleepers (a woken waiter that takes the
  // lock keeps it, as others may sleep still), so the wake-up call is made
  // only while one is counted.
  bool spinner = state->spinners.load(std::memory_order_seq_cst) > 0;
  if (state->locked.exchange(spinner ? kHandedOver : kFree, std::memory_order_seq_cst) == kHeldContended &&
      state->sleepers.load(std::memory_order_seq_cst) > 0) {
    FutexWake(&state->locked);
  }
}

// --- Waiting on a word ------------------------------------------------------

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex needs a plain word");

void WaitOnWord(std::atomic<uint32_t>* word, uint32_t expected) {
  // The kernel compares the word with `expected` under its own lock, so a
  // wake between the caller's test and this call is not missed.
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr,
          nullptr, 0);
}

void WakeWordWaiters(std::atomic<uint32_t>* word) {
  // A private futex wake only hashes the address: it is harmless when the
  // waiter has already gone and its stack is reused.
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
          nullptr, 0);
}

int64_t MonotonicNanoseconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);  // vDSO: no system call
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// --- Time ------------------------------------------------------------------

VQ_HOT ClockReading ReadClock() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);  // vDSO: no system call
  return ClockReading{static_cast<int64_t>(ts.tv_sec),
                      static_cast<int>(ts.tv_nsec / 1000000)};
}

bool LocalTimeOf(int64_t seconds, LocalTime* out) {
  time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr) return false;
  out->year = tm.tm_year + 1900;
  out->month = tm.tm_mon + 1;
  out->day = tm.tm_mday;
  out->hour = tm.tm_hour;
  out->minute = tm.tm_min;
  out->second = tm.tm_sec;
  out->millisecond = 0;
  return true;
}

void CurrentLocalTime(LocalTime* out) {
  ClockReading now = ReadClock();
  if (!LocalTimeOf(now.seconds, out)) {
    *out = LocalTime{1970, 1, 1, 0, 0, 0, 0};
  }
  out->millisecond = now.millisecond;
}

int64_t MonotonicMilliseconds() { return MonotonicNanoseconds() / 1000000; }

void YieldThread() { sched_yield(); }

// --- Identifiers -------------------------------------------------------------

int32_t CurrentThreadId() { return static_cast<int32_t>(syscall(SYS_gettid)); }

int32_t CurrentProcessId() { return static_cast<int32_t>(getpid()); }



// --- Paths -------------------------------------------------------------------

bool ExecutablePath(char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return false;
  ssize_t n = readlink("/proc/self/exe", buffer, capacity);
  if (n <= 0 || static_cast<size_t>(n) >= capacity) return false;
  buffer[n] = '\0';
  return true;
}

size_t TemporaryDirectory(char* buffer, size_t capacity) {
  const char* dir = getenv("TMPDIR");
  // A TMPDIR that would not fit the 260-byte directory limit is ignored.
  if (dir == nullptr || dir[0] == '\0' || strlen(dir) >= 259) dir = "/tmp";
  size_t len = strlen(dir);
  bool has_separator = dir[len - 1] == '/';
  size_t total = len + (has_separator ? 0 : 1);
  if (buffer == nullptr || total + 1 > capacity) return 0;
  memcpy(buffer, dir, len);
  if (!has_separator) buffer[len] = '/';
  buffer[total] = '\0';
  return total;
}

ProbeResult ProbePath(const char* path) {
  if (access(path, F_OK) == 0) return ProbeResult::kExists;
  return errno == ENOENT ? ProbeResult::kNotFound : ProbeResult::kOtherError;
}

bool CreateDirectoryAt(const char* path) { return mkdir(path, 0777) == 0; }

const char* EnvironmentValue(const char* name) { return getenv(name); }

// --- Text --------------------------------------------------------------------

int AnsiToWide(const char* source, char16_t* destination, int capacity) {
  if (source == nullptr || destination == nullptr || capacity <= 0) return 0;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(source);
  int n = 0;
  for (;;) {
    if (*s == 0) {
      if (n >= capacity) return 0;
      destination[n++] = 0;
      return n;
    }
    bool ok;
    char32_t cp = DecodeUtf8(s, &ok);
    if (!ok) cp = 0xFFFD;
    if (cp >= 0x10000) {
      if (n + 2 > capacity) return 0;
      cp -= 0x10000;
      destination[n++] = static_cast<char16_t>(0xD800 + (cp >> 10));
      destination[n++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      if (n + 1 > capacity) return 0;
      destination[n++] = static_cast<char16_t>(cp);
    }
  }
}

int WideToUtf8(const char16_t* source, char* destination, int capacity) {
  if (source == nullptr || destination == nullptr || capacity <= 0) return 0;
  int n = 0;
  char bytes[4];
  for (;;) {
    if (*source == 0) {
      if (n >= capacity) return 0;
      destination[n++] = 0;
      return n;
    }
    int k = EncodeUtf16Unit(source, bytes);
    if (n + k > capacity) return 0;
    memcpy(destination + n, bytes, static_cast<size_t>(k));
    n += k;
  }
}

int WideToAnsi(const char16_t* source, char* destination, int capacity) {
  return WideToUtf8(source, destination, capacity);
}

namespace {
// Bytes of the UTF-8 form of `cp`.
int Utf8Length(char32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }
}  // namespace

int AnsiToUtf8Direct(const char* source, char* destination, int capacity) {
  if (source == nullptr || destination == nullptr || capacity <= 0) return 0;
  // First pass: the repaired length. A well-formed sequence keeps its bytes;
  // a maximal ill-formed subsequence (one to three bytes) becomes the three
  // bytes of U+FFFD, so the text never shrinks at any point.
  size_t in_length = 0;
  size_t out_length = 0;
  for (const unsigned char* s = reinterpret_cast<const unsigned char*>(source); *s != 0;) {
    const unsigned char* start = s;
    bool ok;
    char32_t cp = DecodeUtf8(s, &ok);
    out_length += ok ? static_cast<size_t>(Utf8Length(cp)) : 3;
    in_length += static_cast<size_t>(s - start);
  }
  if (out_length + 1 > static_cast<size_t>(capacity)) return 0;
  // In place, the source first moves up by the growth; writing then never
  // overtakes reading, since no step shrinks.
  const char* from = source;
  if (out_length > in_length && destination == source) {
    memmove(destination + (out_length - in_length), source, in_length + 1);
    from = destination + (out_length - in_length);
  }
  const unsigned char* s = reinterpret_cast<const unsigned char*>(from);
  char* out = destination;
  while (*s != 0) {
    const unsigned char* start = s;
    bool ok;
    char32_t cp = DecodeUtf8(s, &ok);
    if (ok) {
      size_t n = static_cast<size_t>(s - start);
      if (out != reinterpret_cast<const char*>(start)) memmove(out, start, n);
      out += n;
    } else {
      out[0] = '\xEF';
      out[1] = '\xBF';
      out[2] = '\xBD';
      out += 3;
    }
    (void)cp;
  }
  *out = '\0';
  return static_cast<int>(out_length + 1);
}

int WideToAnsiWithin(const char16_t* source, char* destination, int capacity, bool* too_long) {
  int result = WideToUtf8(source, destination, capacity);
  // With both pointers valid, running out of room is the only failure.
  *too_long = result == 0 && source != nullptr && destination != nullptr;
  return result;
}

bool IsLeadByte(unsigned char) { return false; }

// --- LogFile -----------------------------------------------------------------

// The system calls that may block are made through syscall(), which is no
// cancellation point: pthread_cancel of a thread inside an export would
// otherwise unwind it from write() or open() while it holds a lock or the
// writer's role (and the unwind cannot pass the export's catch-all).
VQ_HOT long SystemWrite(intptr_t handle, const char* data, size_t size) {
  return syscall(SYS_write, static_cast<int>(handle), data, size);
}

WriteFunction ReplaceWriteFunction(WriteFunction function) {
  return write_function.exchange(function != nullptr ? function : SystemWrite,
                                 std::memory_order_acq_rel);
}

namespace {

int OpenNoCancel(const char* path, int flags, mode_t mode) {
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

void CloseNoCancel(int fd) { syscall(SYS_close, fd); }

}  // namespace

bool LogFile::Open(const char* path) {
  Close();
  // The name is predictable and the directory may be shared (the temporary
  // directory by default): the file is created new, never through a
  // symbolic link. O_NONBLOCK so that a FIFO planted at the name cannot
  // block the open (and with it InitializeLogger and every caller behind
  // its lock).
  const int kFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = OpenNoCancel(path, kFlags | O_CREAT | O_EXCL, 0644);
  bool created = fd >= 0;
  if (!created) {
    // A file already there (this process's own, opened again within the
    // same second) is used only when nobody else can have put it there or
    // reach it through another name: a regular file of this effective user
    // with one link. Another user's file, or a hard link to one of ours, is
    // refused as a failed open is.
    if (errno != EEXIST) return false;
    fd = OpenNoCancel(path, kFlags, 0);
    if (fd < 0) return false;
  }
  struct stat st;
  int flags = fcntl(fd, F_GETFL);
  bool usable = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flags >= 0;
  if (usable && !created) {
    // Nor one that others may write to: its lines could be forged.
    usable = st.st_uid == geteuid() && st.st_nlink == 1 && (st.st_mode & 022) == 0 &&
             ftruncate(fd, 0) == 0;
  }
  // Writes block again: a full pipe or slow disk waits, it does not fail.
  if (!usable || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    CloseNoCancel(fd);
    return false;
  }
  handle_ = fd;
  size_ = 0;
  failed_ = false;
  return true;
}

namespace {

// After a write that stopped part-way: `end` is where this write's bytes
// ended in the file, `partial` how many of them came after the last whole
// line that reached it (the whole lines before stay: their callers have
// been written). The partial line is cut off only while the file still ends
// exactly there; if another writer (a forked child, another process on the
// same file) has appended since, nothing is removed, and the partial line
// stays for a reader to report.
void CutBackPartialLine(int fd, off_t end, size_t partial) {
  struct stat st;
  if (partial == 0 || end < static_cast<off_t>(partial) || fstat(fd, &st) != 0 ||
      st.st_size != end) {
    return;
  }
  while (ftruncate(fd, end - static_cast<off_t>(partial)) != 0 && errno == EINTR) {
  }
}

}  // namespace

VQ_HOT bool LogFile::WriteLine(const char* data, size_t size, WholeLines whole_lines,
                               const void* context) {
  if (handle_ == kInvalidHandle) {
    failed_ = true;
    return false;
  }
  int fd = static_cast<int>(handle_);
  WriteFunction write_bytes = write_function.load(std::memory_order_relaxed);
  size_t done = 0;
  off_t end = -1;  // file offset after the last part this call wrote
  while (done < size) {
    long n = write_bytes(handle_, data + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      // Only a short write needs to know where it ended (O_APPEND leaves
      // the offset there); a whole one costs no extra call.
      if (done < size) end = lseek(fd, 0, SEEK_CUR);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // Refused or cut short (full disk, file-size limit): remove this call's
    // partial line so the next record starts on a line of its own.
    size_t whole = whole_lines != nullptr && done > 0 ? whole_lines(context, done) : 0;
    if (done > 0) CutBackPartialLine(fd, end, done - whole);
    size_ += whole;
    failed_ = true;
    return false;
  }
  size_ += size;
  failed_ = false;
  return true;
}

void LogFile::Close() {
  if (handle_ != kInvalidHandle) {
    CloseNoCancel(static_cast<int>(handle_));
    handle_ = kInvalidHandle;
  }
}

}  // namespace platform

// --- Library lifetime ----------------------------------------------------------
//
// exit() runs the atexit functions in the reverse order of their
// registration, and one of them, registered by the C runtime before main,
// runs every ELF destructor. A library constructor runs before that
// registration, so an atexit function registered there would come after this
// library's destructor. That is why the exit handler is registered only by
// the first InitializeLogger (WatchProcessExit): at exit it then runs before
// the destructor, and the teardown is the process-exit one (nothing freed,
// other threads may still be logging). At dlclose the ELF destructor runs
// first (the library's atexit functions run after it, from the C runtime's
// own destructor), so there the teardown frees everything. OnLibraryUnload
// ignores whichever comes second.
namespace {

void UnloadAtExit() { OnLibraryUnload(UnloadMode{/*wait_for_writers=*/true, /*release_memory=*/false}); }

void ForkPrepare() { BeforeFork(); }
void ForkParent() { AfterForkInParent(); }
void ForkChild() {
  platform::OnForkChild();
  AfterForkInChild();
}

__attribute__((constructor)) void LibraryConstructor() {
  OnLibraryLoad();
  // Registered for this library's image: dlclose removes them again.
  pthread_atfork(ForkPrepare, ForkParent, ForkChild);
}

__attribute__((destructor)) void LibraryDestructor() {
  OnLibraryUnload(UnloadMode{/*wait_for_writers=*/true, /*release_memory=*/true});
}

}  // namespace

namespace platform {
void WatchProcessExit() { atexit(UnloadAtExit); }
}  // namespace platform

}  // namespace vqlogger
