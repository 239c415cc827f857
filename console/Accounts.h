// Console users: roles, password hashes and the table that holds them.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct sqlite3;

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

// Users live in the server's database, in a table of their own.
class UserStore {
  public:
    explicit UserStore(sqlite3* db) : db_(db) {}
    [[nodiscard]] bool EnsureSchema();
    [[nodiscard]] UserResult Add(const User& user);
    [[nodiscard]] UserResult SetRole(const std::string& name, Role role);
    [[nodiscard]] UserResult SetPassword(const std::string& name, const std::string& hash);
    [[nodiscard]] UserResult Remove(const std::string& name);
    std::optional<User> Find(const std::string& name) const;
    std::vector<User> List() const;

  private:
    UserResult Change(const char* sql, const std::string& a, const std::string& b);
    sqlite3* db_;
};

} // namespace nvconsole
