#include "console/Accounts.h"

#include <sodium.h>
#include <sqlite3.h>

namespace nvconsole {

std::optional<Role> ParseRole(const std::string& text) {
    if (text == "viewer")
        return Role::Viewer;
    if (text == "operator")
        return Role::Operator;
    if (text == "admin")
        return Role::Admin;
    return std::nullopt;
}

const char* RoleName(Role role) {
    switch (role) {
    case Role::Viewer:
        return "viewer";
    case Role::Operator:
        return "operator";
    case Role::Admin:
        return "admin";
    }
    return "viewer";
}

const char* RoleScope(Role role) {
    switch (role) {
    case Role::Viewer:
        return "read";
    case Role::Operator:
        return "send";
    case Role::Admin:
        return "admin";
    }
    return "read";
}

bool IsValidUserName(const std::string& name) {
    if (name.empty() || name.size() > 64)
        return false;
    for (unsigned char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '@' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

std::string HashPassword(const std::string& password) {
    if (sodium_init() < 0)
        return {};
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return {};
    return out;
}

bool VerifyPassword(const std::string& hash, const std::string& password) {
    if (sodium_init() < 0 || hash.empty())
        return false;
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

namespace {

struct Statement {
    sqlite3_stmt* s = nullptr;
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
    ~Statement() { sqlite3_finalize(s); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    void Bind(int i, const std::string& v) {
        sqlite3_bind_text(s, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
    }
    std::string Text(int i) const {
        const auto* p = sqlite3_column_text(s, i);
        return p ? reinterpret_cast<const char*>(p) : "";
    }
};

std::optional<User> ReadUser(const Statement& st) {
    auto role = ParseRole(st.Text(1));
    if (!role)
        return std::nullopt;
    return User{st.Text(0), *role, st.Text(2)};
}

} // namespace

bool UserStore::EnsureSchema() {
    return sqlite3_exec(db_,
                        "CREATE TABLE IF NOT EXISTS console_users ("
                        " name TEXT PRIMARY KEY NOT NULL,"
                        " role TEXT NOT NULL CHECK (role IN ('viewer','operator','admin')),"
                        " password_hash TEXT NOT NULL,"
                        " created_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ','now')))",
                        nullptr, nullptr, nullptr) == SQLITE_OK;
}

UserResult UserStore::Add(const User& user) {
    if (!IsValidUserName(user.name))
        return UserResult::BadName;
    Statement st(db_, "INSERT INTO console_users (name, role, password_hash) VALUES (?, ?, ?)");
    if (!st.s)
        return UserResult::StoreFailed;
    st.Bind(1, user.name);
    st.Bind(2, RoleName(user.role));
    st.Bind(3, user.passwordHash);
    const int rc = sqlite3_step(st.s);
    if (rc == SQLITE_DONE)
        return UserResult::Ok;
    return sqlite3_extended_errcode(db_) == SQLITE_CONSTRAINT_PRIMARYKEY ? UserResult::Exists
                                                                         : UserResult::StoreFailed;
}

UserResult UserStore::Change(const char* sql, const std::string& a, const std::string& name) {
    Statement st(db_, sql);
    if (!st.s)
        return UserResult::StoreFailed;
    st.Bind(1, a);
    st.Bind(2, name);
    if (sqlite3_step(st.s) != SQLITE_DONE)
        return UserResult::StoreFailed;
    return sqlite3_changes(db_) == 1 ? UserResult::Ok : UserResult::NotFound;
}

// The check and the change are one statement, so two administrators
// demoting each other at once cannot both succeed.
constexpr char kAnotherAdmin[] =
    "(role <> 'admin' OR (SELECT count(*) FROM console_users WHERE role = 'admin') > 1)";

UserResult UserStore::SetRole(const std::string& name, Role role) {
    const std::string sql = std::string("UPDATE console_users SET role = ?1 WHERE name = ?2 AND (?1 = "
                                        "'admin' OR ") + kAnotherAdmin + ")";
    const UserResult r = Change(sql.c_str(), RoleName(role), name);
    return r == UserResult::NotFound && Find(name) ? UserResult::LastAdmin : r;
}

UserResult UserStore::SetPassword(const std::string& name, const std::string& hash) {
    return Change("UPDATE console_users SET password_hash = ? WHERE name = ?", hash, name);
}

UserResult UserStore::Remove(const std::string& name) {
    const std::string sql = std::string("DELETE FROM console_users WHERE name = ? AND ") + kAnotherAdmin;
    Statement st(db_, sql.c_str());
    if (!st.s)
        return UserResult::StoreFailed;
    st.Bind(1, name);
    if (sqlite3_step(st.s) != SQLITE_DONE)
        return UserResult::StoreFailed;
    if (sqlite3_changes(db_) == 1)
        return UserResult::Ok;
    return Find(name) ? UserResult::LastAdmin : UserResult::NotFound;
}

std::optional<User> UserStore::Find(const std::string& name) const {
    Statement st(db_, "SELECT name, role, password_hash FROM console_users WHERE name = ?");
    if (!st.s)
        return std::nullopt;
    st.Bind(1, name);
    if (sqlite3_step(st.s) != SQLITE_ROW)
        return std::nullopt;
    return ReadUser(st);
}

std::vector<User> UserStore::List() const {
    std::vector<User> users;
    Statement st(db_, "SELECT name, role, password_hash FROM console_users ORDER BY name");
    while (st.s && sqlite3_step(st.s) == SQLITE_ROW)
        if (auto u = ReadUser(st))
            users.push_back(*u);
    return users;
}

} // namespace nvconsole
