// Reading zrv's --json output in tests, with nlohmann::json.
#ifndef ZRV_TEST_JSON_H
#define ZRV_TEST_JSON_H

#include <nlohmann/json.hpp>

#include <string>

namespace zrv::test {

using JsonValue = nlohmann::json;

// Parses text, which must hold exactly one JSON value (surrounding white
// space allowed). Returns false with a description of the problem.
inline bool parse_json(const std::string& text, JsonValue& value, std::string& error) {
    value = nlohmann::json::parse(text, nullptr, false);
    if (value.is_discarded()) {
        error = "not valid JSON";
        return false;
    }
    return true;
}

} // namespace zrv::test

#endif // ZRV_TEST_JSON_H
