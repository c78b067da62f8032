// `vqlog show`: reads runtime and assert logs as streams, merges them in time
// order, filters them and prints a table or JSON Lines, optionally following
// the files as records are appended.
#ifndef VQLOG_SHOW_COMMAND_H_
#define VQLOG_SHOW_COMMAND_H_

#include <ostream>
#include <string>
#include <vector>

#include "log_discovery.h"
#include "record_filter.h"

namespace vqlog {

struct ShowOptions {
  LogSelection selection;  // which logs: files, directories, "-", selectors
  std::vector<std::string> files;  // more operands, added to selection.operands
  RecordFilter filter;
  bool json = false;
  bool color = false;
  bool follow = false;
  int poll_milliseconds = 200;
};

// Exit statuses of `vqlog show`.
enum ShowStatus {
  kShowOk = 0,           // every log was read (lines it could not read are shown as unparsed)
  kShowUnreadable = 1,   // a log could not be opened or read; the others were shown
  kShowNoLogs = 3,       // nothing to read: no log was found or selected
  kShowInterrupted = 130 // SIGINT or SIGTERM ended the reading (not when following)
};

// Reads the logs of `sources` (in this order on equal times) and prints
// them. Notes (unreadable files, unparsed and cut lines) go to `err`.
int ShowSources(const std::vector<LogSource>& sources, const ShowOptions& options, std::ostream& out,
                std::ostream& err);
// Selects the logs (notes on `err`), then ShowSources.
int RunShow(const ShowOptions& options, std::ostream& out, std::ostream& err);

// Makes a running RunShow return after its current poll or read
// (async-signal-safe).
void StopFollowing();

}  // namespace vqlog

#endif  // VQLOG_SHOW_COMMAND_H_
