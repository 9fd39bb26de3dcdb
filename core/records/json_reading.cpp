#include "core/records/json_reading.h"

#include "core/records/record_coding.h"

namespace redomark::json {

using simdjson::dom::element;
using simdjson::dom::element_type;

element parse(std::string_view text) {
  thread_local simdjson::dom::parser parser;
  element root;
  if (parser.parse(text.data(), text.size()).get(root) != simdjson::SUCCESS) failMalformed();
  return root;
}

void failMissing() { throw JsonError("The data couldn't be read because it is missing."); }

void failMalformed() { throw JsonError("The data couldn't be read because it isn't in the correct format."); }

simdjson::dom::object asObject(element value) {
  if (value.type() != element_type::OBJECT) failMalformed();
  return simdjson::dom::object(value);
}

simdjson::dom::array asArray(element value) {
  if (value.type() != element_type::ARRAY) failMalformed();
  return simdjson::dom::array(value);
}

std::string_view asString(element value) {
  if (value.type() != element_type::STRING) failMalformed();
  return std::string_view(value);
}

bool asBool(element value) {
  if (value.type() != element_type::BOOL) failMalformed();
  return bool(value);
}

int64_t asInt64(element value) {
  switch (value.type()) {
    case element_type::INT64:
      return int64_t(value);
    case element_type::DOUBLE: {
      // "5.0" or "1e3" still names a whole number; accept it when exact.
      const double d = double(value);
      constexpr double limit = 9223372036854775808.0;  // 2^63
      if (d >= -limit && d < limit && d == static_cast<double>(static_cast<int64_t>(d)))
        return static_cast<int64_t>(d);
      failMalformed();
    }
    default:
      failMalformed();
  }
}

double asDouble(element value) {
  switch (value.type()) {
    case element_type::INT64:
    case element_type::UINT64:
    case element_type::DOUBLE:
      return double(value);
    default:
      failMalformed();
  }
}

std::optional<int64_t> asOptionalInt64(element value) {
  if (value.is_null()) return std::nullopt;
  return asInt64(value);
}

}  // namespace redomark::json
