// A small JSON reader for checking zrv's --json output in tests.
#ifndef ZRV_TEST_JSON_H
#define ZRV_TEST_JSON_H

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zrv::test {

struct JsonValue {
    enum class Type { null, boolean, number, string, array, object };
    Type type = Type::null;
    bool boolean = false;
    double number = 0.0;
    std::string string;
    std::vector<JsonValue> array;
    std::map<std::string, JsonValue> object;

    bool has(const std::string& key) const {
        return type == Type::object && object.count(key) != 0;
    }
    const JsonValue& operator[](const std::string& key) const { return object.at(key); }
};

// Parses text, which must hold exactly one JSON value (surrounding white
// space allowed). Returns false with a description of the first problem.
bool parse_json(const std::string& text, JsonValue& value, std::string& error);

} // namespace zrv::test

#endif // ZRV_TEST_JSON_H
