#include "sway_replies.h"

#include <charconv>
#include <cstdint>
#include <limits>

namespace layer {
namespace {

// Deeper than any answer the compositor gives; bounds the recursion.
constexpr int kDeepest = 32;

// A reader that walks the text once: each value is read into what the
// caller wants or skipped whole. The first fault stops it and is kept.
class Json {
 public:
  explicit Json(std::string_view text) : text_(text) {}

  const std::string& fault() const { return fault_; }

  // Calls `member(key)` for each member of an object, which must read or
  // skip the value.
  template <typename Member>
  bool Object(Member member) {
    return Container('{', '}', [&] {
      std::string key;
      return String(&key) && Expect(':') && member(key);
    });
  }
  // Calls `element()` for each element of an array.
  template <typename Element>
  bool Array(Element element) {
    return Container('[', ']', element);
  }

  bool String(std::string* out) {
    out->clear();
    if (!Expect('"')) return false;
    for (;;) {
      if (at_ >= text_.size()) return Fail("a string is not closed");
      unsigned char c = static_cast<unsigned char>(text_[at_++]);
      if (c == '"') return true;
      if (c < 0x20) return Fail("a string holds a control character");
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        continue;
      }
      if (at_ >= text_.size()) return Fail("a string is not closed");
      char escaped = text_[at_++];
      switch (escaped) {
        case '"': case '\\': case '/': out->push_back(escaped); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
          uint32_t code = 0;
          if (!Hex(&code)) return false;
          if (code >= 0xD800 && code < 0xDC00) {
            uint32_t low = 0;
            if (text_.substr(at_, 2) != "\\u" || (at_ += 2, !Hex(&low)) || low < 0xDC00 || low >= 0xE000)
              return Fail("a string holds half a surrogate pair");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xDC00 && code < 0xE000) {
            return Fail("a string holds half a surrogate pair");
          }
          Utf8(code, out);
          break;
        }
        default: return Fail("a string holds an unknown escape");
      }
    }
  }

  bool Bool(bool* out) {
    Space();
    if (Word("true")) return *out = true;
    if (Word("false")) return !(*out = false);
    return Fail("a value is not true or false");
  }

  // A number that is a whole int.
  bool Int(int* out) {
    Space();
    size_t start = at_;
    if (!Number()) return false;
    long long value = 0;
    auto [end, error] = std::from_chars(text_.data() + start, text_.data() + at_, value);
    if (error != std::errc() || end != text_.data() + at_ || value < std::numeric_limits<int>::min() ||
        value > std::numeric_limits<int>::max())
      return Fail("a number is not a whole int");
    *out = static_cast<int>(value);
    return true;
  }

  bool Skip() {
    Space();
    if (at_ >= text_.size()) return Fail("a value is missing");
    switch (text_[at_]) {
      case '{': return Object([&](const std::string&) { return Skip(); });
      case '[': return Array([&] { return Skip(); });
      case '"': {
        std::string ignored;
        return String(&ignored);
      }
      case 't': case 'f': {
        bool ignored;
        return Bool(&ignored);
      }
      case 'n': return Word("null") || Fail("a value is not JSON");
      default: return Number();
    }
  }

  // Only blanks are left.
  bool End() {
    Space();
    return at_ == text_.size() || Fail("text follows the answer");
  }

 private:
  template <typename Item>
  bool Container(char open, char close, Item item) {
    if (!Expect(open)) return false;
    if (++depth_ > kDeepest) return Fail("the answer is nested too deeply");
    Space();
    if (at_ < text_.size() && text_[at_] == close) {
      ++at_;
      --depth_;
      return true;
    }
    for (;;) {
      if (!item()) return false;
      Space();
      if (at_ < text_.size() && text_[at_] == ',') {
        ++at_;
        continue;
      }
      if (!Expect(close)) return false;
      --depth_;
      return true;
    }
  }

  bool Fail(const char* what) {
    if (fault_.empty()) fault_ = std::string(what) + " (at byte " + std::to_string(at_) + ")";
    return false;
  }
  void Space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
      ++at_;
  }
  bool Expect(char c) {
    Space();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return Fail(c == '"' ? "a string is missing" : "the answer is not the list expected");
  }
  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  bool Digits() {
    size_t start = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    return at_ > start;
  }
  // JSON's number grammar: -?digits(.digits)?([eE][+-]?digits)?
  bool Number() {
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    if (!Digits()) return Fail("a value is not JSON");
    if (at_ < text_.size() && text_[at_] == '.' && (++at_, !Digits())) return Fail("a number is cut short");
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      ++at_;
      if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
      if (!Digits()) return Fail("a number is cut short");
    }
    return true;
  }
  bool Hex(uint32_t* code) {
    if (text_.size() - at_ < 4) return Fail("a string's escape is cut short");
    auto [end, error] = std::from_chars(text_.data() + at_, text_.data() + at_ + 4, *code, 16);
    if (error != std::errc() || end != text_.data() + at_ + 4) return Fail("a string's escape is not hexadecimal");
    at_ += 4;
    return true;
  }
  static void Utf8(uint32_t code, std::string* out) {
    if (code < 0x80) {
      out->push_back(static_cast<char>(code));
      return;
    }
    constexpr unsigned kLead[] = {0, 0xC0, 0xE0, 0xF0};
    int tail = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    out->push_back(static_cast<char>(kLead[tail] | (code >> (6 * tail))));
    for (int shift = 6 * (tail - 1); shift >= 0; shift -= 6) out->push_back(static_cast<char>(0x80 | ((code >> shift) & 0x3F)));
  }

  std::string_view text_;
  size_t at_ = 0;
  int depth_ = 0;
  std::string fault_;
};

bool Reason(const Json& json, const char* what, std::string* why) {
  *why = std::string("the compositor's ") + what + " is not readable: " + json.fault();
  return false;
}

}  // namespace

bool ReadSwayOutputs(std::string_view reply, std::vector<MonitorPlace>* outputs, std::string* why) {
  Json json(reply);
  std::vector<MonitorPlace> found;
  bool read = json.Array([&] {
    MonitorPlace place;
    bool named = false, active = false, placed = false;
    return json.Object([&](const std::string& key) {
             if (key == "name") return named = json.String(&place.name);
             if (key == "active") return json.Bool(&active);
             if (key != "rect") return json.Skip();
             return placed = json.Object([&](const std::string& field) {
                      int* value = field == "x"       ? &place.x
                                   : field == "y"      ? &place.y
                                   : field == "width"  ? &place.width
                                   : field == "height" ? &place.height
                                                       : nullptr;
                      return value != nullptr ? json.Int(value) : json.Skip();
                    });
           }) &&
           // A disabled output keeps its entry, without a place on the desktop.
           (!active || !named || place.name.empty() || !placed || place.width <= 0 || place.height <= 0 ||
            (found.push_back(std::move(place)), true));
  });
  if (!read || !json.End()) return Reason(json, "list of outputs", why);
  *outputs = std::move(found);
  return true;
}

bool ReadSwayResults(std::string_view reply, std::vector<std::string>* errors, std::string* why) {
  Json json(reply);
  std::vector<std::string> found;
  bool read = json.Array([&] {
    bool success = false;
    std::string error;
    if (!json.Object([&](const std::string& key) {
          if (key == "success") return json.Bool(&success);
          if (key == "error") return json.String(&error);
          return json.Skip();
        }))
      return false;
    found.push_back(success ? std::string() : error.empty() ? std::string("failed") : error);
    return true;
  });
  if (!read || !json.End()) return Reason(json, "answer to the command", why);
  *errors = std::move(found);
  return true;
}

}  // namespace layer
