// `vqlog write`: one record per message, through the library's exports.
#ifndef VQLOG_WRITE_COMMAND_H_
#define VQLOG_WRITE_COMMAND_H_

#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vqlog {

struct WriteOptions {
  std::string dir;  // empty: none given to InitializeLogger
  int level = 0;
  std::string source = "vqlog";
  std::optional<int> line;  // default: the message's number, from 1
  bool assert_records = false;
  bool hex = false;
  bool print_paths = false;
  std::vector<std::string> messages;  // empty: read lines from `in`
};

int RunWrite(const WriteOptions& options, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace vqlog

#endif  // VQLOG_WRITE_COMMAND_H_
