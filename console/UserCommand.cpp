#include "console/UserCommand.h"

#include "console/Accounts.h"

#include <functional>
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

const char kUsage[] = "usage (WHERE: --data DIR, or --database postgresql://... for several nodes):\n"
                      "  nivaxel-server user add NAME --role admin|operator|viewer WHERE\n"
                      "  nivaxel-server user role NAME --role admin|operator|viewer WHERE\n"
                      "  nivaxel-server user password NAME WHERE\n"
                      "  nivaxel-server user remove NAME WHERE\n"
                      "  nivaxel-server user list WHERE\n";

} // namespace

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

using Audited = std::function<int(UserResult, const std::string& action, const std::string& detail)>;

// The change itself, once the arguments are checked and the database open.
int Run(const std::string& verb, const std::string& name, std::optional<Role> role, UserStore& users,
        PasswordInput& input, std::ostream& out, std::ostream& err, const Audited& audited) {
    if (verb == "list") {
        for (const User& u : users.List())
            out << u.name << " " << RoleName(u.role) << "\n";
        return 0;
    }
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

} // namespace

int RunUserCommand(const std::vector<std::string>& args, PasswordInput& input, std::ostream& out,
                   std::ostream& err, UserCommandHost& host) {
    std::string verb, name, data, database, roleText;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if ((a == "--data" || a == "--database" || a == "--role") && i + 1 < args.size())
            (a == "--data" ? data : a == "--database" ? database : roleText) = args[++i];
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
    if (data.empty() && database.empty()) {
        err << "nivaxel-server: --data DIR or --database postgresql://... is required\n";
        return 2;
    }
    if (needsName && !IsValidUserName(name))
        return Report(UserResult::BadName, name, err);
    std::optional<Role> role = ParseRole(roleText);
    if (needsRole && !role) {
        err << "nivaxel-server: --role must be admin, operator or viewer\n";
        return 2;
    }
    const std::unique_ptr<UserStore> store = host.Open(data, database, err);
    if (!store)
        return 1;
    UserStore& users = *store;

    // A change is audited once made; every node re-reads the user at each request.
    auto audited = [&](UserResult r, const std::string& action, const std::string& detail) {
        const int status = Report(r, name, err);
        if (status != 0 || host.Audit(action, name + (detail.empty() ? "" : " " + detail)))
            return status;
        err << "nivaxel-server: the change was made, but its audit line could not be written\n";
        return 1;
    };
    try {
        return Run(verb, name, role, users, input, out, err, audited);
    } catch (const nvserver::db::DbError& e) {
        err << "nivaxel-server: " << e.what() << "\n";
        return 1;
    }
}

} // namespace nvconsole
