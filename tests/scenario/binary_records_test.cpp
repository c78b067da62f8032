// Byte blocks logged as hexadecimal runtime records through the export.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "vqlogger.h"

namespace {

class BinaryRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override { vqtest::ClearLoggerVariables(); }

  void Initialize() {
    char enable_assert = 0;
    ASSERT_TRUE(InitializeLogger(&enable_assert, 0, dir_.path().c_str()));
  }

  // The runtime log's record lines with time stamp and thread normalised.
  std::vector<std::string> Lines() { return vqtest::NormalizedRuntimeLines(dir_.path()); }

  vqtest::ScratchDir dir_;
};

std::string Record(const std::string& message, int level, const std::string& file = "b.c") {
  return "<TS>\t<TID>\t" + file + "\t11\t" + message + "\t" + std::to_string(level) + "\r\n";
}

// n bytes counting up from `first`, wrapping at 256, with their hex text.
std::vector<unsigned char> Block(size_t n, unsigned first, std::string* hex) {
  std::vector<unsigned char> bytes(n);
  hex->clear();
  for (size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<unsigned char>(first + i);
    char digits[3];
    snprintf(digits, sizeof digits, "%02X", bytes[i]);
    *hex += digits;
  }
  return bytes;
}

TEST_F(BinaryRecordsTest, BlocksBecomeHexMessages) {
  ASSERT_NO_FATAL_FAILURE(Initialize());
  const unsigned char bytes[] = {0x00, 0x0A, 0xFF, 0x10};
  RuntimeInfoToLogfileBinary("b.c", 11, bytes, 4, -2);
  RuntimeInfoToLogfileBinary("b.c", 11, bytes + 1, 1, 0);
  RuntimeInfoToLogfileBinary("b.c", 11, bytes, 0, 7);  // empty LOGGED_DATA
  RuntimeInfoToLogfileBinary(nullptr, 11, bytes + 2, 2, 1);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Record("000AFF10", -2), Record("0A", 0),
                                               Record("", 7),
                                               Record("FF10", 1, "Null Pointer Error")}));
}

TEST_F(BinaryRecordsTest, NullBlockWritesNothingWhateverTheCount) {
  ASSERT_NO_FATAL_FAILURE(Initialize());
  for (unsigned count : {0u, 1u, 4u, 2000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    RuntimeInfoToLogfileBinary("b.c", 11, nullptr, count, 3);
  }
  const unsigned char byte = 0xAB;
  RuntimeInfoToLogfileBinary("b.c", 11, &byte, 1, 3);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Record("AB", 3)}));
}

TEST_F(BinaryRecordsTest, LongestBlockIsWrittenWholeAndOneMoreFallsBack) {
  ASSERT_NO_FATAL_FAILURE(Initialize());
  std::string hex_1999;
  std::vector<unsigned char> block_1999 = Block(1999, 0x35, &hex_1999);
  ASSERT_EQ(hex_1999.size(), 3998u);
  std::string hex_2000;
  std::vector<unsigned char> block_2000 = Block(2000, 0, &hex_2000);
  std::string hex_4096;
  std::vector<unsigned char> block_4096 = Block(4096, 0, &hex_4096);

  RuntimeInfoToLogfileBinary("b.c", 11, block_1999.data(), 1999, 4);
  RuntimeInfoToLogfileBinary("b.c", 11, block_2000.data(), 2000, -6);
  RuntimeInfoToLogfileBinary("b.c", 11, block_4096.data(), 4096, 12);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Record(hex_1999, 4),
                                               Record("Log Message too Long", -6),
                                               Record("Log Message too Long", 12)}));
}

TEST_F(BinaryRecordsTest, NothingIsWrittenBeforeInitializeLogger) {
  const unsigned char bytes[] = {0x01, 0x02};
  RuntimeInfoToLogfileBinary("b.c", 11, bytes, 2, 1);
  ASSERT_NO_FATAL_FAILURE(Initialize());
  RuntimeInfoToLogfileBinary("b.c", 11, bytes + 1, 1, 1);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Record("02", 1)}));
}

}  // namespace
