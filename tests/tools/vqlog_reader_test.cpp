// The log reader on lines the library can write but a test process cannot
// easily provoke, and the time forms of --since/--until.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_reader.h"
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
  };
  for (const Case& c : cases) {
    std::vector<std::string> expected;
    for (const std::string& j : c.json) expected.push_back(j + "\n");
    for (size_t chunk : {size_t{1}, size_t{7}, c.bytes.size()}) {
      EXPECT_EQ(ReadAsJson(c.path, c.bytes, chunk), expected) << c.name << ", chunk " << chunk;
    }
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
