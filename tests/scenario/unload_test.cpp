// Unloading the library closes both log files and really removes the library
// from the process; loading it again starts from a fresh state. The library
// is loaded from a private copy under a file name of its own, since the copy
// this program links stays loaded for the life of the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include "support/test_support.h"
#include "vqlogger.h"

namespace fs = std::filesystem;

namespace vqtest {
namespace {

class LibraryCopy {
 public:
  explicit LibraryCopy(const std::string& dir) {
#ifdef _WIN32
    char exe[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    fs::path source = fs::path(std::string(exe, n)).parent_path() / "vqlogger.dll";
    path_ = dir + "\\vqlogger_copy.dll";
#else
    fs::path source = VQ_LIBRARY_PATH;
    path_ = dir + "/libvqlogger_copy.so";
#endif
    fs::copy_file(source, path_);
  }
  ~LibraryCopy() {
    if (handle_ != nullptr) Unload();
  }
  LibraryCopy(const LibraryCopy&) = delete;
  LibraryCopy& operator=(const LibraryCopy&) = delete;

  // Loads the copy and looks up the exports the tests call.
  bool Load() {
#ifdef _WIN32
    handle_ = LoadLibraryA(path_.c_str());
#else
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    return handle_ != nullptr && Find(&initialize, "InitializeLogger") &&
           Find(&runtime_a, "RuntimeInfoToLogfileA") && Find(&assert_record, "AssertToLogfile") &&
           Find(&get_level, "GetLoggingLevel");
  }

  bool Unload() {
    void* handle = handle_;
    handle_ = nullptr;
#ifdef _WIN32
    return FreeLibrary(static_cast<HMODULE>(handle)) != 0;
#else
    return dlclose(handle) == 0;
#endif
  }

  // Asks the loader whether the copy is mapped, without loading it.
  bool IsLoaded() const {
#ifdef _WIN32
    return GetModuleHandleA(path_.c_str()) != nullptr;
#else
    void* handle = dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
#endif
  }

  decltype(&InitializeLogger) initialize = nullptr;
  decltype(&RuntimeInfoToLogfileA) runtime_a = nullptr;
  decltype(&AssertToLogfile) assert_record = nullptr;
  decltype(&GetLoggingLevel) get_level = nullptr;

 private:
  template <typename Function>
  bool Find(Function* out, const char* name) {
#ifdef _WIN32
    FARPROC address = GetProcAddress(static_cast<HMODULE>(handle_), name);
    // Through void (*)(void), the one function pointer type any other casts from silently.
    *out = reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(address));
#else
    *out = reinterpret_cast<Function>(dlsym(handle_, name));
#endif
    return *out != nullptr;
  }

  std::string path_;
  void* handle_ = nullptr;
};

// How many of `paths` this process holds open.
int HeldOpen(const std::vector<std::string>& paths) {
  int count = 0;
#ifdef _WIN32
  // The logger shares its files for reading and writing only, so an
  // exclusive open fails exactly while it holds them.
  for (const std::string& path : paths) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
    } else if (GetLastError() == ERROR_SHARING_VIOLATION) {
      ++count;
    }
  }
#else
  std::vector<std::string> targets;
  for (const std::string& path : paths) targets.push_back(fs::canonical(path).string());
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    fs::path target = fs::read_symlink(entry.path(), ec);
    if (!ec && std::find(targets.begin(), targets.end(), target.string()) != targets.end()) ++count;
  }
#endif
  return count;
}

class UnloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearLoggerVariables();
    UseAsTempDirectory(tmp_.path());
  }

  std::vector<std::string> LogsIn(const std::string& dir) {
    return {RuntimeLogIn(dir), AssertLogIn(dir)};
  }

  ScratchDir tmp_;
  ScratchDir lib_dir_;
  ScratchDir dir_;
};

TEST_F(UnloadTest, UnloadClosesBothFiles) {
  LibraryCopy lib(lib_dir_.path());
  ASSERT_TRUE(lib.Load());
  char flag = 0;
  ASSERT_TRUE(lib.initialize(&flag, 2, dir_.path().c_str()));
  lib.runtime_a("r.src", 1, "before unload", 2);
  lib.assert_record("a.src", 2, "x > 0");
  const std::vector<std::string> logs = LogsIn(dir_.path());
  EXPECT_EQ(HeldOpen(logs), 2);

  ASSERT_TRUE(lib.Unload());
  EXPECT_FALSE(lib.IsLoaded());
  EXPECT_EQ(HeldOpen(logs), 0);
  EXPECT_EQ(NormalizeLines(ReadFileBytes(logs[0])),
            NormalizeLines(std::string(kRuntimeFirstLine) +
                           "<TS>\t<TID>\tr.src\t1\tbefore unload\t2\r\n"));
  EXPECT_EQ(NormalizeLines(ReadFileBytes(logs[1])),
            NormalizeLines(std::string(kAssertFirstLine) + "<TS>\t<TID>\ta.src\t2\tx > 0\r\n"));
  // Deleting succeeds on Windows only once no handle is left.
  for (const std::string& path : logs) EXPECT_TRUE(fs::remove(path)) << path;
}

