#include "zrvTestJson.h"

#include <cctype>
#include <cstdlib>

namespace zrv::test {

namespace {

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    bool parse_document(JsonValue& value, std::string& error) {
        if (!parse_value(value, 0) || (skip_space(), pos_ != text_.size())) {
            error =
                error_.empty() ? "trailing characters at offset " + std::to_string(pos_) : error_;
            return false;
        }
        return true;
    }

private:
    bool fail(const std::string& what) {
        if (error_.empty())
            error_ = what + " at offset " + std::to_string(pos_);
        return false;
    }

    void skip_space() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\n' || text_[pos_] == '\r'))
            ++pos_;
    }

    bool literal(const char* word) {
        const std::string w = word;
        if (text_.compare(pos_, w.size(), w) != 0)
            return false;
        pos_ += w.size();
        return true;
    }

    bool parse_value(JsonValue& value, int depth) {
        if (depth > 64)
            return fail("nesting too deep");
        skip_space();
        if (pos_ >= text_.size())
            return fail("unexpected end");
        const char c = text_[pos_];
        value = JsonValue();
        if (c == '{')
            return parse_object(value, depth);
        if (c == '[')
            return parse_array(value, depth);
        if (c == '"') {
            value.type = JsonValue::Type::string;
            return parse_string(value.string);
        }
        if (literal("true")) {
            value.type = JsonValue::Type::boolean;
            value.boolean = true;
            return true;
        }
        if (literal("false")) {
            value.type = JsonValue::Type::boolean;
            return true;
        }
        if (literal("null"))
            return true;
        return parse_number(value);
    }

    bool parse_number(JsonValue& value) {
        // The JSON grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
        const std::size_t start = pos_;
        auto digits = [&] {
            const std::size_t from = pos_;
            while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_])))
                ++pos_;
            return pos_ - from;
        };
        if (pos_ < text_.size() && text_[pos_] == '-')
            ++pos_;
        if (pos_ < text_.size() && text_[pos_] == '0')
            ++pos_;
        else if (digits() == 0)
            return fail("invalid value");
        if (pos_ < text_.size() && text_[pos_] == '.') {
            ++pos_;
            if (digits() == 0)
                return fail("invalid number");
        }
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-'))
                ++pos_;
            if (digits() == 0)
                return fail("invalid number");
        }
        value.type = JsonValue::Type::number;
        value.number = std::strtod(text_.substr(start, pos_ - start).c_str(), nullptr);
        return true;
    }

    bool parse_string(std::string& out) {
        ++pos_; // opening quote
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return fail("control character in string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size())
                break;
            const char e = text_[pos_++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': { // zrv escapes only control characters this way
                const std::string hex = text_.substr(pos_, 4);
                if (hex.size() != 4 ||
                    hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                    return fail("bad \\u escape");
                const long code = std::strtol(hex.c_str(), nullptr, 16);
                if (code >= 0x80)
                    return fail("non-ASCII \\u escape");
                out += static_cast<char>(code);
                pos_ += 4;
                break;
            }
            default:
                return fail("bad escape");
            }
        }
        return fail("unterminated string");
    }

    bool parse_array(JsonValue& value, int depth) {
        value.type = JsonValue::Type::array;
        ++pos_;
        skip_space();
        if (pos_ < text_.size() && text_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            JsonValue element;
            if (!parse_value(element, depth + 1))
                return false;
            value.array.push_back(element);
            skip_space();
            if (pos_ < text_.size() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] == ']') {
                ++pos_;
                return true;
            }
            return fail("expected ',' or ']'");
        }
    }

    bool parse_object(JsonValue& value, int depth) {
        value.type = JsonValue::Type::object;
        ++pos_;
        skip_space();
        if (pos_ < text_.size() && text_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            skip_space();
            if (pos_ >= text_.size() || text_[pos_] != '"')
                return fail("expected a key");
            std::string key;
            if (!parse_string(key))
                return false;
            if (value.object.count(key) != 0)
                return fail("duplicate key '" + key + "'");
            skip_space();
            if (pos_ >= text_.size() || text_[pos_] != ':')
                return fail("expected ':'");
            ++pos_;
            if (!parse_value(value.object[key], depth + 1))
                return false;
            skip_space();
            if (pos_ < text_.size() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] == '}') {
                ++pos_;
                return true;
            }
            return fail("expected ',' or '}'");
        }
    }

    const std::string& text_;
    std::size_t pos_ = 0;
    std::string error_;
};

} // namespace

bool parse_json(const std::string& text, JsonValue& value, std::string& error) {
    return Parser(text).parse_document(value, error);
}

} // namespace zrv::test
