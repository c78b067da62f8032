// A strict reader of one JSON object, as a line of the central store holds
// it: strings (every escape, \u with surrogate pairs), numbers, true, false
// and null as member values; a nested object or array is checked and
// skipped. It allocates only for the decoded strings and never throws.
#ifndef VQLOG_JSON_OBJECT_H_
#define VQLOG_JSON_OBJECT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vqlog {

struct JsonValue {
  enum class Type { String, Integer, Number, True, False, Null, Nested };
  Type type = Type::Null;
  std::string text;     // String: the decoded UTF-8 (a lone surrogate is U+FFFD)
  int64_t integer = 0;  // Integer: a number without fraction or exponent that fits 64 bits
};

struct JsonMember {
  std::string key;
  JsonValue value;
};

// Members in the order written. `members` is reused between calls, so a
// reader of many lines keeps its buffers.
class JsonObject {
 public:
  // Reads `text` (surrounding spaces allowed): true when it is one object
  // and nothing else, with no key twice; false, with the members undefined,
  // otherwise.
  bool Parse(std::string_view text);
  // The member named `key`, or nullptr.
  const JsonValue* Find(std::string_view key) const;
  size_t size() const { return used_; }
  const JsonMember& member(size_t i) const { return members_[i]; }

 private:
  std::vector<JsonMember> members_;
  size_t used_ = 0;
};

}  // namespace vqlog

#endif  // VQLOG_JSON_OBJECT_H_
