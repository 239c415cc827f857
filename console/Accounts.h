// Console users: roles, password hashes and the table that holds them.
#pragma once

#include "server/Db.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace nvconsole {

enum class Role { Viewer, Operator, Admin };

std::optional<Role> ParseRole(const std::string& text);
const char* RoleName(Role role);
// The API scope a role grants: viewer reads, operator sends, admin administers.
const char* RoleScope(Role role);

// Letters, digits and . _ @ -, 1 to 64 characters: names travel in cookies,
// audit lines and URLs without escaping.
bool IsValidUserName(const std::string& name);

// Argon2id, libsodium's interactive limits. Empty when hashing fails (memory).
std::string HashPassword(const std::string& password);
bool VerifyPassword(const std::string& hash, const std::string& password);

struct User {
    std::string name;
    Role role = Role::Viewer;
    std::string passwordHash;
};

// LastAdmin: the change would leave nobody able to manage the console.
enum class UserResult { Ok, Exists, NotFound, BadName, StoreFailed, LastAdmin };

// Users live in the server's database, in a table of their own that the
// server's schema creates: the SQLite file of one node, or the PostgreSQL
// database that every node shares. One connection, used by one thread at a
// time. Find and List throw db::DbError when the database cannot answer, so
// that a database out of reach is never taken for a user who is gone.
class UserStore {
  public:
    explicit UserStore(std::unique_ptr<nvserver::db::Connection> db) : db_(std::move(db)) {}
    [[nodiscard]] UserResult Add(const User& user);
    [[nodiscard]] UserResult SetRole(const std::string& name, Role role);
    [[nodiscard]] UserResult SetPassword(const std::string& name, const std::string& hash);
    [[nodiscard]] UserResult Remove(const std::string& name);
    std::optional<User> Find(const std::string& name);
    std::vector<User> List();

  private:
    // Rows changed; throws db::DbError.
    std::int64_t Change(const std::string& sql, const std::vector<std::string>& args);
    // Holds the connection and runs f, once more when the link was lost.
    template <class F> auto Retrying(F f) -> decltype(f());
    // The same for a change, whose failure is StoreFailed.
    template <class F> UserResult Changing(F f);
    // A change that must leave an administrator: checked and made in one
    // transaction that holds the database-wide lock.
    UserResult ChangeKeepingAnAdmin(const std::string& sql, const std::vector<std::string>& args,
                                    const std::string& name);
    std::optional<User> FindLocked(const std::string& name);

    std::mutex mutex_;
    std::unique_ptr<nvserver::db::Connection> db_;
};

} // namespace nvconsole
