// Which records `vqlog show` prints. --grep looks at the text of every line,
// unparsed and last-resort lines included (their text is the whole line). A
// record passes the other filters on a field it does not have: assert
// records have no level; last-resort and unparsed lines have no time, thread
// or level, so they pass --level, --thread, --since and --until, and nothing
// the reader could not place is hidden by them.
#ifndef VQLOG_RECORD_FILTER_H_
#define VQLOG_RECORD_FILTER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "log_reader.h"

namespace vqlog {

struct RecordFilter {
  std::optional<int64_t> level_min, level_max;  // inclusive
  std::optional<int64_t> thread;
  std::string grep;  // substring of the message/expression or the source file
  std::optional<int64_t> since, until;  // Timestamp::SortKey bounds, inclusive

  bool Matches(const Record& record) const;
};

// "MIN", "MIN:MAX", ":MAX" or "MIN:"; false when it is none of these, or
// when MIN is above MAX (nothing could match).
bool ParseLevelRange(std::string_view text, RecordFilter& filter);

}  // namespace vqlog

#endif  // VQLOG_RECORD_FILTER_H_
