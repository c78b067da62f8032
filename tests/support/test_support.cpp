#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace vqtest {

const char kRuntimeFirstLine[] =
    "\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL\r\n";
const char kAssertFirstLine[] =
    "\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tEXPRESSION\r\n";

char Separator() {
#ifdef _WIN32
  return '\\';
#else
  return '/';
#endif
}

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  fs::path base = fs::temp_directory_path();
  for (;;) {
    std::string name = "vqtest_" + std::to_string(CurrentPid()) + "_" + std::to_string(counter++);
    fs::path candidate = base / name;
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate.string();
      break;
    }
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string ScratchDir::Join(const std::string& name) const {
  std::string native = name;
  std::replace(native.begin(), native.end(), '/', Separator());
  return path_ + Separator() + native;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

bool PathExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  // _putenv_s with an empty value would remove the variable; keep it
  // defined and empty through the CRT's own table.
  std::string entry = std::string(name) + "=" + value;
  if (value[0] == '\0') {
    _putenv_s(name, " ");
    char** env = _environ;
    for (; *env != nullptr; ++env) {
      if (strncmp(*env, entry.c_str(), entry.size()) == 0 && (*env)[entry.size()] == ' ') {
        (*env)[entry.size()] = '\0';
      }
    }
  } else {
    _putenv_s(name, value);
  }
#else
  setenv(name, value, 1);
#endif
}

void UnsetEnv(const char* name) {
#ifdef _WIN32
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

int CurrentPid() {
#ifdef _WIN32
  return static_cast<int>(GetCurrentProcessId());
#else
  return static_cast<int>(getpid());
#endif
}

int CurrentTid() {
#ifdef _WIN32
  return static_cast<int>(GetCurrentThreadId());
#else
  return static_cast<int>(syscall(SYS_gettid));
#endif
}

std::string ExeBaseName() {
#ifdef _WIN32
  char buffer[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  std::string path(buffer, n);
#else
  std::string path = fs::read_symlink("/proc/self/exe").string();
#endif
  size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string LibraryTempDirectory() {
#ifdef _WIN32
  char buffer[MAX_PATH + 1];
  DWORD n = GetTempPathA(sizeof buffer, buffer);
  return std::string(buffer, n);
#else
  const char* dir = getenv("TMPDIR");
  std::string result = (dir != nullptr && dir[0] != '\0' && strlen(dir) < 259) ? dir : "/tmp";
  if (result.back() != '/') result += '/';
  return result;
#endif
}

std::vector<std::string> FindLogFiles(const std::string& dir, const std::string& suffix, int pid) {
  std::vector<std::string> found;
  std::string prefix = ExeBaseName() + "_" + std::to_string(pid) + "_";
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      found.push_back(it->path().string());
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

namespace {
std::string OnlyLogIn(const std::string& dir, const std::string& suffix, int pid) {
  std::vector<std::string> files = FindLogFiles(dir, suffix, pid);
  EXPECT_EQ(files.size(), 1u) << "log files ending in " << suffix << " in " << dir;
  return files.size() == 1 ? files[0] : std::string();
}
}  // namespace

std::string RuntimeLogIn(const std::string& dir, int pid) { return OnlyLogIn(dir, "_runtime.log", pid); }
std::string AssertLogIn(const std::string& dir, int pid) { return OnlyLogIn(dir, "_assert.log", pid); }

std::vector<std::string> SplitLines(const std::string& content) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t nl = content.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(content.substr(start));
      break;
    }
    lines.push_back(content.substr(start, nl + 1 - start));
    start = nl + 1;
  }
  return lines;
}

std::vector<std::string> RecordLines(const std::string& path, const std::string& first_line) {
  std::string content = ReadFileBytes(path);
  EXPECT_EQ(content.compare(0, first_line.size(), first_line), 0)
      << "file does not start with its header: " << path;
  std::vector<std::string> lines = SplitLines(content);
  if (!lines.empty()) lines.erase(lines.begin());
  return lines;
}

long long TimestampOrder(const std::string& line) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  if (sscanf(line.c_str(), "%d-%d-%d %d:%d:%d.%d", &y, &mo, &d, &h, &mi, &s, &ms) != 7) return -1;
  // Months and days at their widest, which keeps the order.
  return ((((((y * 13LL + mo) * 32 + d) * 24 + h) * 60 + mi) * 60 + s) * 1000) + ms;
}

