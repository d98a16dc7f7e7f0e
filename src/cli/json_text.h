// The values of a JSON text, put out by nlohmann-json: strings, escaped as
// JSON needs, and numbers. Only this unit includes the library, so that the
// rest of the command line builds without its headers.
#pragma once

#include <string>
#include <string_view>

namespace iccdrop::cli {

// Appends `text` as a JSON string. Bytes that are not UTF-8 (a file name
// may hold any) become U+FFFD: see whole_in_json.
void append_json(std::string& out, std::string_view text);
// Appends `value` as a JSON number, as short as gives it back exactly.
void append_json(std::string& out, double value);
// Whether append_json keeps every byte of `text`: false where some are not
// UTF-8.
[[nodiscard]] bool whole_in_json(std::string_view text);

}  // namespace iccdrop::cli
