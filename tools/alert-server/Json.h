// Just enough JSON for the admin protocol and the event lines: parse one
// value from a line, write strings and numbers.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace alertsrv {

struct JsonValue {
    enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string text; // UTF-8
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;

    const JsonValue* Find(const std::string& key) const;
    // The member's text when it is a string, else the fallback.
    std::string String(const std::string& key, const std::string& fallback = {}) const;
};

// False (with a short reason) on anything but exactly one value.
bool ParseJson(const std::string& input, JsonValue& out, std::string& error);

// A quoted JSON string; the input is taken as UTF-8, control bytes escaped.
std::string JsonQuote(const std::string& utf8);

} // namespace alertsrv
