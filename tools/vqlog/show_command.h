// `vqlog show`: reads runtime and assert logs, merges them in time order,
// filters them and prints a table or JSON Lines, optionally following the
// files as records are appended.
#ifndef VQLOG_SHOW_COMMAND_H_
#define VQLOG_SHOW_COMMAND_H_

#include <ostream>
#include <string>
#include <vector>

#include "record_filter.h"

namespace vqlog {

struct ShowOptions {
  std::vector<std::string> files;
  RecordFilter filter;
  bool json = false;
  bool color = false;
  bool follow = false;
  int poll_milliseconds = 200;
};

// Returns the exit status: 0, or 1 when a file cannot be read. Lines that
// cannot be read are printed as unparsed and counted on `err`.
int RunShow(const ShowOptions& options, std::ostream& out, std::ostream& err);

// Makes a running RunShow with `follow` return after its current poll
// (async-signal-safe).
void StopFollowing();

}  // namespace vqlog

#endif  // VQLOG_SHOW_COMMAND_H_
