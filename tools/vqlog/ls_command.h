// `vqlog ls`: one row per process whose logs are found, read from the logs'
// names and contents: exe, pid, start, record counts, first and last record
// time, and bytes. A table, or JSON Lines with --json.
#ifndef VQLOG_LS_COMMAND_H_
#define VQLOG_LS_COMMAND_H_

#include <ostream>

#include "log_discovery.h"

namespace vqlog {

struct LsOptions {
  LogSelection selection;
  bool json = false;
  bool color = false;
};

// Exit status of `vqlog ls` when no log was found or selected (as `show`).
constexpr int kLsNoLogs = 3;

// Returns the exit status: 0, 1 when a log could not be opened or read
// (named on `err`; its counts are null), kLsNoLogs when there is none.
int RunLs(const LsOptions& options, std::ostream& out, std::ostream& err);

}  // namespace vqlog

#endif  // VQLOG_LS_COMMAND_H_
