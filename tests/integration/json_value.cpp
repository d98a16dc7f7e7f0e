#include "integration/json_value.h"

namespace iccdrop::integration {
namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<JsonValue> document() {
    std::optional<JsonValue> value = parse_value(0);
    skip_space();
    if (!value || pos_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  static constexpr int kMaxDepth = 200;

  void skip_space() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\t')) {
      ++pos_;
    }
  }
  bool eat(char c) {
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool word(std::string_view w) {
    if (text_.substr(pos_, w.size()) != w) return false;
    pos_ += w.size();
    return true;
  }

  // Escapes are kept as written: both sides come from the same qpdf.
  std::optional<std::string> parse_string() {
    if (!eat('"')) return std::nullopt;
    std::string out;
    while (pos_ < text_.size() && text_[pos_] != '"') {
      if (text_[pos_] == '\\' && pos_ + 1 < text_.size()) out += text_[pos_++];
      out += text_[pos_++];
    }
    if (pos_ == text_.size()) return std::nullopt;
    ++pos_;
    return out;
  }

  std::optional<JsonValue> parse_value(int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    skip_space();
    if (pos_ == text_.size()) return std::nullopt;
    JsonValue value;
    const char c = text_[pos_];
    if (c == '{') {
      ++pos_;
      value.kind = JsonValue::Kind::kObject;
      if (eat('}')) return value;
      do {
        std::optional<std::string> key = parse_string();
        if (!key || !eat(':')) return std::nullopt;
        std::optional<JsonValue> member = parse_value(depth + 1);
        if (!member) return std::nullopt;
        value.keys.push_back(std::move(*key));
        value.items.push_back(std::move(*member));
      } while (eat(','));
      if (!eat('}')) return std::nullopt;
    } else if (c == '[') {
      ++pos_;
      value.kind = JsonValue::Kind::kArray;
      if (eat(']')) return value;
      do {
        std::optional<JsonValue> item = parse_value(depth + 1);
        if (!item) return std::nullopt;
        value.items.push_back(std::move(*item));
      } while (eat(','));
      if (!eat(']')) return std::nullopt;
    } else if (c == '"') {
      std::optional<std::string> text = parse_string();
      if (!text) return std::nullopt;
      value.kind = JsonValue::Kind::kString;
      value.text = std::move(*text);
    } else if (word("true") || word("false")) {
      value.kind = JsonValue::Kind::kBool;
      value.text = c == 't' ? "true" : "false";
    } else if (word("null")) {
      value.kind = JsonValue::Kind::kNull;
    } else {
      const std::size_t start = pos_;
      while (pos_ < text_.size() &&
             std::string_view("+-0123456789.eE").find(text_[pos_]) !=
                 std::string_view::npos) {
        ++pos_;
      }
      if (pos_ == start) return std::nullopt;
      value.kind = JsonValue::Kind::kNumber;
      value.text = std::string(text_.substr(start, pos_ - start));
    }
    return value;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

const JsonValue* JsonValue::find(std::string_view key) const {
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == key) return &items[i];
  }
  return nullptr;
}

std::optional<JsonValue> parse_json(std::string_view text) {
  return Parser(text).document();
}

std::string to_text(const JsonValue& value) {
  switch (value.kind) {
    case JsonValue::Kind::kNull:
      return "null";
    case JsonValue::Kind::kBool:
    case JsonValue::Kind::kNumber:
      return value.text;
    case JsonValue::Kind::kString:
      return "\"" + value.text + "\"";
    case JsonValue::Kind::kArray: {
      std::string out = "[";
      for (std::size_t i = 0; i < value.items.size(); ++i) {
        out += (i == 0 ? "" : ", ") + to_text(value.items[i]);
      }
      return out + "]";
    }
    case JsonValue::Kind::kObject: {
      std::string out = "{";
      for (std::size_t i = 0; i < value.items.size(); ++i) {
        out +=
            (i == 0 ? "\"" : ", \"") + value.keys[i] + "\": " + to_text(value.items[i]);
      }
      return out + "}";
    }
  }
  return "";
}

}  // namespace iccdrop::integration
