#include "record_filter.h"

#include <cerrno>
#include <cstdlib>

namespace vqlog {
namespace {

bool ParseBound(std::string_view text, std::optional<int64_t>& bound) {
  if (text.empty()) return true;
  std::string copy(text);
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(copy.c_str(), &end, 10);
  if (end == copy.c_str() || *end != '\0' || errno == ERANGE) return false;
  bound = value;
  return true;
}

}  // namespace

bool RecordFilter::Matches(const Record& record) const {
  if (!grep.empty() && record.text.find(grep) == std::string::npos &&
      record.file.find(grep) == std::string::npos) {
    return false;
  }
  if (record.kind == RecordKind::Unparsed) return true;
  if (record.level) {
    if (level_min && *record.level < *level_min) return false;
    if (level_max && *record.level > *level_max) return false;
  }
  if (record.HasTime()) {
    if (thread && record.thread != *thread) return false;
    int64_t key = record.time.SortKey();
    if (since && key < *since) return false;
    if (until && key > *until) return false;
  }
  return true;
}

bool ParseLevelRange(std::string_view text, RecordFilter& filter) {
  if (text.empty()) return false;
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    return ParseBound(text, filter.level_min) && filter.level_min.has_value();
  }
  if (text.size() == 1) return false;
  if (!ParseBound(text.substr(0, colon), filter.level_min) || !ParseBound(text.substr(colon + 1), filter.level_max)) {
    return false;
  }
  // "5:3" can match nothing.
  return !(filter.level_min && filter.level_max && *filter.level_min > *filter.level_max);
}

}  // namespace vqlog
