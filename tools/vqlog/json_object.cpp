#include "json_object.h"

#include <algorithm>

namespace vqlog {
namespace {

// Nested objects and arrays deeper than this are refused, so that a hostile
// line cannot exhaust the stack.
constexpr int kMaxDepth = 64;
// Objects with up to this many keys are checked for a key twice as they are
// read.
constexpr size_t kFewKeys = 32;

class Cursor {
 public:
  explicit Cursor(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  void SkipSpace() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  bool Eat(char c) {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  bool AtEnd() const { return p_ == end_; }
  char Peek() const { return p_ == end_ ? '\0' : *p_; }

  // A string at the cursor, decoded into `out` (nullptr: checked only).
  bool String(std::string* out) {
    if (!Eat('"')) return false;
    if (out) out->clear();
    for (;;) {
      const char* run = p_;
      while (p_ != end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20) ++p_;
      if (out) out->append(run, static_cast<size_t>(p_ - run));
      if (p_ == end_) return false;
      const char c = *p_++;
      if (c == '"') return true;
      if (c != '\\') return false;  // a control character
      if (p_ == end_) return false;
      const char e = *p_++;
      char plain = 0;
      switch (e) {
        case '"': plain = '"'; break;
        case '\\': plain = '\\'; break;
        case '/': plain = '/'; break;
        case 'b': plain = '\b'; break;
        case 'f': plain = '\f'; break;
        case 'n': plain = '\n'; break;
        case 'r': plain = '\r'; break;
        case 't': plain = '\t'; break;
        case 'u': break;
        default: return false;
      }
      if (plain != 0) {
        if (out) *out += plain;
        continue;
      }
      uint32_t unit;
      if (!Hex4(&unit)) return false;
      uint32_t code_point = unit;
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        // A high surrogate pairs with a low one written right after it.
        const char* back = p_;
        uint32_t low;
        if (Eat('\\') && Eat('u') && Hex4(&low) && low >= 0xDC00 && low <= 0xDFFF) {
          code_point = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        } else {
          p_ = back;
          code_point = 0xFFFD;
        }
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        code_point = 0xFFFD;
      }
      if (out) AppendUtf8(code_point, *out);
    }
  }

  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
  bool Number(JsonValue* value) {
    const bool negative = Eat('-');
    if (p_ == end_ || *p_ < '0' || *p_ > '9') return false;
    uint64_t magnitude = 0;
    bool fits = true;
    if (*p_ == '0') {
      ++p_;
    } else {
      while (p_ != end_ && *p_ >= '0' && *p_ <= '9') {
        const uint64_t digit = static_cast<uint64_t>(*p_ - '0');
        if (magnitude > (UINT64_MAX - digit) / 10) fits = false;
        magnitude = magnitude * 10 + digit;
        ++p_;
      }
    }
    bool integer = true;
    if (Eat('.')) {
      integer = false;
      if (!Digits()) return false;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      integer = false;
      if (!Eat('+')) Eat('-');
      if (!Digits()) return false;
    }
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    if (integer && fits && magnitude <= limit) {
      value->type = JsonValue::Type::Integer;
      value->integer = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    } else {
      value->type = JsonValue::Type::Number;
    }
    return true;
  }

  bool Word(std::string_view word) {
    if (static_cast<size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) return false;
    p_ += word.size();
    return true;
  }

  // Any value, checked and not kept.
  bool SkipValue(int depth) {
    if (depth > kMaxDepth) return false;
    SkipSpace();
    JsonValue scratch;
    switch (Peek()) {
      case '"': return String(nullptr);
      case 't': return Word("true");
      case 'f': return Word("false");
      case 'n': return Word("null");
      case '{': return SkipContainer('}', true, depth);
      case '[': return SkipContainer(']', false, depth);
      default: return Number(&scratch);
    }
  }

 private:
  bool Digits() {
    const char* start = p_;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    return p_ != start;
  }

  bool Hex4(uint32_t* unit) {
    if (end_ - p_ < 4) return false;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = *p_++;
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        v |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        v |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    *unit = v;
    return true;
  }

  static void AppendUtf8(uint32_t c, std::string& out) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }

  bool SkipContainer(char close, bool object, int depth) {
    ++p_;
    SkipSpace();
    if (Eat(close)) return true;
    for (;;) {
      if (object) {
        SkipSpace();
        if (!String(nullptr)) return false;
        SkipSpace();
        if (!Eat(':')) return false;
      }
      if (!SkipValue(depth + 1)) return false;
      SkipSpace();
      if (Eat(close)) return true;
      if (!Eat(',')) return false;
    }
  }

  const char* p_;
  const char* end_;
};

}  // namespace

bool JsonObject::Parse(std::string_view text) {
  used_ = 0;
  Cursor in(text);
  in.SkipSpace();
  if (!in.Eat('{')) return false;
  in.SkipSpace();
  if (!in.Eat('}')) {
    for (;;) {
      if (used_ == members_.size()) members_.emplace_back();
      JsonMember& m = members_[used_];
      in.SkipSpace();
      if (!in.String(&m.key)) return false;
      in.SkipSpace();
      if (!in.Eat(':')) return false;
      in.SkipSpace();
      JsonValue& v = m.value;
      bool ok;
      switch (in.Peek()) {
        case '"':
          v.type = JsonValue::Type::String;
          ok = in.String(&v.text);
          break;
        case 't': v.type = JsonValue::Type::True, ok = in.Word("true"); break;
        case 'f': v.type = JsonValue::Type::False, ok = in.Word("false"); break;
        case 'n': v.type = JsonValue::Type::Null, ok = in.Word("null"); break;
        case '{':
        case '[': v.type = JsonValue::Type::Nested, ok = in.SkipValue(1); break;
        default: ok = in.Number(&v);
      }
      if (!ok) return false;
      // A key twice: which one holds? Few keys are compared as they come,
      // many (a hostile line) sorted once at the end.
      for (size_t i = 0; i < used_ && used_ < kFewKeys; ++i) {
        if (members_[i].key == m.key) return false;
      }
      ++used_;
      in.SkipSpace();
      if (in.Eat('}')) break;
      if (!in.Eat(',')) return false;
    }
  }
  in.SkipSpace();
  if (!in.AtEnd()) return false;
  if (used_ > kFewKeys) {
    std::vector<std::string_view> keys;
    keys.reserve(used_);
    for (size_t i = 0; i < used_; ++i) keys.push_back(members_[i].key);
    std::sort(keys.begin(), keys.end());
    if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) return false;
  }
  return true;
}

const JsonValue* JsonObject::Find(std::string_view key) const {
  for (size_t i = 0; i < used_; ++i) {
    if (members_[i].key == key) return &members_[i].value;
  }
  return nullptr;
}

}  // namespace vqlog
