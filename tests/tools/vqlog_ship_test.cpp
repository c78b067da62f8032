// The shipper's two pieces of exact bookkeeping: RELP frames from a server,
// however its bytes are cut into reads, and reading a log on from the place
// after any record, as a restart from the state file does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_reader.h"
#include "relp_client.h"
#include "support/test_support.h"

namespace {

using vqlog::RelpFrame;
using vqlog::RelpFrameReader;

// Every frame as "txnr|command|data", then "error" or "more" for how the
// stream ended.
std::string ReadFrames(const std::string& bytes, size_t cut) {
  RelpFrameReader reader;
  std::string out, error;
  for (size_t at = 0; at < bytes.size() || at == 0; at += cut) {
    reader.Append(bytes.data() + at, std::min(cut, bytes.size() - at));
    RelpFrame frame;
    for (;;) {
      RelpFrameReader::Result r = reader.Next(&frame, &error);
      if (r == RelpFrameReader::Result::Error) return out + "error";
      if (r == RelpFrameReader::Result::NeedMore) break;
      out += std::to_string(frame.txnr) + "|" + frame.command + "|" + frame.data + "\n";
    }
    if (bytes.empty()) break;
  }
  return out + "more";
}

TEST(RelpFrameReaderTest, FramesWholeOrSplitAndRefusesBrokenOnes) {
  const std::string big(65536, 'x');
  const struct {
    std::string bytes, frames;
  } kCases[] = {
      {"1 rsp 6 200 OK\n", "1|rsp|200 OK\nmore"},
      {"1 rsp 6 200 OK\n2 rsp 6 200 OK\n0 serverclose 0\n", "1|rsp|200 OK\n2|rsp|200 OK\n0|serverclose|\nmore"},
      {"7 rsp 0\n8 rsp 0 \n", "7|rsp|\n8|rsp|\nmore"},                    // no data, with or without the space
      {"3 rsp 12 200 OK\nx=1\ny\n", "3|rsp|200 OK\nx=1\ny\nmore"},        // line feeds inside the data
      {"999999999 rsp 6 200 OK\n", "999999999|rsp|200 OK\nmore"},
      {"4 rsp 65536 " + big + "\n", "4|rsp|" + big + "\nmore"},           // the longest taken
      {"1 rsp 6 200 OK", "more"},                                         // the trailer not yet there
      {"1 rsp 65537 ", "error"},                                          // too long: refused before it arrives
      {"1 rsp 999999999 ", "error"},
      {"1 rsp 1234567890 x", "error"},                                    // ten digits
      {"1234567890 rsp 0\n", "error"},
      {"garbage\n", "error"},
      {"1 rsp 6 200 OKX", "error"},                                       // no line feed after the data
      {"1 rsp6 200 OK\n", "error"},
      {"1  rsp 6 200 OK\n", "error"},
      {"-1 rsp 0\n", "error"},
      {"1 r5p 0\n", "error"},
      {"1 " + std::string(33, 'a') + " 0\n", "error"},
      {"1 rsp 0x\n", "error"},
  };
  for (const auto& c : kCases) {
    for (size_t cut : {c.bytes.size(), size_t{1}, size_t{5}}) {
      EXPECT_EQ(ReadFrames(c.bytes, cut), c.frames) << c.bytes.substr(0, 40) << " in reads of " << cut;
    }
  }
}

std::string Describe(const vqlog::Record& r) {
  return std::to_string(r.log_line) + "|" + vqlog::KindName(r.kind) + "|" + r.file + "|" + r.text;
}

// Reading on from after each record gives the rest of the records, as read
// from the start.
TEST(LogResumeTest, ReadingOnFromAfterAnyRecordGivesTheRest) {
  vqtest::ScratchDir dir;
  const std::string runtime =
      "\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL\r\n"
      "2026-12-9 0:3:8.7\t11\tsrc/a.c\t1\tone\t1\r\n"
      "2026-12-9 0:3:8.8\t11\tsrc/line\nfeed.c\t7\tline feed in the file name\t2\r\n"
      "Null Pointer Error\r\n"
      "not a record\r\n"
      "2026-12-9 0:3:8.9\t11\tsrc/we\tird.c\t6\ttab in the file name\t2\r\n";
  const std::string assert_log =
      "\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tEXPRESSION\r\n"
      "2026-12-9 0:3:8.9\t11\tsrc/b.c\t62\ta &&\n    b\r\n"
      "2026-12-9 0:3:8.10\t11\tsrc/b.c\t63\tcr\r\nlf inside\r\nand on\r\n"
      "2026-12-9 0:3:8.11\t11\tsrc/b.c\t64\tlast\r\n";
  for (const auto& [name, bytes] : {std::pair<std::string, std::string>{"t_1_2026-12-9-0-3-8_runtime.log", runtime},
                                    {"t_1_2026-12-9-0-3-8_assert.log", assert_log}}) {
    const std::string path = dir.Join(name);
    vqtest::WriteFileBytes(path, bytes);
    std::vector<vqlog::Record> all;
    ASSERT_TRUE(vqlog::ReadLogFile(path, all, nullptr, nullptr));
    ASSERT_GE(all.size(), 3u) << name;
    EXPECT_EQ(all.back().next_offset, static_cast<int64_t>(bytes.size())) << name;
    for (size_t k = 0; k < all.size(); ++k) {
      vqlog::LogReader reader(path);
      std::optional<bool> assert_kind = name.find("assert") != std::string::npos;
      ASSERT_TRUE(reader.ResumeAt(all[k].next_line, all[k].next_offset, assert_kind));
      std::vector<std::string> rest, want;
      vqlog::Record r;
      while (reader.Next(&r)) rest.push_back(Describe(r));
      for (size_t j = k + 1; j < all.size(); ++j) want.push_back(Describe(all[j]));
      EXPECT_EQ(rest, want) << name << " after record " << k;
    }
  }
}

}  // namespace
