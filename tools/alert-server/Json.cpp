#include "Json.h"

#include <cstdlib>

namespace alertsrv {

const JsonValue* JsonValue::Find(const std::string& key) const {
    if (type != Type::Object)
        return nullptr;
    for (const auto& m : members)
        if (m.first == key)
            return &m.second;
    return nullptr;
}

std::string JsonValue::String(const std::string& key, const std::string& fallback) const {
    const JsonValue* v = Find(key);
    return v && v->type == Type::String ? v->text : fallback;
}

namespace {

constexpr int kMaxDepth = 32;

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

class Parser {
  public:
    explicit Parser(const std::string& s) : s_(s) {}

    bool Document(JsonValue& out, std::string& error) {
        if (!Value(out, 0) || (SkipSpace(), p_ != s_.size())) {
            error = error_.empty() ? "trailing characters" : error_;
            return false;
        }
        return true;
    }

  private:
    bool Fail(const char* why) {
        if (error_.empty())
            error_ = why;
        return false;
    }
    void SkipSpace() {
        while (p_ < s_.size() &&
               (s_[p_] == ' ' || s_[p_] == '\t' || s_[p_] == '\r' || s_[p_] == '\n'))
            ++p_;
    }
    bool Literal(const char* word) {
        const std::string w(word);
        if (s_.compare(p_, w.size(), w) != 0)
            return Fail("unknown literal");
        p_ += w.size();
        return true;
    }

    bool Value(JsonValue& v, int depth) {
        if (depth > kMaxDepth)
            return Fail("nested too deeply");
        SkipSpace();
        if (p_ >= s_.size())
            return Fail("unexpected end");
        const char c = s_[p_];
        if (c == '{')
            return Object(v, depth);
        if (c == '[')
            return Array(v, depth);
        if (c == '"') {
            v.type = JsonValue::Type::String;
            return StringBody(v.text);
        }
        if (c == 't' || c == 'f') {
            v.type = JsonValue::Type::Bool;
            v.boolean = c == 't';
            return Literal(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            v.type = JsonValue::Type::Null;
            return Literal("null");
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            const char* start = s_.c_str() + p_;
            char* end = nullptr;
            v.type = JsonValue::Type::Number;
            v.number = std::strtod(start, &end);
            if (end == start)
                return Fail("bad number");
            p_ += static_cast<std::size_t>(end - start);
            return true;
        }
        return Fail("unexpected character");
    }

    bool Object(JsonValue& v, int depth) {
        v.type = JsonValue::Type::Object;
        ++p_;
        SkipSpace();
        if (p_ < s_.size() && s_[p_] == '}') {
            ++p_;
            return true;
        }
        for (;;) {
            SkipSpace();
            if (p_ >= s_.size() || s_[p_] != '"')
                return Fail("expected a member name");
            std::string key;
            if (!StringBody(key))
                return false;
            SkipSpace();
            if (p_ >= s_.size() || s_[p_] != ':')
                return Fail("expected ':'");
            ++p_;
            JsonValue member;
            if (!Value(member, depth + 1))
                return false;
            v.members.emplace_back(std::move(key), std::move(member));
            SkipSpace();
            if (p_ < s_.size() && s_[p_] == ',') {
                ++p_;
                continue;
            }
            if (p_ < s_.size() && s_[p_] == '}') {
                ++p_;
                return true;
            }
            return Fail("expected ',' or '}'");
        }
    }

    bool Array(JsonValue& v, int depth) {
        v.type = JsonValue::Type::Array;
        ++p_;
        SkipSpace();
        if (p_ < s_.size() && s_[p_] == ']') {
            ++p_;
            return true;
        }
        for (;;) {
            JsonValue item;
            if (!Value(item, depth + 1))
                return false;
            v.items.push_back(std::move(item));
            SkipSpace();
            if (p_ < s_.size() && s_[p_] == ',') {
                ++p_;
                continue;
            }
            if (p_ < s_.size() && s_[p_] == ']') {
                ++p_;
                return true;
            }
            return Fail("expected ',' or ']'");
        }
    }

    bool Hex4(std::uint32_t& out) {
        if (p_ + 4 > s_.size())
            return Fail("short \\u escape");
        out = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = s_[p_++];
            out <<= 4;
            if (c >= '0' && c <= '9')
                out |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                out |= static_cast<std::uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                out |= static_cast<std::uint32_t>(c - 'A' + 10);
            else
                return Fail("bad \\u escape");
        }
        return true;
    }

    bool StringBody(std::string& out) {
        ++p_; // opening quote
        while (p_ < s_.size()) {
            const char c = s_[p_++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return Fail("control character in string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (p_ >= s_.size())
                break;
            const char e = s_[p_++];
            switch (e) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
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
            case 'u': {
                std::uint32_t cp;
                if (!Hex4(cp))
                    return false;
                if (cp >= 0xD800 && cp < 0xDC00 && p_ + 1 < s_.size() && s_[p_] == '\\' &&
                    s_[p_ + 1] == 'u') {
                    p_ += 2;
                    std::uint32_t low;
                    if (!Hex4(low))
                        return false;
                    if (low >= 0xDC00 && low < 0xE000)
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    else
                        cp = 0xFFFD;
                } else if (cp >= 0xD800 && cp < 0xE000) {
                    cp = 0xFFFD;
                }
                AppendUtf8(out, cp);
                break;
            }
            default:
                return Fail("bad escape");
            }
        }
        return Fail("unterminated string");
    }

    const std::string& s_;
    std::size_t p_ = 0;
    std::string error_;
};

} // namespace

bool ParseJson(const std::string& input, JsonValue& out, std::string& error) {
    out = JsonValue();
    return Parser(input).Document(out, error);
}

std::string JsonQuote(const std::string& utf8) {
    static const char* hex = "0123456789abcdef";
    std::string out = "\"";
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

} // namespace alertsrv
