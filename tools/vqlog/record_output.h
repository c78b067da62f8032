// The two ways `vqlog show` prints records: JSON Lines (one object per
// record, time in ISO 8601 with milliseconds) and an aligned table, coloured
// on a terminal.
#ifndef VQLOG_RECORD_OUTPUT_H_
#define VQLOG_RECORD_OUTPUT_H_

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>
#include <vector>

#include "log_reader.h"

namespace vqlog {

// {"kind":"runtime","time":"2026-12-08T09:05:03.007","thread":6401,
//  "file":"a.c","line":1,"message":"...","level":-1,"log":"...","log_line":2}
// Assert records carry "expression" in place of "message" and no level;
// last-resort and unparsed lines carry only "text", "log" and "log_line".
nlohmann::ordered_json RecordToJson(const Record& record);
// One JSON line, ending with "\n"; bytes that are not UTF-8 become U+FFFD.
std::string RecordJsonLine(const Record& record);

// Prints records as columns TIME THREAD SOURCE LEVEL TEXT. Column widths
// grow with what has been printed, so a followed log stays roughly aligned.
class TablePrinter {
 public:
  explicit TablePrinter(bool color) : color_(color) {}
  void Print(const std::vector<Record>& records, std::ostream& out);

 private:
  bool color_;
  bool header_done_ = false;
  size_t thread_width_ = 6;
  size_t source_width_ = 6;
  size_t level_width_ = 6;
};

}  // namespace vqlog

#endif  // VQLOG_RECORD_OUTPUT_H_
