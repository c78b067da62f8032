#include "input_source.h"

#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace vqlog {
namespace {

volatile std::sig_atomic_t stop_requested = 0;

}  // namespace

void RequestStop() { stop_requested = 1; }
bool StopRequested() { return stop_requested != 0; }

#ifdef _WIN32

namespace {

void OnStopSignal(int signal_number) {
  if (stop_requested) _exit(128 + signal_number);
  stop_requested = 1;
  std::signal(signal_number, OnStopSignal);
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string SystemMessage(DWORD code) {
  char text[256] = {0};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                           sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) text[--n] = '\0';
  return n > 0 ? std::string(text, n) : "error " + std::to_string(code);
}

}  // namespace

void InstallStopHandlers() {
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
}

InputSource::~InputSource() { Close(); }

bool InputSource::is_open() const { return handle_ != nullptr; }

bool InputSource::Open(const std::string& path, bool regular_only) {
  Close();
  error_.clear();
  regular_only_ = regular_only;
  HANDLE handle;
  if (path == "-") {
    handle = GetStdHandle(STD_INPUT_HANDLE);
    owned_ = false;
  } else {
    handle = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    owned_ = true;
  }
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    error_ = SystemMessage(GetLastError());
    return false;
  }
  handle_ = handle;
  regular_ = GetFileType(handle) == FILE_TYPE_DISK;
  if (regular_only && !regular_) {
    Close();
    error_ = "not a regular file";
    return false;
  }
  if (regular_) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle, &info)) {
      if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        Close();
        error_ = "is a directory";
        return false;
      }
      identity_[0] = info.dwVolumeSerialNumber;
      identity_[1] = info.nFileIndexHigh;
      identity_[2] = info.nFileIndexLow;
    }
  }
  return true;
}

size_t OpenFileLimit() { return 8192; }  // handles: no per-process limit to speak of

void InputSource::Park() {
  if (!handle_ || !regular_ || !owned_) return;
  CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  parked_ = true;
}

bool InputSource::Resume(const std::string& path, int64_t offset) {
  HANDLE handle = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error_ = SystemMessage(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  LARGE_INTEGER at;
  at.QuadPart = offset;
  if (!GetFileInformationByHandle(handle, &info) || info.dwVolumeSerialNumber != identity_[0] ||
      info.nFileIndexHigh != identity_[1] || info.nFileIndexLow != identity_[2] ||
      !SetFilePointerEx(handle, at, nullptr, FILE_BEGIN)) {
    CloseHandle(handle);
    error_ = "the file was replaced while it was read";
    return false;
  }
  handle_ = handle;
  parked_ = false;
  return true;
}

void InputSource::Close() {
  if (handle_ && owned_) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  parked_ = false;
  regular_ = false;
}

int64_t InputSource::Read(char* buffer, size_t size) {
  if (StopRequested()) {
    error_ = "interrupted";
    return -1;
  }
  DWORD got = 0;
  DWORD want = static_cast<DWORD>(size > 0x40000000u ? 0x40000000u : size);
  if (!ReadFile(static_cast<HANDLE>(handle_), buffer, want, &got, nullptr)) {
    DWORD code = GetLastError();
    if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) return 0;  // the writer is gone
    error_ = SystemMessage(code);
    return -1;
  }
  return got;
}

