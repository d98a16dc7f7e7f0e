#include "cli/json_text.h"

#include <nlohmann/json.hpp>

namespace iccdrop::cli {
namespace {

using Json = nlohmann::json;

std::string dump(const Json& value, Json::error_handler_t handler) {
  return value.dump(-1, ' ', false, handler);
}

}  // namespace

void append_json(std::string& out, std::string_view text) {
  out.append(dump(Json(text), Json::error_handler_t::replace));
}

void append_json(std::string& out, double value) {
  out.append(dump(Json(value), Json::error_handler_t::strict));
}

// The library's replacement of bytes that are not UTF-8 differs from its
// dropping them exactly where there are some.
bool whole_in_json(std::string_view text) {
  const Json value(text);
  return dump(value, Json::error_handler_t::replace) ==
         dump(value, Json::error_handler_t::ignore);
}

}  // namespace iccdrop::cli
