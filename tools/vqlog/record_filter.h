// Which records `vqlog show` prints. A record passes a filter on a field it
// does not have: assert records have no level, a last-resort line has no
// time or thread. Unparsed lines pass every filter, so nothing the reader
// could not make sense of is hidden.
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

// "MIN", "MIN:MAX", ":MAX" or "MIN:"; false when it is none of these.
bool ParseLevelRange(std::string_view text, RecordFilter& filter);

}  // namespace vqlog

#endif  // VQLOG_RECORD_FILTER_H_
