// Strict access to parsed JSON for the record and settings decoders: each
// accessor returns the value when it has the expected JSON type and throws
// JsonError otherwise. Parsing uses one reusable parser per thread, so the
// elements of a document stay valid only until that thread parses the next one.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include <simdjson.h>

namespace redomark::json {

// Throws JsonError when the text is not one complete, valid JSON document.
simdjson::dom::element parse(std::string_view text);

[[noreturn]] void failMissing();
[[noreturn]] void failMalformed();

simdjson::dom::object asObject(simdjson::dom::element value);
simdjson::dom::array asArray(simdjson::dom::element value);
std::string_view asString(simdjson::dom::element value);
bool asBool(simdjson::dom::element value);
// A number with no fractional part that fits in 64 signed bits.
int64_t asInt64(simdjson::dom::element value);
double asDouble(simdjson::dom::element value);
// null reads as absent.
std::optional<int64_t> asOptionalInt64(simdjson::dom::element value);

}  // namespace redomark::json
