#include "show_command.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <thread>

#include "log_reader.h"
#include "record_output.h"

namespace vqlog {
namespace {

volatile std::sig_atomic_t stop_requested = 0;

struct FollowedLog {
  std::string path;
  std::unique_ptr<RecordParser> reader;
  std::streamoff offset = 0;
};

// Reads what was appended to `log` since the last call; false when the file
// cannot be opened.
bool ReadNew(FollowedLog& log, std::vector<Record>& out, bool end_of_data) {
  std::ifstream in(log.path, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size < log.offset) {  // truncated: start over
    log.reader = std::make_unique<RecordParser>(log.path);
    log.offset = 0;
  }
  if (size > log.offset) {
    std::string bytes(static_cast<size_t>(size - log.offset), '\0');
    in.seekg(log.offset);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    log.offset += static_cast<std::streamoff>(bytes.size());
    log.reader->Feed(bytes, out);
  }
  log.reader->Flush(out, end_of_data);
  return true;
}

}  // namespace

void StopFollowing() { stop_requested = 1; }

int RunShow(const ShowOptions& options, std::ostream& out, std::ostream& err) {
  std::vector<FollowedLog> logs;
  for (const std::string& path : options.files) {
    logs.push_back({path, std::make_unique<RecordParser>(path), 0});
  }
  TablePrinter table(options.color);
  auto print = [&](std::vector<std::vector<Record>> batches) {
    std::vector<Record> merged;
    MergeByTime(std::move(batches), merged);
    std::vector<Record> shown;
    for (Record& r : merged) {
      if (options.filter.Matches(r)) shown.push_back(std::move(r));
    }
    if (options.json) {
      for (const Record& r : shown) out << RecordJsonLine(r);
    } else {
      table.Print(shown, out);
    }
    out.flush();
  };

  int status = 0;
  std::vector<std::vector<Record>> batches(logs.size());
  for (size_t i = 0; i < logs.size(); ++i) {
    if (!ReadNew(logs[i], batches[i], !options.follow)) {
      err << "vqlog: cannot open " << logs[i].path << "\n";
      status = 1;
    }
  }
  print(std::move(batches));

  while (options.follow && !stop_requested) {
    std::this_thread::sleep_for(std::chrono::milliseconds(options.poll_milliseconds));
    std::vector<std::vector<Record>> fresh(logs.size());
    bool any = false;
    for (size_t i = 0; i < logs.size(); ++i) {
      ReadNew(logs[i], fresh[i], false);
      any = any || !fresh[i].empty();
    }
    if (any) print(std::move(fresh));
  }

  for (const FollowedLog& log : logs) {
    int64_t count = log.reader->unparsed_count();
    if (count > 0) {
      err << "vqlog: " << log.path << ": " << count << (count == 1 ? " line" : " lines")
          << " not in the log format, shown as unparsed\n";
    }
  }
  return status;
}

}  // namespace vqlog
