// Directory creation and the composition of log file names.
#include "core/file_naming.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/limits.h"
#include "support/test_support.h"

namespace vqlogger {
namespace {

namespace fs = std::filesystem;
using vqtest::PathExists;
using vqtest::ScratchDir;

bool IsDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

size_t EntryCount(const std::string& dir) {
  size_t n = 0;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) ++n;
  return n;
}

// `dir` + separator + a component of 'n's that makes the path `length`
// bytes long.
std::string PathOfLength(const std::string& dir, size_t length) {
  return dir + vqtest::Separator() + std::string(length - dir.size() - 1, 'n');
}

TEST(MakeDirectoryPathTest, ExistingEntriesAreAccepted) {
  ScratchDir scratch;
  const std::string file = scratch.Join("file.txt");
  vqtest::WriteFileBytes(file, "x");
  EXPECT_TRUE(MakeDirectoryPath(scratch.path().c_str()));
  EXPECT_TRUE(MakeDirectoryPath(file.c_str()));  // the probe does not tell files apart
  EXPECT_EQ(vqtest::ReadFileBytes(file), "x");
}

TEST(MakeDirectoryPathTest, CreatesEveryMissingLevel) {
  ScratchDir scratch;
  const std::string deepest = scratch.Join("a/b/c/d");
  ASSERT_TRUE(MakeDirectoryPath(deepest.c_str()));
  for (const char* level : {"a", "a/b", "a/b/c", "a/b/c/d"}) {
    EXPECT_TRUE(IsDirectory(scratch.Join(level))) << level;
  }
  EXPECT_TRUE(MakeDirectoryPath(deepest.c_str()));
}

// The last creation finds the directory that the parent step already made.
TEST(MakeDirectoryPathTest, TrailingSeparatorCreatesButReportsFalseOnce) {
  ScratchDir scratch;
  const std::string path = scratch.Join("a/b") + vqtest::Separator();
  EXPECT_FALSE(MakeDirectoryPath(path.c_str()));
  EXPECT_TRUE(IsDirectory(scratch.Join("a/b")));
  EXPECT_TRUE(MakeDirectoryPath(path.c_str()));
}

TEST(MakeDirectoryPathTest, RefusedPathsCreateNothing) {
  ScratchDir scratch;
  vqtest::WriteFileBytes(scratch.Join("file"), "x");
  const std::string under_file = scratch.Join("file/sub");
  const std::string deep_under_file = scratch.Join("file/sub/deeper");
  // No separator: a relative single component is never created.
  const std::string single = "vq_missing_" + std::to_string(vqtest::CurrentPid());

  EXPECT_FALSE(MakeDirectoryPath(nullptr));
  EXPECT_FALSE(MakeDirectoryPath(""));
  EXPECT_FALSE(MakeDirectoryPath(single.c_str()));
  EXPECT_FALSE(PathExists(single));
  EXPECT_FALSE(MakeDirectoryPath(under_file.c_str()));
  EXPECT_FALSE(MakeDirectoryPath(deep_under_file.c_str()));
  EXPECT_EQ(vqtest::ReadFileBytes(scratch.Join("file")), "x");

  // 260 bytes or more: refused before anything is probed or created.
  const std::string parent = scratch.Join("p");
  for (size_t length : {size_t{260}, size_t{261}, size_t{400}}) {
    EXPECT_FALSE(MakeDirectoryPath(PathOfLength(parent, length).c_str())) << length;
  }
  EXPECT_FALSE(PathExists(parent));
  EXPECT_EQ(EntryCount(scratch.path()), 1u);  // only "file"
}

TEST(MakeDirectoryPathTest, TwoHundredFiftyNineBytesAreAllowed) {
  ScratchDir scratch;
  const std::string parent = scratch.Join("p");
  const std::string path = PathOfLength(parent, 259);
  ASSERT_EQ(path.size(), 259u);
#ifdef _WIN32
  // CreateDirectoryA refuses more than 248 characters.
  if (path.size() > 248) GTEST_SKIP() << "directories are limited to 248 characters here";
#endif
  EXPECT_TRUE(MakeDirectoryPath(path.c_str()));
  EXPECT_TRUE(IsDirectory(path));
}

TEST(ExecutableBaseNameTest, DropsDirectoryAndLastExtension) {
  struct Case {
    const char* path;
    size_t capacity;
    const char* expected;
  };
  const Case cases[] = {
      {"/opt/tools/tool.main.exe", 256, "tool.main"},
      {"C:\\Apps\\tool.main.exe", 256, "tool.main"},
      {"C:\\bin\\app", 256, "app"},
      {"/usr/bin/app", 256, "app"},
      {"app.exe", 256, "app"},
      {"app", 256, "app"},
      {"/a.d/b\\c.d/name", 256, "name"},  // dots of directories do not count
      {"mixed/dir\\name.x", 256, "name"},
      {"/opt/.hidden", 256, ""},
      {"/opt/dir/", 256, ""},
      {"", 256, ""},
      {"/opt/abcdef.exe", 4, "abc"},        // cut to fit the capacity
      {"/opt/abc.exe", 4, "abc"},
      {"/opt/abcd.exe", 1, ""},
  };
  for (const Case& c : cases) {
    std::vector<char> out(c.capacity, 'Z');
    size_t n = ExecutableBaseName(c.path, out.data(), c.capacity);
    EXPECT_EQ(std::string(out.data()), c.expected) << c.path;
    EXPECT_EQ(n, strlen(c.expected)) << c.path;
  }
}

TEST(ComposeLogPathTest, AddsASeparatorOnlyWhenMissing) {
  struct Case {
    const char* directory;
    const char* expected;
  };
#ifdef _WIN32
  const Case cases[] = {
      {"C:\\Logs", "C:\\Logs\\tool.main_1234_2026-12-7-9-5-3_runtime.log"},
      {"C:\\Logs\\", "C:\\Logs\\tool.main_1234_2026-12-7-9-5-3_runtime.log"},
      {"C:/Logs/", "C:/Logs/\\tool.main_1234_2026-12-7-9-5-3_runtime.log"},
  };
#else
  const Case cases[] = {
      {"/var/log", "/var/log/tool.main_1234_2026-12-7-9-5-3_runtime.log"},
      {"/var/log/", "/var/log/tool.main_1234_2026-12-7-9-5-3_runtime.log"},
      {"/", "/tool.main_1234_2026-12-7-9-5-3_runtime.log"},
      {"C:\\Logs\\", "C:\\Logs\\/tool.main_1234_2026-12-7-9-5-3_runtime.log"},
  };
#endif
  for (const Case& c : cases) {
    std::vector<char> out(kPathCapacity);
    ASSERT_TRUE(ComposeLogPath(c.directory, "tool.main", "_1234_", "2026-12-7-9-5-3", "_runtime.log",
                               out.data()))
        << c.directory;
    EXPECT_EQ(std::string(out.data()), c.expected);
  }
}

// Name part (base, tag, time): up to 260 characters. Whole path: up to 519.
TEST(ComposeLogPathTest, LengthLimits) {
  const std::string tag = "_1_";
  const std::string time = "2026-1-1-1-1-1";
  const std::string suffix = "_runtime.log";
  const size_t base_for_260 = 260 - tag.size() - time.size();
  // directory + separator + 260 + suffix = 519
  const size_t dir_for_519 = 519 - 1 - 260 - suffix.size();

  struct Case {
    size_t directory_length;
    size_t base_length;
    bool accepted;
  };
  const Case cases[] = {
      {10, base_for_260, true},
      {10, base_for_260 + 1, false},
      {dir_for_519, base_for_260, true},
      {dir_for_519 + 1, base_for_260, false},
      {dir_for_519 + 1, base_for_260 - 1, true},
      {600, 1, false},
  };
  for (const Case& c : cases) {
    const std::string directory = "/" + std::string(c.directory_length - 1, 'd');
    const std::string base(c.base_length, 'b');
    // Exactly the path buffer's size, so an overrun shows under ASan.
    std::vector<char> out(kPathCapacity);
    bool accepted = ComposeLogPath(directory.c_str(), base.c_str(), tag.c_str(), time.c_str(),
                                   suffix.c_str(), out.data());
    EXPECT_EQ(accepted, c.accepted) << c.directory_length << " " << c.base_length;
    if (accepted) {
      const std::string sep(1, vqtest::Separator());
      EXPECT_EQ(std::string(out.data()), directory + sep + base + tag + time + suffix);
    }
  }
}

}  // namespace
}  // namespace vqlogger
