// A connection to an LDAP server over OpenLDAP's client library: LDAP with
// StartTLS, or LDAPS; simple binds; searches read page by page.
#pragma once

#include "DirectoryConfig.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

typedef struct ldap LDAP;

namespace nvserver {

// A failure to reach or use the directory; invalidCredentials tells a
// refused bind from a broken connection.
struct LdapError : DirectoryError {
    LdapError(const std::string& what, bool invalid = false) : DirectoryError(what), invalidCredentials(invalid) {}
    bool invalidCredentials;
};

struct LdapEntry {
    std::string dn;
    // Attribute names as the server spells them; values as bytes.
    std::map<std::string, std::vector<std::string>> attributes;
    const std::vector<std::string>& Values(const std::string& name) const;
};

// A value put inside a search filter: '*', '(', ')', '\' and NUL escaped.
std::string EscapeFilterValue(const std::string& value);
// A DN in one spelling for comparison: extra spaces dropped, lower case.
std::string NormalDn(const std::string& dn);

class LdapConnection {
public:
    // Connects (and negotiates TLS) per the configuration; throws LdapError.
    explicit LdapConnection(const DirectoryConfig& config);
    ~LdapConnection();
    LdapConnection(const LdapConnection&) = delete;
    LdapConnection& operator=(const LdapConnection&) = delete;

    // An empty password is refused here: LDAP would take it as an
    // unauthenticated bind and answer success.
    void Bind(const std::string& dn, const std::string& password);
    // Calls `each` for every entry below base matching filter, fetching
    // pageSize entries at a time so that memory stays bounded.
    void Search(const std::string& base, const std::string& filter, const std::vector<std::string>& attributes,
                const std::function<void(const LdapEntry&)>& each, int pageSize = 500);
    // The one entry at dn, if it matches filter.
    bool Read(const std::string& dn, const std::string& filter, const std::vector<std::string>& attributes,
              LdapEntry& out);

private:
    [[noreturn]] void Fail(const std::string& what, int rc);
    LDAP* ld_ = nullptr;
    int timeoutSeconds_;
    std::string url_;
    bool tls_;
};

} // namespace nvserver
