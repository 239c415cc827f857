// `nivaxel-server user add|list|remove|role`: console users, straight on the
// database, run by the local administrator on the server's machine.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

struct sqlite3;

namespace nvconsole {

// Where passwords come from: a terminal without echo, or lines on stdin.
class PasswordInput {
  public:
    virtual ~PasswordInput() = default;
    virtual bool IsTerminal() = 0;
    // One line without its end; nullopt at end of input.
    virtual std::optional<std::string> ReadLine(const char* prompt) = 0;
};

// Standard input; on a terminal the prompt goes to stderr and echo is off.
class StdinPasswordInput : public PasswordInput {
  public:
    bool IsTerminal() override;
    std::optional<std::string> ReadLine(const char* prompt) override;
};

// Asks twice and returns the password, or nullopt after writing why to err.
std::optional<std::string> ReadNewPassword(PasswordInput& input, std::ostream& err);

constexpr std::size_t kMinPasswordLength = 8;
// The database file under --data DIR, shared with the server.
constexpr const char* kDatabaseFile = "nivaxel.db";

struct Sqlite3Close {
    void operator()(sqlite3* db) const;
};
using UserDatabase = std::unique_ptr<sqlite3, Sqlite3Close>;
// Opens DIR's database with the users table ready; null after writing why to err.
UserDatabase OpenUserDatabase(const std::string& dir, std::ostream& err);

// Writes one audit line for a change made under --data DIR; false when it was lost.
using CommandAudit = std::function<bool(const std::string& dataDir, const std::string& action,
                                        const std::string& detail)>;

// args are those after "user". Returns the exit status.
int RunUserCommand(const std::vector<std::string>& args, PasswordInput& input, std::ostream& out,
                   std::ostream& err, const CommandAudit& audit = {});

} // namespace nvconsole
