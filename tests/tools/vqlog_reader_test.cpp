// The log reader on lines the library can write but a test process cannot
// easily provoke, and the time forms of --since/--until.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <utility>
#include <vector>

#include "log_reader.h"
#include "record_filter.h"
#include "record_output.h"

namespace vqlog {
namespace {

std::vector<std::string> ReadAsJson(const std::string& path, const std::string& bytes, size_t chunk) {
  RecordParser reader(path);
  std::vector<Record> records;
  for (size_t i = 0; i < bytes.size(); i += chunk) reader.Feed(bytes.substr(i, chunk), records);
  reader.Flush(records, true);
  std::vector<std::string> lines;
  for (const Record& r : records) lines.push_back(RecordJsonLine(r));
  return lines;
}

TEST(VqlogReaderTest, ReadsOddLinesWhateverTheChunking) {
  struct Case {
    const char* name;
    const char* path;
    std::string bytes;
    std::vector<std::string> json;
  };
  const std::string kRt = "\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL\r\n";
  const std::string kAs = "\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tEXPRESSION\r\n";
  const Case cases[] = {
      {"tab in a runtime file name", "x", kRt + "2026-1-2 3:4:5.6\t7\ta\tb.c\t8\tm\t-9\r\n",
       {R"({"kind":"runtime","time":"2026-01-02T03:04:05.006","thread":7,"file":"a\tb.c","line":8,"message":"m","level":-9,"log":"x","log_line":2})"}},
      {"CR LF and bare LF inside one expression", "y",
       kAs + "2026-12-8 9:5:3.70\t1\tc.c\t2\ta\r\nb\nc\td\r\n",
       {R"({"kind":"assert","time":"2026-12-08T09:05:03.070","thread":1,"file":"c.c","line":2,"expression":"a\r\nb\nc\td","log":"y","log_line":2})"}},
      {"no header: kind from the file name", "p_1_2026_assert.log", "2026-1-1 0:0:0.0\t1\tf\t2\t3\t4\r\n",
       {R"({"kind":"assert","time":"2026-01-01T00:00:00.000","thread":1,"file":"f","line":2,"expression":"3\t4","log":"p_1_2026_assert.log","log_line":1})"}},
      {"bad time stamp and bad level are unparsed", "z",
       kRt + "2026-13-1 0:0:0.0\t1\tf\t2\tm\t3\r\n2026-1-1 0:0:0.0\t1\tf\t2\tm\tx\r\nNull Pointer Error\r\n",
       {R"({"kind":"unparsed","text":"2026-13-1 0:0:0.0\t1\tf\t2\tm\t3","log":"z","log_line":2})",
        R"({"kind":"unparsed","text":"2026-1-1 0:0:0.0\t1\tf\t2\tm\tx","log":"z","log_line":3})",
        R"({"kind":"last_resort","text":"Null Pointer Error","log":"z","log_line":4})"}},
      {"a bare LF and a time stamp go on with the expression, never forge a record", "f_assert.log",
       kAs + "2026-1-1 0:0:0.5\t1\tf\t2\tx\n2030-1-1 0:0:0.0\t9\tg\t3\tforged\r\n",
       {R"({"kind":"assert","time":"2026-01-01T00:00:00.005","thread":1,"file":"f","line":2,"expression":"x\n2030-1-1 0:0:0.0\t9\tg\t3\tforged","log":"f_assert.log","log_line":2})"}},
      {"a bare LF and a header line go on with the expression", "g",
       kAs + "2026-1-1 0:0:0.5\t1\tf\t2\tx\nTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL\r\n" +
           "2026-1-1 0:0:0.6\t1\tf\t3\ty\r\n",
       {R"({"kind":"assert","time":"2026-01-01T00:00:00.005","thread":1,"file":"f","line":2,"expression":"x\nTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL","log":"g","log_line":2})",
        R"({"kind":"assert","time":"2026-01-01T00:00:00.006","thread":1,"file":"f","line":3,"expression":"y","log":"g","log_line":4})"}},
      {"a line feed in a runtime source name", "h", kRt + "2026-1-1 0:0:0.0\t1\ta\nb.c\t8\tm\t-9\r\n",
       {R"({"kind":"runtime","time":"2026-01-01T00:00:00.000","thread":1,"file":"a\nb.c","line":8,"message":"m","level":-9,"log":"h","log_line":2})"}},
      {"a last line without its CR LF is unparsed", "i",
       kRt + "2026-1-1 0:0:0.0\t1\tf\t2\tm\t-1\r\n2026-1-1 0:0:0.1\t1\tf\t2\tm\t-1",
       {R"({"kind":"runtime","time":"2026-01-01T00:00:00.000","thread":1,"file":"f","line":2,"message":"m","level":-1,"log":"i","log_line":2})",
        R"({"kind":"unparsed","text":"2026-1-1 0:0:0.1\t1\tf\t2\tm\t-1","log":"i","log_line":3})"}},
      {"a header after the first line, impossible dates and a year past 99999", "j",
       kRt + "\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL\r\n" +
           "2026-2-29 0:0:0.0\t1\tf\t2\tm\t1\r\n2024-2-29 0:0:0.0\t1\tf\t2\tm\t1\r\n" +
           "282000000-1-1 0:0:0.0\t1\tf\t2\tm\t1\r\n",
       {std::string(R"({"kind":"unparsed","text":")") + "\xEF\xBB\xBF" +
            R"(TIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL","log":"j","log_line":2})",
        R"({"kind":"unparsed","text":"2026-2-29 0:0:0.0\t1\tf\t2\tm\t1","log":"j","log_line":3})",
        R"({"kind":"runtime","time":"2024-02-29T00:00:00.000","thread":1,"file":"f","line":2,"message":"m","level":1,"log":"j","log_line":4})",
        R"({"kind":"unparsed","text":"282000000-1-1 0:0:0.0\t1\tf\t2\tm\t1","log":"j","log_line":5})"}},
      {"exe and pid from a name that follows the pattern", "d/tool_v2_41_2026-1-2-3-4-5_runtime.log",
       kRt + "2026-1-2 3:4:5.6\t7\ta.c\t8\tm\t0\r\n",
       {R"({"kind":"runtime","time":"2026-01-02T03:04:05.006","thread":7,"file":"a.c","line":8,"message":"m","level":0,"exe":"tool_v2","pid":41,"log":"d/tool_v2_41_2026-1-2-3-4-5_runtime.log","log_line":2})"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> expected;
    for (const std::string& j : c.json) expected.push_back(j + "\n");
    for (size_t chunk : {size_t{1}, size_t{7}, c.bytes.size()}) {
      EXPECT_EQ(ReadAsJson(c.path, c.bytes, chunk), expected) << c.name << ", chunk " << chunk;
    }
  }
}

// Lines skipped unread under --grep are exactly the ones the filter would
// drop, wherever the chunks end: a match in an expression's second line
// keeps the whole record.
TEST(VqlogReaderTest, GrepShortcutKeepsWhatTheFilterKeeps) {
  const std::string kAs = "\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tEXPRESSION\r\n";
  const std::string kRt = "\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL\r\n";
  std::string assert_log = kAs, runtime_log = kRt;
  for (int i = 0; i < 40; ++i) {
    std::string t = "2026-1-1 0:0:" + std::to_string(i) + ".0\t1\tf.c\t" + std::to_string(i) + "\t";
    assert_log += t + (i % 7 == 3 ? "x\r\nsecond NEEDLE line" : i % 5 == 1 ? "a NEEDLE\nb" : "plain") + "\r\n";
    runtime_log += t + (i % 6 == 2 ? "NEEDLE here" : "nothing") + "\t1\r\n";
    if (i % 9 == 4) runtime_log += "garbage NEEDLE\r\n";
    if (i % 11 == 5) runtime_log += "garbage\r\n";
  }
  runtime_log += "2026-1-1 0:1:0.0\t1\tf.c\t1\tNEEDLE cut";
  RecordFilter filter;
  filter.grep = "NEEDLE";
  for (const auto& [path, bytes] : {std::pair<std::string, std::string>{"a_assert.log", assert_log},
                                    std::pair<std::string, std::string>{"r_runtime.log", runtime_log}}) {
    std::vector<std::string> expected;
    for (const std::string& line : ReadAsJson(path, bytes, bytes.size())) {
      if (line.find("NEEDLE") != std::string::npos) expected.push_back(line);
    }
    ASSERT_GT(expected.size(), 5u);
    for (size_t chunk : {size_t{1}, size_t{5}, size_t{64}, size_t{333}, bytes.size()}) {
      RecordParser parser(path);
      parser.SetGrep("NEEDLE");
      std::vector<Record> records;
      for (size_t i = 0; i < bytes.size(); i += chunk) parser.Feed(bytes.substr(i, chunk), records);
      parser.Flush(records, true);
      std::vector<std::string> got;
      for (const Record& r : records) {
        if (filter.Matches(r)) got.push_back(RecordJsonLine(r));
      }
      EXPECT_EQ(got, expected) << path << ", chunk " << chunk;
    }
  }
}

// The records the filter keeps for `needle`, as JSON lines, read in chunks of
// `chunk` with or without the --grep shortcut; and the physical lines read.
std::pair<std::vector<std::string>, int64_t> FilteredRead(const std::string& path, const std::string& bytes,
                                                          const std::string& needle, bool shortcut, size_t chunk) {
  RecordParser parser(path);
  if (shortcut) parser.SetGrep(needle);
  std::vector<Record> records;
  for (size_t i = 0; i < bytes.size(); i += chunk) parser.Feed(bytes.substr(i, chunk), records);
  parser.Flush(records, true);
  RecordFilter filter;
  filter.grep = needle;
  std::vector<std::string> lines;
  for (const Record& r : records) {
    if (filter.Matches(r)) lines.push_back(RecordJsonLine(r));
  }
  return {lines, parser.physical_lines()};
}

// The shortcut's search and line count: needles of one byte and of more than
// sixteen, with equal first and last bytes beside near misses, on the last
// line, and in an expression's second line, after thousands of lines.
TEST(VqlogReaderTest, GrepShortcutOnEveryKindOfNeedle) {
  struct Case {
    const char* name;
    const char* path;
    std::string needle;
    std::vector<std::pair<int, std::string>> texts;  // line index, text; the rest are plain
    size_t matches;
  };
  const std::string kLong = "abcdefghijklmnopqrstuvwxyz";
  const Case cases[] = {
      {"one byte", "r_runtime.log", "q", {{5, "q"}, {1500, "a q b"}, {1999, "q"}}, 3},
      {"longer than sixteen bytes", "r_runtime.log", kLong,
       {{1000, kLong.substr(0, 25)}, {1001, kLong.substr(1)}, {1700, "-" + kLong + "-"}, {1999, kLong}}, 2},
      {"equal first and last bytes", "r_runtime.log", "xyx", {{300, "xyy xxx yyx x yx"}, {301, "axyxa"}}, 1},
      {"in an expression's second line", "a_assert.log", "NEEDLE",
       {{1800, "x\r\nsecond NEEDLE line"}, {1801, "a\nNEEDLE"}, {1802, "NEEDL\r\nE"}}, 2},
  };
  for (const Case& c : cases) {
    const bool assert_log = std::string(c.path) == "a_assert.log";
    std::string bytes = "\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\t";
    bytes += assert_log ? "EXPRESSION\r\n" : "LOGGED_DATA\tLEVEL\r\n";
    for (int i = 0; i < 2000; ++i) {
      std::string text = "plain " + std::to_string(i);
      for (const auto& [at, t] : c.texts) {
        if (at == i) text = t;
      }
      bytes += "2026-1-1 0:0:0." + std::to_string(i % 1000) + "\t1\tf.c\t" + std::to_string(i) + "\t" + text;
      bytes += assert_log ? "\r\n" : "\t1\r\n";
    }
    const auto expected = FilteredRead(c.path, bytes, c.needle, false, bytes.size());
    EXPECT_EQ(expected.first.size(), c.matches) << c.name;
    for (size_t chunk : {size_t{7}, size_t{4096}, size_t{65536}, bytes.size()}) {
      EXPECT_EQ(FilteredRead(c.path, bytes, c.needle, true, chunk), expected) << c.name << ", chunk " << chunk;
    }
  }
}

// The JSON strings written by hand are the ones the JSON library writes,
// invalid UTF-8 replaced the same way.
TEST(VqlogReaderTest, JsonStringsMatchTheJsonLibrary) {
  std::vector<std::string> texts = {
      "plain", "quote \" backslash \\ slash /", std::string("nul \0 and \x01\x1f\x7f", 13), "\b\f\n\r\t",
      "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "lone \x80 and \xFF", "cut \xE2\x82", "cut at end \xF0\x9F",
      "overlong \xC0\xAF \xE0\x80\xAF", "surrogate \xED\xA0\x80", "past U+10FFFF \xF4\x90\x80\x80",
      "\xE2\x82\x41 lead then ASCII", "\xC2\x9B C1 is valid UTF-8"};
  // And bytes from a fixed generator: every kind of sequence in a mix.
  uint32_t x = 12345;
  for (int n = 0; n < 200; ++n) {
    std::string t;
    for (int i = 0; i < 24; ++i) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      static const unsigned char kBytes[] = {0x41, 0x80, 0xBF, 0xC2, 0xE0, 0xED, 0xF0, 0xF4, 0xFF, 0x0A, 0x22, 0xA0};
      t += static_cast<char>(kBytes[x % sizeof kBytes]);
    }
    texts.push_back(t);
  }
  for (const std::string& t : texts) {
    std::string mine;
    AppendJsonString(t, mine);
    EXPECT_EQ(mine, nlohmann::json(t).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) << t;
  }
}

TEST(VqlogReaderTest, TimeFormsOnTheCommandLine) {
  struct Case {
    const char* text;
    const char* iso;  // nullptr: rejected
  };
  const Case cases[] = {
      {"2026-12-8 9:5:3.7", "2026-12-08T09:05:03.007"},     // the log's own form: 7 ms
      {"2026-12-8 9:5:3.70", "2026-12-08T09:05:03.070"},
      {"2026-12-08T09:05:03.7", "2026-12-08T09:05:03.700"},  // ISO: a decimal fraction
      {"2026-12-08T09:05:03.0071", "2026-12-08T09:05:03.007"},
      {"2026-12-08T09:05", "2026-12-08T09:05:00.000"},
      {"2026-12-8", "2026-12-08T00:00:00.000"},
      {"2026-12-8 9:5:3.1000", nullptr},
      {"2026-12-8 25:0:0.0", nullptr},
      {"2026-12-8 9:5:3.7x", nullptr},
      {"2026-2-31", nullptr},  // no such day
      {"2024-2-29", "2024-02-29T00:00:00.000"},
      {"282000000-1-1", nullptr},  // its sort key would overflow
      {"yesterday", nullptr},
  };
  for (const Case& c : cases) {
    std::optional<Timestamp> t = ParseUserTime(c.text);
    EXPECT_EQ(t ? t->Iso() : std::string("rejected"), c.iso ? c.iso : "rejected") << c.text;
  }
  // Records keep the strict form: every field present.
  EXPECT_FALSE(ParseLogTimestamp("2026-12-8 9:5:3"));
}

TEST(VqlogReaderTest, MergeKeepsEachLogsOrderAndTheFirstLogOnTies) {
  auto rec = [](int ms, const char* text) {
    Record r;
    r.kind = RecordKind::Runtime;
    r.time = {2026, 1, 1, 0, 0, 0, ms};
    r.text = text;
    return r;
  };
  Record untimed;
  untimed.text = "after b";
  std::vector<Record> merged;
  MergeByTime({{rec(5, "a5"), rec(9, "a9")}, {rec(1, "b1"), untimed, rec(5, "b5"), rec(7, "b7")}}, merged);
  std::vector<std::string> texts;
  for (const Record& r : merged) texts.push_back(r.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"b1", "after b", "a5", "b5", "b7", "a9"}));
}

}  // namespace
}  // namespace vqlog
