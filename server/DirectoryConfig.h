// The directory connection's settings, read from a file of "key = value"
// lines ('#' starts a comment). Defaults fit Active Directory.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace nvserver {

struct DirectoryError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct DirectoryConfig {
    std::string url;             // ldap://HOST[:PORT] or ldaps://HOST[:PORT]
    bool startTls = false;
    std::string caFile;          // empty: the system's trusted authorities
    std::string bindDn, bindPassword;
    std::string baseDn, userBase, computerBase, groupBase; // the bases default to baseDn
    int syncMinutes = 5;
    int timeoutSeconds = 10;
    int roleCheckSeconds = 120; // how often a console session's role is looked up again
    std::string adminGroup, operatorGroup, viewerGroup;
    std::string userAttribute = "sAMAccountName";
    std::string computerAttribute = "cn";
    std::string memberAttribute = "member";
    std::string groupClass = "group";
    std::string userFilter = "(&(objectClass=user)(!(objectClass=computer)))";
    std::string computerFilter = "(objectClass=computer)";
    // The domain names (NetBIOS "CORP", DNS "corp.example.org") that may
    // qualify a name: "CORP\alice", "alice@corp.example.org", "pc01.corp.example.org".
    std::vector<std::string> domains;
};

// Throws DirectoryError naming the line at fault. The bind password is read
// from bind_password_file (relative paths from the configuration's folder).
DirectoryConfig ParseDirectoryConfig(const std::string& text, const std::string& folder);
DirectoryConfig LoadDirectoryConfig(const std::string& path);

} // namespace nvserver
