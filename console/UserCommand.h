// `nivaxel-server user add|list|remove|role`: console users, straight on the
// database (the SQLite file of --data, or the PostgreSQL of --database), run
// by the local administrator.
#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace nvconsole {

class UserStore;

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

// The database the command works on, and the audit log beside the accounts.
class UserCommandHost {
  public:
    virtual ~UserCommandHost() = default;
    // `database` when given, else DIR's file; null after writing why to err.
    virtual std::unique_ptr<UserStore> Open(const std::string& dataDir, const std::string& database,
                                            std::ostream& err) = 0;
    // One audit line for a change made; false when it was lost.
    virtual bool Audit(const std::string& action, const std::string& detail) = 0;
};

// args are those after "user". Returns the exit status.
int RunUserCommand(const std::vector<std::string>& args, PasswordInput& input, std::ostream& out,
                   std::ostream& err, UserCommandHost& host);

} // namespace nvconsole
