#include "Ldap.h"

#include <ldap.h>

#include <memory>
#include <sys/time.h>

namespace nvserver {

namespace {

struct MessageFree {
    void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};
using Message = std::unique_ptr<LDAPMessage, MessageFree>;
struct ControlsFree {
    void operator()(LDAPControl** c) const { ldap_controls_free(c); }
};
using Controls = std::unique_ptr<LDAPControl*, ControlsFree>;

LdapEntry ReadEntry(LDAP* ld, LDAPMessage* e) {
    LdapEntry entry;
    if (char* dn = ldap_get_dn(ld, e)) {
        entry.dn = dn;
        ldap_memfree(dn);
    }
    BerElement* ber = nullptr;
    for (char* a = ldap_first_attribute(ld, e, &ber); a; a = ldap_next_attribute(ld, e, ber)) {
        auto& values = entry.attributes[a];
        if (berval** v = ldap_get_values_len(ld, e, a)) {
            for (berval** p = v; *p; ++p)
                values.emplace_back((*p)->bv_val, (*p)->bv_len);
            ldap_value_free_len(v);
        }
        ldap_memfree(a);
    }
    if (ber)
        ber_free(ber, 0);
    return entry;
}

std::vector<char*> AttributeList(const std::vector<std::string>& attributes) {
    std::vector<char*> list;
    for (const std::string& a : attributes)
        list.push_back(const_cast<char*>(a.c_str()));
    list.push_back(nullptr);
    return list;
}

} // namespace

const std::vector<std::string>& LdapEntry::Values(const std::string& name) const {
    static const std::vector<std::string> none;
    for (const auto& [n, v] : attributes)
        if (n.size() == name.size() && strncasecmp(n.c_str(), name.c_str(), n.size()) == 0)
            return v;
    return none;
}

std::string EscapeFilterValue(const std::string& value) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == 0) {
            out += '\\';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

std::string NormalDn(const std::string& dn) {
    std::string out = dn;
    char* pretty = nullptr;
    if (ldap_dn_normalize(dn.c_str(), LDAP_DN_FORMAT_LDAP, &pretty, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS &&
        pretty) {
        out = pretty;
        ldap_memfree(pretty);
    }
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

LdapConnection::LdapConnection(const DirectoryConfig& config)
    : timeoutSeconds_(config.timeoutSeconds), url_(config.url),
      tls_(config.startTls || config.url.rfind("ldaps://", 0) == 0) {
    if (ldap_initialize(&ld_, config.url.c_str()) != LDAP_SUCCESS || !ld_)
        throw LdapError("bad directory url " + config.url);
    const int version = LDAP_VERSION3;
    ldap_set_option(ld_, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(ld_, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    const timeval timeout{config.timeoutSeconds, 0};
    ldap_set_option(ld_, LDAP_OPT_NETWORK_TIMEOUT, &timeout);
    ldap_set_option(ld_, LDAP_OPT_TIMEOUT, &timeout);
    const int demand = LDAP_OPT_X_TLS_DEMAND;
    ldap_set_option(ld_, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
    if (!config.caFile.empty())
        ldap_set_option(ld_, LDAP_OPT_X_TLS_CACERTFILE, config.caFile.c_str());
    // A context of this connection's own, so that its CA is the one used.
    const int server = 0;
    ldap_set_option(ld_, LDAP_OPT_X_TLS_NEWCTX, &server);
    if (config.startTls) {
        const int rc = ldap_start_tls_s(ld_, nullptr, nullptr);
        if (rc != LDAP_SUCCESS)
            Fail("StartTLS with " + config.url + " failed", rc);
    }
}

LdapConnection::~LdapConnection() {
    if (ld_)
        ldap_unbind_ext_s(ld_, nullptr, nullptr);
}

void LdapConnection::Fail(const std::string& what, int rc) {
    std::string message = what + ": " + ldap_err2string(rc);
    if (rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR || rc == LDAP_TIMEOUT) {
        message = "cannot reach " + url_ + ": " + ldap_err2string(rc);
        // The library says no more when TLS fails than when nothing answers.
        if (rc != LDAP_TIMEOUT && tls_)
            message += " (down, or its certificate is not signed by ca_file for this host name)";
        throw LdapError(message);
    }
    char* diagnostic = nullptr;
    if (ldap_get_option(ld_, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic) == LDAP_OPT_SUCCESS && diagnostic) {
        if (*diagnostic && std::string(diagnostic) != "(unknown error code)")
            message += " (" + std::string(diagnostic) + ")";
        ldap_memfree(diagnostic);
    }
    throw LdapError(message, rc == LDAP_INVALID_CREDENTIALS);
}

void LdapConnection::Bind(const std::string& dn, const std::string& password) {
    if (password.empty())
        throw LdapError("an empty password is refused", true);
    berval cred{static_cast<ber_len_t>(password.size()), const_cast<char*>(password.data())};
    const int rc = ldap_sasl_bind_s(ld_, dn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    if (rc != LDAP_SUCCESS)
        Fail("bind as " + dn + " refused", rc);
}

void LdapConnection::Search(const std::string& base, const std::string& filter,
                            const std::vector<std::string>& attributes,
                            const std::function<void(const LdapEntry&)>& each, int pageSize) {
    std::vector<char*> attrs = AttributeList(attributes);
    berval cookie{0, nullptr};
    struct CookieFree {
        berval* b;
        ~CookieFree() { ber_memfree(b->bv_val); }
    } cookieFree{&cookie};
    timeval timeout{timeoutSeconds_, 0};
    do {
        LDAPControl* page = nullptr;
        int rc = ldap_create_page_control(ld_, pageSize, cookie.bv_val ? &cookie : nullptr, 1, &page);
        if (rc != LDAP_SUCCESS)
            Fail("paged search", rc);
        LDAPControl* controls[] = {page, nullptr};
        LDAPMessage* raw = nullptr;
        rc = ldap_search_ext_s(ld_, base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), attrs.data(), 0, controls,
                               nullptr, &timeout, LDAP_NO_LIMIT, &raw);
        ldap_control_free(page);
        Message result(raw);
        if (rc != LDAP_SUCCESS && rc != LDAP_NO_SUCH_OBJECT)
            Fail("search of " + base + " for " + filter + " failed", rc);
        if (rc == LDAP_NO_SUCH_OBJECT)
            return;
        for (LDAPMessage* e = ldap_first_entry(ld_, result.get()); e; e = ldap_next_entry(ld_, e))
            each(ReadEntry(ld_, e));
        LDAPControl** returned = nullptr;
        int code = LDAP_SUCCESS;
        rc = ldap_parse_result(ld_, result.get(), &code, nullptr, nullptr, nullptr, &returned, 0);
        Controls returnedControls(returned);
        if (rc != LDAP_SUCCESS)
            Fail("search of " + base, rc);
        ber_memfree(cookie.bv_val);
        cookie = {0, nullptr};
        if (LDAPControl* c = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, returned, nullptr)) {
            ber_int_t estimate = 0;
            if (ldap_parse_pageresponse_control(ld_, c, &estimate, &cookie) != LDAP_SUCCESS)
                cookie = {0, nullptr};
        }
    } while (cookie.bv_val && cookie.bv_len > 0);
}

bool LdapConnection::Read(const std::string& dn, const std::string& filter,
                          const std::vector<std::string>& attributes, LdapEntry& out) {
    std::vector<char*> attrs = AttributeList(attributes);
    timeval timeout{timeoutSeconds_, 0};
    LDAPMessage* raw = nullptr;
    const int rc = ldap_search_ext_s(ld_, dn.c_str(), LDAP_SCOPE_BASE, filter.c_str(), attrs.data(), 0, nullptr,
                                     nullptr, &timeout, 1, &raw);
    Message result(raw);
    if (rc == LDAP_NO_SUCH_OBJECT)
        return false;
    if (rc != LDAP_SUCCESS)
        Fail("read of " + dn + " failed", rc);
    LDAPMessage* e = ldap_first_entry(ld_, result.get());
    if (!e)
        return false;
    out = ReadEntry(ld_, e);
    return true;
}

} // namespace nvserver