InputSource::Change InputSource::CheckFollowed(const std::string& path, int64_t offset, const std::string& prefix) {
  if (!regular_) return Change::None;
  HANDLE other = CreateFileW(Widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (other != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION a, b;
    bool same = GetFileInformationByHandle(static_cast<HANDLE>(handle_), &a) &&
                GetFileInformationByHandle(other, &b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(other);
    if (!same) return Change::Replaced;
  }
  LARGE_INTEGER size;
  if (GetFileSizeEx(static_cast<HANDLE>(handle_), &size) && size.QuadPart < offset) return Change::Truncated;
  if (!prefix.empty()) {
    std::string now(prefix.size(), '\0');
    OVERLAPPED at = {};
    DWORD got = 0;
    // A positioned read moves the file pointer; put it back after.
    LARGE_INTEGER here = {}, zero = {};
    SetFilePointerEx(static_cast<HANDLE>(handle_), zero, &here, FILE_CURRENT);
    bool read = ReadFile(static_cast<HANDLE>(handle_), now.data(), static_cast<DWORD>(now.size()), &got, &at);
    SetFilePointerEx(static_cast<HANDLE>(handle_), here, nullptr, FILE_BEGIN);
    if (read && (got < now.size() || now != prefix)) return Change::Truncated;
  }
  return Change::None;
}

bool InputSource::Restart(const std::string& path, Change change) {
  // The file was a regular one: what replaced it is opened without
  // blocking, and only if it is a regular file too (a FIFO put in its
  // place would stop every other log of the follow).
  if (change == Change::Replaced) return Open(path, true);
  LARGE_INTEGER zero = {};
  return SetFilePointerEx(static_cast<HANDLE>(handle_), zero, nullptr, FILE_BEGIN) != 0;
}

bool InputSource::Seek(int64_t offset) {
  LARGE_INTEGER at;
  at.QuadPart = offset;
  return regular_ && SetFilePointerEx(static_cast<HANDLE>(handle_), at, nullptr, FILE_BEGIN) != 0;
}

#else  // POSIX

namespace {

void OnStopSignal(int) { stop_requested = 1; }

}  // namespace

void InstallStopHandlers() {
  // No SA_RESTART: a signal makes a blocked open() or read() return EINTR,
  // and the reader gives up. SA_RESETHAND: a second signal ends the process.
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

InputSource::~InputSource() { Close(); }

bool InputSource::is_open() const { return fd_ >= 0; }

bool InputSource::Open(const std::string& path, bool regular_only) {
  Close();
  error_.clear();
  regular_only_ = regular_only;
  int fd;
  // Standard input cannot be opened again by its name: never parked.
  owned_ = path != "-";
  if (path == "-") {
    fd = dup(STDIN_FILENO);
  } else {
    do {
      // A FIFO blocks here until a writer opens it (unless only a regular
      // file is wanted); a stop ends the wait.
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (regular_only ? O_NONBLOCK : 0));
    } while (fd < 0 && errno == EINTR && !StopRequested());
  }
  if (fd < 0) {
    error_ = errno == EINTR ? "interrupted" : std::strerror(errno);
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      ::close(fd);
      error_ = "is a directory";
      return false;
    }
    regular_ = S_ISREG(info.st_mode);
    identity_[0] = static_cast<uint64_t>(info.st_dev);
    identity_[1] = static_cast<uint64_t>(info.st_ino);
  }
  if (regular_only && !regular_) {
    ::close(fd);
    error_ = "not a regular file";
    return false;
  }
  if (regular_only) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  fd_ = fd;
#ifdef POSIX_FADV_SEQUENTIAL
  if (regular_) posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  return true;
}

void InputSource::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  parked_ = false;
  regular_ = false;
}

int64_t InputSource::Read(char* buffer, size_t size) {
  for (;;) {
    if (StopRequested()) {
      error_ = "interrupted";
      return -1;
    }
    ssize_t got = ::read(fd_, buffer, size);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    error_ = std::strerror(errno);
    return -1;
  }
}

InputSource::Change InputSource::CheckFollowed(const std::string& path, int64_t offset, const std::string& prefix) {
  if (!regular_) return Change::None;
  struct stat mine, now;
  if (fstat(fd_, &mine) != 0) return Change::None;
  if (stat(path.c_str(), &now) == 0 && (now.st_dev != mine.st_dev || now.st_ino != mine.st_ino)) {
    return Change::Replaced;
  }
  if (mine.st_size < offset) return Change::Truncated;
  if (!prefix.empty()) {
    std::string first(prefix.size(), '\0');
    ssize_t got = pread(fd_, first.data(), first.size(), 0);
    if (got >= 0 && (static_cast<size_t>(got) < first.size() || first != prefix)) return Change::Truncated;
  }
  return Change::None;
}

bool InputSource::Restart(const std::string& path, Change change) {
  // The file was a regular one: what replaced it is opened without
  // blocking, and only if it is a regular file too (a FIFO put in its
  // place would stop every other log of the follow).
  if (change == Change::Replaced) return Open(path, true);
  return lseek(fd_, 0, SEEK_SET) == 0;
}

bool InputSource::Seek(int64_t offset) { return regular_ && lseek(fd_, offset, SEEK_SET) == offset; }

size_t OpenFileLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 48;
  if (limit.rlim_cur != RLIM_INFINITY && (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > limit.rlim_cur)) {
    struct rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? 1 << 20 : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  // Standard streams, the directory being listed, the output: a few are
  // kept for them.
  constexpr rlim_t kKept = 16;
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (1 << 20)) return 1 << 20;
  return limit.rlim_cur > kKept + 1 ? static_cast<size_t>(limit.rlim_cur - kKept) : 1;
}

void InputSource::Park() {
  if (fd_ < 0 || !regular_ || !owned_) return;
  ::close(fd_);
  fd_ = -1;
  parked_ = true;
}

bool InputSource::Resume(const std::string& path, int64_t offset) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR && !StopRequested());
  if (fd < 0) {
    error_ = errno == EINTR ? "interrupted" : std::strerror(errno);
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || static_cast<uint64_t>(info.st_dev) != identity_[0] ||
      static_cast<uint64_t>(info.st_ino) != identity_[1] || lseek(fd, offset, SEEK_SET) != offset) {
    ::close(fd);
    error_ = "the file was replaced while it was read";
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  fd_ = fd;
  parked_ = false;
  return true;
}

#endif

}  // namespace vqlog
