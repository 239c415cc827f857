#include "LdapRange.h"

#include <strings.h>

namespace nvserver {

namespace {

bool SameText(const std::string& a, std::size_t from, std::size_t n, const std::string& b) {
    return n == b.size() && strncasecmp(a.c_str() + from, b.c_str(), n) == 0;
}

// "range=LOW-HIGH" or "range=LOW-*" among a name's options; false when absent or malformed.
bool ParseRange(const std::string& name, std::size_t optionsAt, std::size_t& low, std::size_t& high,
                bool& toEnd) {
    for (std::size_t at = optionsAt; at != std::string::npos && at < name.size();) {
        const std::size_t end = name.find(';', at);
        const std::string option = name.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? end : end + 1;
        if (option.size() < 6 || strncasecmp(option.c_str(), "range=", 6) != 0)
            continue;
        const std::size_t dash = option.find('-', 6);
        const std::string a = option.substr(6, dash == std::string::npos ? 0 : dash - 6);
        const std::string b = dash == std::string::npos ? "" : option.substr(dash + 1);
        auto number = [](const std::string& s, std::size_t& out) {
            if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos)
                return false;
            out = std::stoul(s);
            return true;
        };
        toEnd = b == "*";
        return number(a, low) && (toEnd || (number(b, high) && high >= low));
    }
    return false;
}

} // namespace

AttributeSlice SliceOf(const LdapEntry& entry, const std::string& attribute) {
    AttributeSlice slice;
    for (const auto& [name, values] : entry.attributes) {
        const std::size_t semi = name.find(';');
        if (!SameText(name, 0, semi == std::string::npos ? name.size() : semi, attribute))
            continue;
        if (semi == std::string::npos)
            return {&values, true, 0};
        std::size_t low = 0, high = 0;
        bool toEnd = false;
        if (!ParseRange(name, semi + 1, low, high, toEnd))
            continue;
        slice = {&values, toEnd, toEnd ? 0 : high + 1};
    }
    return slice;
}

std::string RangeRequest(const std::string& attribute, std::size_t from) {
    return attribute + ";range=" + std::to_string(from) + "-*";
}

void EachValue(const LdapEntry& first, const std::string& attribute,
               const std::function<bool(const std::string&, LdapEntry&)>& read,
               const std::function<void(const std::string&)>& each) {
    AttributeSlice slice = SliceOf(first, attribute);
    LdapEntry more;
    std::size_t from = 0;
    for (;;) {
        if (!slice.values)
            return;
        for (const std::string& v : *slice.values)
            each(v);
        if (slice.complete)
            return;
        if (slice.next <= from)
            throw LdapError(first.dn + ": the slices of " + attribute + " do not move on");
        from = slice.next;
        if (!read(RangeRequest(attribute, from), more))
            return;
        slice = SliceOf(more, attribute);
        if (!slice.values)
            throw LdapError(first.dn + ": no slice of " + attribute + " from " + std::to_string(from));
    }
}

} // namespace nvserver
