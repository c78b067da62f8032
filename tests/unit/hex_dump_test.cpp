#include "runtime/hex_dump.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vqlogger {
namespace {

// Renders into a buffer two bytes larger than needed, pre-filled with 'x',
// and checks that nothing past the terminator was touched.
std::string Render(const std::vector<unsigned char>& bytes) {
  static const unsigned char kNoBytes = 0x5A;  // a valid address for an empty block
  const unsigned char* block = bytes.empty() ? &kNoBytes : bytes.data();
  std::string buffer(2 * bytes.size() + 3, 'x');
  EXPECT_TRUE(BytesToHex(block, static_cast<unsigned>(bytes.size()), &buffer[0]));
  size_t end = 2 * bytes.size();
  EXPECT_EQ(buffer[end], '\0');
  EXPECT_EQ(buffer.substr(end + 1), "xx");
  return buffer.substr(0, end);
}

TEST(HexDumpTest, TwoUpperCaseDigitsPerByteWithoutSeparators) {
  struct Case {
    std::vector<unsigned char> bytes;
    const char* expected;
  };
  const Case cases[] = {
      {{0x00, 0x0A, 0xFF, 0x10}, "000AFF10"},
      {{0x07}, "07"},
      {{0xAB}, "AB"},
      {{0x5C, 0xE9, 0x80, 0x7F}, "5CE9807F"},
      {{}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Render(c.bytes), c.expected);
}

TEST(HexDumpTest, EveryByteValue) {
  std::vector<unsigned char> bytes(256);
  std::string expected;
  const char digits[] = "0123456789ABCDEF";
  for (int i = 0; i < 256; ++i) {
    bytes[static_cast<size_t>(i)] = static_cast<unsigned char>(i);
    expected += digits[i / 16];
    expected += digits[i % 16];
  }
  ASSERT_EQ(expected.size(), 512u);
  EXPECT_EQ(Render(bytes), expected);
}

TEST(HexDumpTest, NullBlockOrDestinationWritesNothing) {
  const unsigned char bytes[] = {0x12, 0x34};
  for (unsigned count : {0u, 1u, 2u}) {
    char destination[8] = "sentin";
    EXPECT_FALSE(BytesToHex(nullptr, count, destination)) << count;
    EXPECT_STREQ(destination, "sentin") << count;
    EXPECT_FALSE(BytesToHex(bytes, count, nullptr)) << count;
    EXPECT_FALSE(BytesToHex(nullptr, count, nullptr)) << count;
  }
}

}  // namespace
}  // namespace vqlogger