bool IsWellFormedTimestamp(const std::string& text) {
  // Seven numbers separated by - - space : : .
  static const char kSeparators[] = {'-', '-', ' ', ':', ':', '.'};
  size_t pos = 0;
  for (int field = 0; field < 7; ++field) {
    size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
    size_t digits = pos - start;
    if (digits == 0 || (digits > 1 && text[start] == '0')) return false;
    if (field < 6) {
      if (pos >= text.size() || text[pos] != kSeparators[field]) return false;
      ++pos;
    }
  }
  return pos == text.size();
}

std::string Normalize(const std::string& line) {
  size_t tab1 = line.find('\t');
  if (tab1 == std::string::npos || !IsWellFormedTimestamp(line.substr(0, tab1))) return line;
  std::string result = "<TS>" + line.substr(tab1);
  size_t tab2 = result.find('\t', 5);
  if (tab2 != std::string::npos && result.substr(5, tab2 - 5) == std::to_string(CurrentTid())) {
    result = "<TS>\t<TID>" + result.substr(tab2);
  }
  return result;
}

std::string NormalizeLines(const std::string& text) {
  std::string result;
  for (const std::string& line : SplitLines(text)) result += Normalize(line);
  return result;
}

std::string MaskThreadIds(const std::string& text) {
  std::string result;
  for (const std::string& line : SplitLines(text)) {
    size_t first = line.find('\t');
    size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
    if (second == std::string::npos || !IsWellFormedTimestamp(line.substr(0, first))) {
      result += line;
    } else {
      result += "<TS>\t<TID>" + line.substr(second);
    }
  }
  return result;
}

LogFollower::LogFollower(const std::string& path) : path_(path), seen_(ReadFileBytes(path).size()) {}

std::string LogFollower::Added() {
  std::string content = ReadFileBytes(path_);
  std::string added = content.substr(seen_);
  seen_ = content.size();
  return NormalizeLines(added);
}

std::vector<std::string> NormalizedRuntimeLines(const std::string& dir) {
  std::vector<std::string> lines = RecordLines(RuntimeLogIn(dir), kRuntimeFirstLine);
  for (std::string& line : lines) line = Normalize(line);
  return lines;
}

std::string LastLine(const std::string& path) {
  std::error_code ec;
  std::uintmax_t size = fs::file_size(path, ec);
  std::uintmax_t from = size > 16384 ? size - 16384 : 0;
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(from));
  std::ostringstream tail;
  tail << in.rdbuf();
  std::vector<std::string> lines = SplitLines(tail.str());
  return lines.empty() ? std::string() : lines.back();
}

std::vector<std::string> AddedWithinOneTimestamp(const std::string& path,
                                                 const std::function<void()>& probe,
                                                 const std::function<void()>& candidate,
                                                 int attempts) {
  auto stamp = [](const std::string& line) { return line.substr(0, line.find('\t')); };
  for (int i = 0; i < attempts; ++i) {
    std::error_code ec;
    std::streamoff before = static_cast<std::streamoff>(fs::file_size(path, ec));
    probe();
    candidate();
    probe();
    // Only the tail is read: the file grows with every attempt.
    std::ifstream in(path, std::ios::binary);
    in.seekg(before);
    std::ostringstream tail;
    tail << in.rdbuf();
    std::vector<std::string> added = SplitLines(tail.str());
    if (added.size() >= 2 && IsWellFormedTimestamp(stamp(added.front())) &&
        stamp(added.front()) == stamp(added.back())) {
      return added;
    }
  }
  ADD_FAILURE() << "no run within one time stamp in " << attempts << " attempts: " << path;
  return {};
}

void UseAsTempDirectory(const std::string& dir) {
#ifdef _WIN32
  SetEnv("TMP", dir.c_str());
  SetEnv("TEMP", dir.c_str());
#else
  SetEnv("TMPDIR", dir.c_str());
#endif
}

void ClearLoggerVariables() {
  for (const char* name : {"LOGGING_ENABLED_RUNTIME", "LOGGING_ENABLED_ASSERT", "LOGGING_DIR"}) {
    UnsetEnv(name);
  }
}

std::time_t PreciseNow() {
  return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
}

