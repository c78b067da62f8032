// The platform seam's path, time and capacity contracts, checked against the
// OS they run on (POSIX or Windows).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/platform.h"
#include "support/test_support.h"

namespace vqlogger {
namespace {

using platform::ProbeResult;

TEST(ProbePathTest, ClassifiesWhatIsThereAndWhatIsWorthClimbing) {
  vqtest::ScratchDir scratch;
  const std::string file = scratch.Join("file");
  vqtest::WriteFileBytes(file, "x");
  const std::string sep(1, vqtest::Separator());
  struct Case {
    std::string path;
    ProbeResult expected;
  } const cases[] = {
      {scratch.path(), ProbeResult::kExists},
      {file, ProbeResult::kExists},
      {scratch.Join("missing"), ProbeResult::kNotFound},
      {scratch.Join("missing/child"), ProbeResult::kNotFound},
#ifdef _WIN32
      // ERROR_PATH_NOT_FOUND and ERROR_INVALID_NAME: the C runtime's ENOENT
      // and EINVAL, both worth climbing from.
      {file + sep + "child", ProbeResult::kNotFound},
      {scratch.Join("bad<name"), ProbeResult::kNotFound},
#else
      {file + sep + "child", ProbeResult::kOtherError},  // ENOTDIR
#endif
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::ProbePath(c.path.c_str()), c.expected) << c.path;
  }
}

TEST(CreateDirectoryAtTest, CreatesOnceAndRefusesExistingOrParentless) {
  vqtest::ScratchDir scratch;
  const std::string dir = scratch.Join("d");
  EXPECT_TRUE(platform::CreateDirectoryAt(dir.c_str()));
  EXPECT_EQ(platform::ProbePath(dir.c_str()), ProbeResult::kExists);
  EXPECT_FALSE(platform::CreateDirectoryAt(dir.c_str()));
  EXPECT_FALSE(platform::CreateDirectoryAt(scratch.Join("no/parent").c_str()));
}

TEST(LocalTimeTest, ClockBreakdownAgreesWithCurrentLocalTime) {
  // Retried across a second boundary: both readings must name one second.
  for (int attempt = 0; attempt < 5; ++attempt) {
    platform::LocalTime before, from_clock, after;
    platform::CurrentLocalTime(&before);
    const platform::ClockReading reading = platform::ReadClock();
    platform::CurrentLocalTime(&after);
    if (before.second != after.second) continue;
    ASSERT_TRUE(platform::LocalTimeOf(reading.seconds, &from_clock));
    EXPECT_EQ(from_clock.year, after.year);
    EXPECT_EQ(from_clock.month, after.month);
    EXPECT_EQ(from_clock.day, after.day);
    EXPECT_EQ(from_clock.hour, after.hour);
    EXPECT_EQ(from_clock.minute, after.minute);
    EXPECT_EQ(from_clock.second, after.second);
    EXPECT_EQ(from_clock.millisecond, 0);
    EXPECT_GE(reading.millisecond, 0);
    EXPECT_LE(reading.millisecond, 999);
    return;
  }
  FAIL() << "the second kept changing between readings";
}

TEST(LocalTimeTest, ClockCountsUnixSeconds) {
  const long long before = static_cast<long long>(vqtest::PreciseNow());
  const long long clock = platform::ReadClock().seconds;
  const long long after = static_cast<long long>(vqtest::PreciseNow());
  EXPECT_GE(clock, before);
  EXPECT_LE(clock, after);
}

TEST(ExecutablePathTest, FullPathOrItsStartWhenItDoesNotFit) {
  char path[4096];
  ASSERT_GE(sizeof path, platform::kExecutablePathCapacity);
  ASSERT_TRUE(platform::ExecutablePath(path, platform::kExecutablePathCapacity));
  const std::string full(path);
  EXPECT_NE(full.find(vqtest::ExeBaseName()), std::string::npos) << full;
#ifdef _WIN32
  // Exactly fitting needs the terminator too. One byte less: the path comes
  // back cut, as GetModuleFileNameA gives it, and is used so (the log file
  // name then carries the start of the executable's name).
  char exact[4096];
  EXPECT_TRUE(platform::ExecutablePath(exact, full.size() + 1));
  EXPECT_EQ(std::string(exact), full);
  EXPECT_TRUE(platform::ExecutablePath(exact, full.size()));
  EXPECT_EQ(std::string(exact), full.substr(0, full.size() - 1));
#endif
}

TEST(TemporaryDirectoryTest, EndsWithSeparatorAndRefusesTooSmallBuffers) {
  char dir[300];
  const size_t length = platform::TemporaryDirectory(dir, sizeof dir);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(length, std::strlen(dir));
  EXPECT_EQ(dir[length - 1], platform::kPathSeparator);
  char exact[300];
  EXPECT_EQ(platform::TemporaryDirectory(exact, length + 1), length);
  EXPECT_STREQ(exact, dir);
  EXPECT_EQ(platform::TemporaryDirectory(exact, length), 0u);
}

TEST(TextCapacityTest, ZeroCapacityIsFailureNotAMeasurement) {
  char16_t wide[4] = {u'a', 0};
  char narrow[4] = {'a', 0};
  EXPECT_EQ(platform::AnsiToWide("a", wide, 0), 0);
  EXPECT_EQ(platform::WideToUtf8(u"a", narrow, 0), 0);
  EXPECT_EQ(platform::WideToAnsi(u"a", narrow, 0), 0);
}

TEST(EnvironmentValueTest, DistinguishesUndefinedFromEmpty) {
  vqtest::SetEnv("VQ_PLATFORM_TEST_VAR", "");
  const char* empty = platform::EnvironmentValue("VQ_PLATFORM_TEST_VAR");
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  vqtest::UnsetEnv("VQ_PLATFORM_TEST_VAR");
  EXPECT_EQ(platform::EnvironmentValue("VQ_PLATFORM_TEST_VAR"), nullptr);
}

TEST(IdentifierTest, MatchesTheOsIds) {
  EXPECT_EQ(platform::CurrentProcessId(), vqtest::CurrentPid());
  EXPECT_EQ(platform::CurrentThreadId(), vqtest::CurrentTid());
}

}  // namespace
}  // namespace vqlogger
