#include "DirectoryConfig.h"

#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace nvserver {

namespace {

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return "";
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::string ReadFile(const std::string& path, const std::string& what) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw DirectoryError("cannot read " + what + " " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Resolve(const std::string& path, const std::string& folder) {
    return path.empty() || path[0] == '/' || folder.empty() ? path : folder + "/" + path;
}

} // namespace

DirectoryConfig ParseDirectoryConfig(const std::string& text, const std::string& folder) {
    DirectoryConfig c;
    std::string passwordFile;
    auto yesNo = [](const std::string& v, bool& out) {
        if (v != "yes" && v != "no")
            throw std::invalid_argument("yes or no");
        out = v == "yes";
    };
    auto number = [](int low, int high) {
        return [low, high](const std::string& v, int& out) {
            if (v.empty() || v.size() > 6 || v.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(v) < low || std::stoi(v) > high)
                throw std::invalid_argument("a whole number from " + std::to_string(low) + " to " +
                                            std::to_string(high));
            out = std::stoi(v);
        };
    };
    const std::map<std::string, std::function<void(const std::string&)>> keys = {
        {"url", [&](const std::string& v) { c.url = v; }},
        {"starttls", [&](const std::string& v) { yesNo(v, c.startTls); }},
        {"ca_file", [&](const std::string& v) { c.caFile = Resolve(v, folder); }},
        {"bind_dn", [&](const std::string& v) { c.bindDn = v; }},
        {"bind_password_file", [&](const std::string& v) { passwordFile = Resolve(v, folder); }},
        {"base_dn", [&](const std::string& v) { c.baseDn = v; }},
        {"user_base", [&](const std::string& v) { c.userBase = v; }},
        {"computer_base", [&](const std::string& v) { c.computerBase = v; }},
        {"group_base", [&](const std::string& v) { c.groupBase = v; }},
        {"sync_minutes", [&](const std::string& v) { number(1, 1440)(v, c.syncMinutes); }},
        {"timeout_seconds", [&](const std::string& v) { number(1, 300)(v, c.timeoutSeconds); }},
        {"role_check_seconds", [&](const std::string& v) { number(1, 3600)(v, c.roleCheckSeconds); }},
        {"admin_group", [&](const std::string& v) { c.adminGroup = v; }},
        {"operator_group", [&](const std::string& v) { c.operatorGroup = v; }},
        {"viewer_group", [&](const std::string& v) { c.viewerGroup = v; }},
        {"user_attribute", [&](const std::string& v) { c.userAttribute = v; }},
        {"computer_attribute", [&](const std::string& v) { c.computerAttribute = v; }},
        {"member_attribute", [&](const std::string& v) { c.memberAttribute = v; }},
        {"group_class", [&](const std::string& v) { c.groupClass = v; }},
        {"user_filter", [&](const std::string& v) { c.userFilter = v; }},
        {"computer_filter", [&](const std::string& v) { c.computerFilter = v; }},
        {"domains",
         [&](const std::string& v) {
             std::istringstream s(v);
             for (std::string d; std::getline(s, d, ',');)
                 if (!Trim(d).empty())
                     c.domains.push_back(Trim(d));
         }},
    };
    std::istringstream in(text);
    int number_ = 0;
    for (std::string line; std::getline(in, line);) {
        ++number_;
        const std::string where = "line " + std::to_string(number_) + ": ";
        line = Trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            throw DirectoryError(where + "expected key = value");
        const std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
        if (key == "bind_password")
            throw DirectoryError(where + "the password goes in a file: bind_password_file");
        const auto k = keys.find(key);
        if (k == keys.end())
            throw DirectoryError(where + "unknown key " + key);
        try {
            k->second(value);
        } catch (const std::invalid_argument& e) {
            throw DirectoryError(where + key + " must be " + e.what());
        }
    }
    if (c.url.rfind("ldap://", 0) != 0 && c.url.rfind("ldaps://", 0) != 0)
        throw DirectoryError("url must start with ldap:// or ldaps://");
    if (c.startTls && c.url.rfind("ldaps://", 0) == 0)
        throw DirectoryError("starttls = yes is for ldap:// urls; ldaps:// is encrypted already");
    if (c.baseDn.empty())
        throw DirectoryError("base_dn is missing");
    for (std::string* b : {&c.userBase, &c.computerBase, &c.groupBase})
        if (b->empty())
            *b = c.baseDn;
    if (!c.bindDn.empty()) {
        if (passwordFile.empty())
            throw DirectoryError("bind_dn needs bind_password_file");
        c.bindPassword = ReadFile(passwordFile, "bind_password_file");
        while (!c.bindPassword.empty() && (c.bindPassword.back() == '\n' || c.bindPassword.back() == '\r'))
            c.bindPassword.pop_back();
        if (c.bindPassword.empty())
            throw DirectoryError("bind_password_file is empty");
    }
    return c;
}

DirectoryConfig LoadDirectoryConfig(const std::string& path) {
    const auto slash = path.rfind('/');
    return ParseDirectoryConfig(ReadFile(path, "directory configuration"),
                                slash == std::string::npos ? "." : path.substr(0, slash));
}

} // namespace nvserver