std::vector<std::string> PredictedLogPaths(const std::string& dir, const std::string& suffix,
                                           int seconds) {
  std::string prefix = dir;
  if (prefix.empty() || prefix.back() != Separator()) prefix += Separator();
  prefix += ExeBaseName() + "_" + std::to_string(CurrentPid()) + "_";
  std::vector<std::string> paths;
  std::time_t now = PreciseNow();
  for (int i = 0; i <= seconds; ++i) {
    std::time_t t = now + i;
    std::tm tm = *std::localtime(&t);
    paths.push_back(prefix + std::to_string(tm.tm_year + 1900) + "-" +
                    std::to_string(tm.tm_mon + 1) + "-" + std::to_string(tm.tm_mday) + "-" +
                    std::to_string(tm.tm_hour) + "-" + std::to_string(tm.tm_min) + "-" +
                    std::to_string(tm.tm_sec) + suffix);
  }
  return paths;
}

std::string NormalizedRecords(const std::string& path, const std::string& first_line) {
  std::string result;
  for (const std::string& line : RecordLines(path, first_line)) result += Normalize(line);
  return result;
}

unsigned AnsiCodePage() {
#ifdef _WIN32
  return GetACP();
#else
  return 0;
#endif
}

#ifndef _WIN32

FileSizeLimit::FileSizeLimit() {
  struct rlimit limit;
  getrlimit(RLIMIT_FSIZE, &limit);
  saved_current_ = limit.rlim_cur;
}

FileSizeLimit::~FileSizeLimit() { Lift(); }

bool FileSizeLimit::Set(size_t bytes) {
  struct rlimit limit;
  getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = static_cast<rlim_t>(bytes);
  return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

bool FileSizeLimit::Lift() {
  struct rlimit limit;
  getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = static_cast<rlim_t>(saved_current_);
  return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

#endif

std::string ChildOutcome::Describe() const {
  if (timed_out) return "hung (killed at the time bound)";
  if (exited) return "exit " + std::to_string(exit_code);
  return "signal " + std::to_string(signal);
}

#ifndef _WIN32

ChildOutcome RunInChild(const std::function<int()>& body, int timeout_ms) {
  ChildOutcome outcome;
  pid_t pid = fork();
  outcome.pid = static_cast<int>(pid);
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return outcome;
  }
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
      code = 98;
    }
    _exit(code);
  }
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      outcome.timed_out = true;
      return outcome;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (WIFEXITED(status)) {
    outcome.exited = true;
    outcome.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    outcome.signal = WTERMSIG(status);
  }
  return outcome;
}

namespace {
constexpr unsigned char kPaint = 0xA5;

void* RunFunction(void* arg) {
  (*static_cast<const std::function<void()>*>(arg))();
  return nullptr;
}
}  // namespace

long RunOnSmallStack(size_t stack_bytes, const std::function<void()>& fn) {
  // The stack grows down from the top of this block; the lowest byte that
  // lost its paint marks the deepest use.
  std::vector<unsigned char> stack(stack_bytes + 64, kPaint);
  uintptr_t base = (reinterpret_cast<uintptr_t>(stack.data()) + 63) & ~uintptr_t{63};
  unsigned char* low = reinterpret_cast<unsigned char*>(base);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (pthread_attr_setstack(&attr, low, stack_bytes) != 0) {
    pthread_attr_destroy(&attr);
    return -1;
  }
  pthread_t thread;
  int started = pthread_create(&thread, &attr, RunFunction, const_cast<std::function<void()>*>(&fn));
  pthread_attr_destroy(&attr);
  if (started != 0) return -1;
  pthread_join(thread, nullptr);
  size_t untouched = 0;
  while (untouched < stack_bytes && low[untouched] == kPaint) ++untouched;
  return static_cast<long>(stack_bytes - untouched);
}

#else

ChildOutcome RunInChild(const std::function<int()>&, int) {
  ADD_FAILURE() << "RunInChild needs fork";
  return ChildOutcome{};
}

namespace {
DWORD WINAPI RunFunction(LPVOID arg) {
  (*static_cast<const std::function<void()>*>(arg))();
  return 0;
}
}  // namespace

long RunOnSmallStack(size_t stack_bytes, const std::function<void()>& fn) {
  HANDLE thread = CreateThread(nullptr, stack_bytes, RunFunction,
                               const_cast<std::function<void()>*>(&fn),
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) return -1;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return 0;
}

#endif

}  // namespace vqtest
