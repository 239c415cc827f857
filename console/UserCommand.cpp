#include "console/UserCommand.h"

#include "console/Accounts.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <memory>

namespace nvconsole {

std::optional<std::string> ReadNewPassword(PasswordInput& input, std::ostream& err) {
    const bool tty = input.IsTerminal();
    auto first = input.ReadLine("Password: ");
    if (!first) {
        err << "nivaxel-server: no password given" << (tty ? "" : " (two lines on standard input)")
            << "\n";
        return std::nullopt;
    }
    if (first->size() < kMinPasswordLength) {
        err << "nivaxel-server: password too short (at least " << kMinPasswordLength
            << " characters)\n";
        return std::nullopt;
    }
    auto second = input.ReadLine("Password again: ");
    if (!second) {
        err << "nivaxel-server: password not repeated"
            << (tty ? "" : " (two lines on standard input)") << "\n";
        return std::nullopt;
    }
    if (*first != *second) {
        err << "nivaxel-server: the two passwords differ\n";
        return std::nullopt;
    }
    return first;
}

namespace {

const char kUsage[] = "usage:\n"
                      "  nivaxel-server user add NAME --role admin|operator|viewer --data DIR\n"
                      "  nivaxel-server user role NAME --role admin|operator|viewer --data DIR\n"
                      "  nivaxel-server user password NAME --data DIR\n"
                      "  nivaxel-server user remove NAME --data DIR\n"
                      "  nivaxel-server user list --data DIR\n";

} // namespace

void Sqlite3Close::operator()(sqlite3* db) const {
    sqlite3_close(db);
}

UserDatabase OpenUserDatabase(const std::string& dir, std::ostream& err) {
    ::mkdir(dir.c_str(), 0700); // the first user may come before the server's first start
    const std::string path = dir + "/" + kDatabaseFile;
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    UserDatabase db(raw);
    if (rc != SQLITE_OK) {
        err << "nivaxel-server: cannot open " << path << ": "
            << (raw ? sqlite3_errmsg(raw) : "out of memory") << "\n";
        return nullptr;
    }
    sqlite3_busy_timeout(raw, 5000);
    sqlite3_exec(raw, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if (!UserStore(raw).EnsureSchema()) {
        err << "nivaxel-server: cannot prepare " << path << ": " << sqlite3_errmsg(raw) << "\n";
        return nullptr;
    }
    return db;
}

namespace {

int Report(UserResult r, const std::string& name, std::ostream& err) {
    switch (r) {
    case UserResult::Ok:
        return 0;
    case UserResult::Exists:
        err << "nivaxel-server: user " << name << " already exists\n";
        return 1;
    case UserResult::NotFound:
        err << "nivaxel-server: no user " << name << "\n";
        return 1;
    case UserResult::BadName:
        err << "nivaxel-server: bad user name (1 to 64 letters, digits, . _ @ -)\n";
        return 2;
    case UserResult::StoreFailed:
        err << "nivaxel-server: the database refused the change\n";
        return 1;
    case UserResult::LastAdmin:
        err << "nivaxel-server: last administrator: " << name
            << " is the only admin; make another user admin first\n";
        return 1;
    }
    return 1;
}

} // namespace

int RunUserCommand(const std::vector<std::string>& args, PasswordInput& input, std::ostream& out,
                   std::ostream& err, const CommandAudit& audit) {
    std::string verb, name, data, roleText;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if ((a == "--data" || a == "--role") && i + 1 < args.size())
            (a == "--data" ? data : roleText) = args[++i];
        else if (a.rfind("--", 0) == 0) {
            err << "nivaxel-server: unknown option " << a << "\n" << kUsage;
            return 2;
        } else if (verb.empty())
            verb = a;
        else if (name.empty())
            name = a;
        else {
            err << "nivaxel-server: unexpected argument " << a << "\n" << kUsage;
            return 2;
        }
    }
    const bool needsName =
        verb == "add" || verb == "role" || verb == "password" || verb == "remove";
    const bool needsRole = verb == "add" || verb == "role";
    if (!needsName && verb != "list") {
        err << kUsage;
        return 2;
    }
    if (data.empty()) {
        err << "nivaxel-server: --data DIR is required\n";
        return 2;
    }
    if (needsName && !IsValidUserName(name))
        return Report(UserResult::BadName, name, err);
    std::optional<Role> role = ParseRole(roleText);
    if (needsRole && !role) {
        err << "nivaxel-server: --role must be admin, operator or viewer\n";
        return 2;
    }
    UserDatabase db = OpenUserDatabase(data, err);
    if (!db)
        return 1;
    UserStore users(db.get());

    if (verb == "list") {
        for (const User& u : users.List())
            out << u.name << " " << RoleName(u.role) << "\n";
        return 0;
    }
    // A change is audited once made; the server re-reads the user at each request.
    auto audited = [&](UserResult r, const std::string& action, const std::string& detail) {
        const int status = Report(r, name, err);
        if (status != 0 || !audit || audit(data, action, name + (detail.empty() ? "" : " " + detail)))
            return status;
        err << "nivaxel-server: the change was made, but its audit line could not be written\n";
        return 1;
    };
    if (verb == "remove")
        return audited(users.Remove(name), "user removed", "");
    if (verb == "role")
        return audited(users.SetRole(name, *role), "user role changed", RoleName(*role));

    if (verb == "add" && users.Find(name))
        return Report(UserResult::Exists, name, err);
    if (verb == "password" && !users.Find(name))
        return Report(UserResult::NotFound, name, err);
    auto password = ReadNewPassword(input, err);
    if (!password)
        return 1;
    const std::string hash = HashPassword(*password);
    if (hash.empty()) {
        err << "nivaxel-server: hashing the password failed (out of memory?)\n";
        return 1;
    }
    const UserResult r =
        verb == "add" ? users.Add({name, *role, hash}) : users.SetPassword(name, hash);
    if (r == UserResult::Ok)
        out << (verb == "add" ? "user " + name + " added, role " + RoleName(*role)
                              : "password of " + name + " changed")
            << "\n";
    return verb == "add" ? audited(r, "user added", RoleName(*role))
                         : audited(r, "user password changed", "");
}

} // namespace nvconsole
