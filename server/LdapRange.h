// Active Directory hands out a multi-valued attribute of more values than
// its limit (1,500 by default) in slices: the entry carries
// "member;range=0-1499" instead of "member", and the rest is asked for by
// name ("member;range=1500-*") until a slice's name ends in "-*".
#pragma once

#include "Ldap.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace nvserver {

struct AttributeSlice {
    const std::vector<std::string>* values = nullptr; // null: the entry has none of it
    bool complete = true;                             // nothing more to ask for
    std::size_t next = 0;                             // the first value of the next slice
};

// The attribute's values in the entry, whole or as a slice.
AttributeSlice SliceOf(const LdapEntry& entry, const std::string& attribute);
// The name that asks for the values from `from` on: "member;range=1500-*".
std::string RangeRequest(const std::string& attribute, std::size_t from);

// Calls `each` for every value of the attribute: those of `first`, then of
// each slice `read` fetches (false: the entry is gone). A slice that does
// not move on is an LdapError rather than a loop.
void EachValue(const LdapEntry& first, const std::string& attribute,
               const std::function<bool(const std::string& request, LdapEntry& out)>& read,
               const std::function<void(const std::string& value)>& each);

} // namespace nvserver
