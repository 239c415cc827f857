#include "console/Accounts.h"

#include <sodium.h>

#include <ctime>

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

using nvserver::db::DbError;
using nvserver::db::Statement;
using nvserver::db::Transaction;

std::optional<User> ReadUser(Statement& st) {
    auto role = ParseRole(st.Text(1));
    if (!role)
        return std::nullopt;
    return User{st.Text(0), *role, st.Text(2)};
}

std::string UtcNow() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char out[32];
    std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return out;
}

// Checked by the statement that makes the change, inside the transaction
// that ChangeKeepingAnAdmin holds.
constexpr char kAnotherAdmin[] =
    "(role <> 'admin' OR (SELECT count(*) FROM console_users WHERE role = 'admin') > 1)";

} // namespace

std::int64_t UserStore::Change(const std::string& sql, const std::vector<std::string>& args) {
    auto st = db_->Prepare(sql);
    for (std::size_t i = 0; i < args.size(); ++i)
        st->Bind(static_cast<int>(i + 1), args[i]);
    while (st->Step()) {
    }
    return st->Changes();
}

template <class F> auto UserStore::Retrying(F f) -> decltype(f()) {
    std::lock_guard lock(mutex_);
    // A connection that the database dropped (a restart) learns it from
    // its next statement, which fails; the one after connects again.
    try {
        return f();
    } catch (const DbError& e) {
        if (!e.unavailable)
            throw;
    }
    return f();
}

template <class F> UserResult UserStore::Changing(F f) {
    try {
        return Retrying(f);
    } catch (const DbError&) {
        return UserResult::StoreFailed;
    }
}

UserResult UserStore::Add(const User& user) {
    if (!IsValidUserName(user.name))
        return UserResult::BadName;
    return Changing([&] {
        const auto n = Change("INSERT INTO console_users (name, role, password_hash, created_at) "
                              "VALUES (?, ?, ?, ?) ON CONFLICT (name) DO NOTHING",
                              {user.name, RoleName(user.role), user.passwordHash, UtcNow()});
        return n == 1 ? UserResult::Ok : UserResult::Exists;
    });
}

UserResult UserStore::ChangeKeepingAnAdmin(const std::string& sql,
                                           const std::vector<std::string>& args,
                                           const std::string& name) {
    return Changing([&] {
        // PostgreSQL's statements each see the rows committed when they
        // begin: without the lock, two nodes demoting the last two admins
        // at once would each count the other and both succeed.
        Transaction t(*db_, true);
        const auto n = Change(sql, args);
        const bool exists = n == 1 || FindLocked(name).has_value();
        t.Commit();
        return n == 1 ? UserResult::Ok : exists ? UserResult::LastAdmin : UserResult::NotFound;
    });
}

UserResult UserStore::SetRole(const std::string& name, Role role) {
    if (role == Role::Admin)
        return Changing([&] {
            const auto n = Change("UPDATE console_users SET role = 'admin' WHERE name = ?", {name});
            return n == 1 ? UserResult::Ok : UserResult::NotFound;
        });
    return ChangeKeepingAnAdmin(std::string("UPDATE console_users SET role = ? WHERE name = ? AND ") +
                                    kAnotherAdmin,
                                {RoleName(role), name}, name);
}

UserResult UserStore::SetPassword(const std::string& name, const std::string& hash) {
    return Changing([&] {
        const auto n = Change("UPDATE console_users SET password_hash = ? WHERE name = ?", {hash, name});
        return n == 1 ? UserResult::Ok : UserResult::NotFound;
    });
}

UserResult UserStore::Remove(const std::string& name) {
    return ChangeKeepingAnAdmin(std::string("DELETE FROM console_users WHERE name = ? AND ") +
                                    kAnotherAdmin,
                                {name}, name);
}

std::optional<User> UserStore::FindLocked(const std::string& name) {
    auto st = db_->Prepare("SELECT name, role, password_hash FROM console_users WHERE name = ?");
    st->Bind(1, name);
    if (!st->Step())
        return std::nullopt;
    return ReadUser(*st);
}

std::optional<User> UserStore::Find(const std::string& name) {
    return Retrying([&] { return FindLocked(name); });
}

std::vector<User> UserStore::List() {
    return Retrying([&] {
        std::vector<User> users;
        auto st = db_->Prepare("SELECT name, role, password_hash FROM console_users ORDER BY name");
        while (st->Step())
            if (auto u = ReadUser(*st))
                users.push_back(*u);
        return users;
    });
}

} // namespace nvconsole
