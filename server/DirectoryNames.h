// How a station's names meet the directory's. Windows knows a user as
// "alice", "CORP\alice" or "alice@corp.example.org" and a computer as "PC01"
// or "pc01.corp.example.org"; the directory as sAMAccountName/uid and cn or
// dNSHostName. Both sides are reduced to the bare account name, without
// case. A qualified name from a station counts only when its qualifier is
// one of the configured domains: "OTHER\alice" is someone else's alice.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nvserver {

// A station's user name as a key, or nothing when it names another domain.
std::optional<std::string> StationUserKey(const std::string& name, const std::vector<std::string>& domains);
// A station's computer name ("PC01", "PC01$", "pc01.corp.example.org").
std::optional<std::string> StationComputerKey(const std::string& name, const std::vector<std::string>& domains);
// A name read from the directory, trusted whatever its qualifier.
std::string DirectoryUserKey(const std::string& value);
std::string DirectoryComputerKey(const std::string& value);

} // namespace nvserver