TEST_F(UnloadTest, UnloadWithoutInitializeIsHarmless) {
  LibraryCopy lib(lib_dir_.path());
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(lib.Load());
    EXPECT_EQ(lib.get_level(), 0);
    lib.runtime_a("r.src", 1, "dropped", 1);  // no logger: nothing happens
    ASSERT_TRUE(lib.Unload());
    EXPECT_FALSE(lib.IsLoaded());
  }
  EXPECT_TRUE(fs::is_empty(dir_.path()));
  EXPECT_TRUE(fs::is_empty(tmp_.path()));
}

TEST_F(UnloadTest, ReloadStartsFromAFreshState) {
  LibraryCopy lib(lib_dir_.path());
  const std::string first = dir_.Join("first");
  const std::string second = dir_.Join("second");
  ASSERT_TRUE(lib.Load());
  char flag = 0;
  ASSERT_TRUE(lib.initialize(&flag, 7, first.c_str()));
  EXPECT_EQ(flag, 1);
  lib.runtime_a("r.src", 1, "first load", 7);
  const std::vector<std::string> first_logs = LogsIn(first);
  const std::string runtime_content = ReadFileBytes(first_logs[0]);
  const std::string assert_content = ReadFileBytes(first_logs[1]);
  ASSERT_TRUE(lib.Unload());

  ASSERT_TRUE(lib.Load());
  EXPECT_EQ(lib.get_level(), 0);
  lib.runtime_a("r.src", 2, "no logger yet", 1);
  lib.assert_record("a.src", 3, "no logger yet");
  // Nothing is remembered from the first load: -1 computes the flag afresh.
  flag = 0x55;
  ASSERT_TRUE(lib.initialize(&flag, -1, second.c_str()));
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(lib.get_level(), 0);
  const std::vector<std::string> second_logs = LogsIn(second);
  EXPECT_EQ(ReadFileBytes(second_logs[0]), kRuntimeFirstLine);
  EXPECT_EQ(ReadFileBytes(second_logs[1]), kAssertFirstLine);
  EXPECT_EQ(HeldOpen(second_logs), 2);
  EXPECT_EQ(HeldOpen(first_logs), 0);
  EXPECT_EQ(ReadFileBytes(first_logs[0]), runtime_content);
  EXPECT_EQ(ReadFileBytes(first_logs[1]), assert_content);

  ASSERT_TRUE(lib.Unload());
  EXPECT_EQ(HeldOpen(second_logs), 0);
}

// How many handles or descriptors the process has open.
size_t OpenHandleCount() {
#ifdef _WIN32
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
#else
  size_t count = 0;
  for (auto it = fs::directory_iterator("/proc/self/fd"); it != fs::directory_iterator(); ++it) ++count;
  return count;
#endif
}

// A hundred load-initialise-write-unload cycles, each into a directory of
// its own (file names carry only the second): a fresh pair of files every
// time, and no handle left behind (memory: the sanitizer leg's leak check).
TEST_F(UnloadTest, HundredLoadCyclesLeaveNothingBehind) {
  LibraryCopy lib(lib_dir_.path());
  // One cycle first, so the loader's own one-time allocations are counted
  // in the baseline.
  ASSERT_TRUE(lib.Load());
  ASSERT_TRUE(lib.Unload());
  const size_t handles_before = OpenHandleCount();
  for (int cycle = 0; cycle < 100; ++cycle) {
    const std::string dir = dir_.Join("cycle" + std::to_string(cycle));
    ASSERT_TRUE(lib.Load());
    char flag = 0;
    ASSERT_TRUE(lib.initialize(&flag, 1, dir.c_str()));
    lib.runtime_a("r.src", cycle, "cycle", 1);
    lib.assert_record("a.src", cycle, "cycle");
    ASSERT_TRUE(lib.Unload());
    ASSERT_FALSE(lib.IsLoaded());
    EXPECT_EQ(NormalizedRecords(RuntimeLogIn(dir), kRuntimeFirstLine),
              "<TS>\t<TID>\tr.src\t" + std::to_string(cycle) + "\tcycle\t1\r\n");
    EXPECT_EQ(NormalizedRecords(AssertLogIn(dir), kAssertFirstLine),
              "<TS>\t<TID>\ta.src\t" + std::to_string(cycle) + "\tcycle\r\n");
  }
  EXPECT_EQ(OpenHandleCount(), handles_before);
}

}  // namespace
}  // namespace vqtest
