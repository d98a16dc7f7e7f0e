// Just enough JSON to compare what `qpdf --json` says about an input and an
// output: values parsed into a tree that compares by structure, numbers kept
// as their text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace iccdrop::integration {

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  std::string text;               // string contents, number text, "true"/"false"
  std::vector<JsonValue> items;   // array items, or object member values
  std::vector<std::string> keys;  // object member names, parallel to items

  // The member named `key` of an object, or nullptr.
  [[nodiscard]] const JsonValue* find(std::string_view key) const;
  friend bool operator==(const JsonValue&, const JsonValue&) = default;
};

// None on any syntax error or trailing bytes.
[[nodiscard]] std::optional<JsonValue> parse_json(std::string_view text);

// Compact text of a value, for failure messages.
[[nodiscard]] std::string to_text(const JsonValue& value);

}  // namespace iccdrop::integration
