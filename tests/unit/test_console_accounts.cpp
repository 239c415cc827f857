// Console users (in an SQLite file and in a real PostgreSQL started here),
// passwords, sessions, the sign-in throttle and the cross-site checks.
#include "console/Accounts.h"
#include "console/ConsoleHttp.h"
#include "console/Sessions.h"
#include "console/UserCommand.h"
#include "server/ConsoleLink.h"
#include "support/PostgresInstance.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <sstream>
#include <thread>

using namespace nvconsole;
using namespace std::chrono_literals;
namespace db = nvserver::db;

namespace {

nvtest::PostgresInstance& Pg() {
    static nvtest::PostgresInstance pg;
    return pg;
}

// A new database with the server's schema: an SQLite file in a temporary
// directory, or a new PostgreSQL database. `where` is how the user command
// names it.
class UsersBackends : public ::testing::TestWithParam<db::Backend> {
  protected:
    void SetUp() override {
        if (GetParam() == db::Backend::Postgres && !Pg().error().empty())
            GTEST_SKIP() << Pg().error();
        dir_ = std::filesystem::temp_directory_path() / ("nvconsole-" + RandomHex(6));
        std::filesystem::create_directories(dir_);
        if (GetParam() == db::Backend::Sqlite) {
            location_ = (dir_ / kDatabaseFile).string();
            where_ = {"--data", dir_.string()};
        } else {
            static int n = 0;
            const std::string name = "nv_users_" + std::to_string(++n);
            db::OpenPostgres(Pg().Conninfo())->Exec("CREATE DATABASE " + name);
            location_ = Pg().Conninfo();
            location_.replace(location_.find("dbname=postgres"), 15, "dbname=" + name);
            where_ = {"--database", location_};
        }
        nvserver::Store::Open(location_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
    std::string location_;
    std::vector<std::string> where_;
};

INSTANTIATE_TEST_SUITE_P(Both, UsersBackends, ::testing::Values(db::Backend::Sqlite, db::Backend::Postgres),
                         [](const auto& info) { return info.param == db::Backend::Sqlite ? "Sqlite" : "Postgres"; });

class ScriptedInput : public PasswordInput {
  public:
    ScriptedInput(bool tty, std::deque<std::string> lines) : tty_(tty), lines_(std::move(lines)) {}
    bool IsTerminal() override { return tty_; }
    std::optional<std::string> ReadLine(const char*) override {
        if (lines_.empty())
            return std::nullopt;
        auto l = lines_.front();
        lines_.pop_front();
        return l;
    }

  private:
    bool tty_;
    std::deque<std::string> lines_;
};

} // namespace

TEST(ConsoleAccounts, RolesMapToScopesAndNamesAreChecked) {
    EXPECT_STREQ(RoleScope(*ParseRole("viewer")), "read");
    EXPECT_STREQ(RoleScope(*ParseRole("operator")), "send");
    EXPECT_STREQ(RoleScope(*ParseRole("admin")), "admin");
    EXPECT_FALSE(ParseRole("Admin"));
    EXPECT_TRUE(IsValidUserName("anne.martin@site-2_b"));
    for (std::string bad :
         std::vector<std::string>{"", "a b", "a;b", "a=b", "\xC3\xA9", std::string(65, 'a')})
        EXPECT_FALSE(IsValidUserName(bad)) << bad;
}

TEST(ConsoleAccounts, PasswordHashIsArgon2idAndVerifies) {
    const std::string hash = HashPassword("correct horse");
    ASSERT_EQ(hash.rfind("$argon2id$", 0), 0u) << hash;
    EXPECT_NE(hash, HashPassword("correct horse")); // salted
    EXPECT_TRUE(VerifyPassword(hash, "correct horse"));
    EXPECT_FALSE(VerifyPassword(hash, "correct hors"));
    EXPECT_FALSE(VerifyPassword("", "correct horse"));
}

TEST_P(UsersBackends, StoreAddsFindsChangesAndRemoves) {
    auto store = nvserver::OpenUsers(location_);
    UserStore& users = *store;
    EXPECT_EQ(users.Add({"anne", Role::Admin, "h1"}), UserResult::Ok);
    EXPECT_EQ(users.Add({"anne", Role::Viewer, "h2"}), UserResult::Exists);
    EXPECT_EQ(users.Add({"a b", Role::Viewer, "h2"}), UserResult::BadName);
    // The last administrator can be neither demoted nor removed; with two, one can.
    EXPECT_EQ(users.SetRole("anne", Role::Operator), UserResult::LastAdmin);
    EXPECT_EQ(users.Remove("anne"), UserResult::LastAdmin);
    EXPECT_EQ(users.Add({"zoe", Role::Admin, "h4"}), UserResult::Ok);
    EXPECT_EQ(users.SetRole("anne", Role::Operator), UserResult::Ok);
    EXPECT_EQ(users.SetRole("zoe", Role::Viewer), UserResult::LastAdmin);
    EXPECT_EQ(users.Remove("zoe"), UserResult::LastAdmin);
    EXPECT_EQ(users.SetRole("zoe", Role::Admin), UserResult::Ok); // already one: no change, no refusal
    EXPECT_EQ(users.SetRole("paul", Role::Operator), UserResult::NotFound);
    EXPECT_EQ(users.SetPassword("anne", "h3"), UserResult::Ok);
    auto anne = users.Find("anne");
    ASSERT_TRUE(anne);
    EXPECT_EQ(anne->role, Role::Operator);
    EXPECT_EQ(anne->passwordHash, "h3");
    EXPECT_EQ(users.Remove("anne"), UserResult::Ok);
    EXPECT_EQ(users.Remove("anne"), UserResult::NotFound);
    ASSERT_EQ(users.List().size(), 1u);
    EXPECT_EQ(users.List()[0].role, Role::Admin);
}

TEST(ConsoleAccounts, NewPasswordIsAskedTwice) {
    std::ostringstream err;
    ScriptedInput same(false, {"s3cret-pw", "s3cret-pw"});
    EXPECT_EQ(ReadNewPassword(same, err), "s3cret-pw");

    struct Case {
        std::deque<std::string> lines;
        const char* message;
    } cases[] = {
        {{}, "no password given (two lines on standard input)"},
        {{"short"}, "password too short (at least 8 characters)"},
        {{"s3cret-pw"}, "password not repeated (two lines on standard input)"},
        {{"s3cret-pw", "s3cret-pX"}, "the two passwords differ"},
    };
    for (auto& c : cases) {
        std::ostringstream e;
        ScriptedInput in(false, c.lines);
        EXPECT_FALSE(ReadNewPassword(in, e));
        EXPECT_NE(e.str().find(c.message), std::string::npos) << e.str();
    }
}

TEST_P(UsersBackends, UserCommandWritesTheDatabaseTheServerReads) {
    auto run = [&](std::vector<std::string> args, std::deque<std::string> lines,
                   std::string* out = nullptr) {
        std::ostringstream o, e;
        ScriptedInput in(false, std::move(lines));
        args.insert(args.end(), where_.begin(), where_.end());
        nvserver::UserCommandStore host;
        const int rc = RunUserCommand(args, in, o, e, host);
        if (out)
            *out = o.str() + e.str();
        return rc;
    };
    EXPECT_EQ(run({"add", "anne", "--role", "admin"}, {"s3cret-pw", "s3cret-pw"}), 0);
    std::string text;
    EXPECT_EQ(run({"add", "anne", "--role", "viewer"}, {"s3cret-pw", "s3cret-pw"}, &text), 1);
    EXPECT_NE(text.find("user anne already exists"), std::string::npos);
    EXPECT_EQ(run({"add", "paul", "--role", "boss"}, {}, &text), 2);
    EXPECT_NE(text.find("--role must be admin, operator or viewer"), std::string::npos);
    EXPECT_EQ(run({"add", "paul", "--role", "viewer"}, {"s3cret-pw", "other-pw"}), 1);
    EXPECT_EQ(run({"role", "anne", "--role", "operator"}, {}, &text), 1);
    EXPECT_NE(text.find("last administrator: anne is the only admin"), std::string::npos) << text;
    EXPECT_EQ(run({"remove", "anne"}, {}, &text), 1);
    EXPECT_NE(text.find("last administrator"), std::string::npos) << text;
    EXPECT_EQ(run({"list"}, {}, &text), 0);
    EXPECT_EQ(text, "anne admin\n"); // paul was never added

    auto anne = nvserver::OpenUsers(location_)->Find("anne");
    ASSERT_TRUE(anne);
    EXPECT_TRUE(VerifyPassword(anne->passwordHash, "s3cret-pw"));
    std::int64_t total = 0;
    const auto audit = nvserver::Store::Open(location_)->ListAudit(10, 0, total);
    ASSERT_FALSE(audit.empty());
    EXPECT_EQ(audit.front().action + " " + audit.front().detail, "user added anne admin");

    std::ostringstream o, e;
    ScriptedInput none(false, {});
    nvserver::UserCommandStore host;
    EXPECT_EQ(RunUserCommand({"add", "zoe", "--role", "admin"}, none, o, e, host), 2);
    EXPECT_NE(e.str().find("--data DIR or --database postgresql://... is required"), std::string::npos);
    EXPECT_EQ(RunUserCommand({"list", "--database", "/tmp/x.db"}, none, o, e, host), 1);
    EXPECT_NE(e.str().find("--database wants a postgresql:// URI"), std::string::npos) << e.str();
}

TEST(ConsoleAccounts, AnOlderDataDirectorysAccountsKeepWorking) {
    // Before the server's schema took the table in, `user add` made it by
    // itself, possibly before the server's first start.
    const auto dir = std::filesystem::temp_directory_path() / ("nvconsole-old-" + RandomHex(6));
    std::filesystem::create_directories(dir);
    const std::string file = (dir / kDatabaseFile).string();
    db::OpenSqlite(file)->Exec(
        "CREATE TABLE console_users (name TEXT PRIMARY KEY NOT NULL, role TEXT NOT NULL CHECK (role IN "
        "('viewer','operator','admin')), password_hash TEXT NOT NULL, created_at TEXT NOT NULL DEFAULT "
        "(strftime('%Y-%m-%dT%H:%M:%SZ','now'))); INSERT INTO console_users (name, role, password_hash) "
        "VALUES ('anne', 'admin', '" + HashPassword("s3cret-pw") + "')");
    std::ostringstream o, e;
    ScriptedInput twice(false, {"other-pw1", "other-pw1"});
    nvserver::UserCommandStore host;
    EXPECT_EQ(RunUserCommand({"add", "paul", "--role", "viewer", "--data", dir.string()}, twice, o, e, host), 0)
        << e.str();
    auto users = nvserver::OpenUsers(file);
    const auto list = users->List();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name + " " + RoleName(list[0].role), "anne admin");
    EXPECT_TRUE(VerifyPassword(list[0].passwordHash, "s3cret-pw"));
    EXPECT_EQ(users->Remove("anne"), UserResult::LastAdmin);
    std::filesystem::remove_all(dir);
}

TEST(ConsoleAccountsPostgres, NodesDemotingTheLastTwoAdminsAtOnceLeaveOne) {
    if (!Pg().error().empty())
        GTEST_SKIP() << Pg().error();
    nvserver::Store::Open(Pg().Conninfo());
    auto a = nvserver::OpenUsers(Pg().Conninfo()), b = nvserver::OpenUsers(Pg().Conninfo());
    ASSERT_EQ(a->Add({"ann", Role::Admin, "h"}), UserResult::Ok);
    ASSERT_EQ(a->Add({"bob", Role::Admin, "h"}), UserResult::Ok);
    constexpr int kRounds = 30;
    int refused = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::atomic<bool> go{false};
        UserResult ra{}, rb{};
        std::thread ta([&] { while (!go) {} ra = a->SetRole("bob", Role::Viewer); });
        std::thread tb([&] { while (!go) {} rb = b->Remove("ann"); });
        go = true;
        ta.join();
        tb.join();
        refused += (ra == UserResult::LastAdmin) + (rb == UserResult::LastAdmin);
        ASSERT_EQ(ra == UserResult::Ok, rb == UserResult::LastAdmin) << "round " << round;
        // Two admins again for the next round.
        ASSERT_EQ(ra == UserResult::Ok ? a->SetRole("bob", Role::Admin) : a->Add({"ann", Role::Admin, "h"}),
                  UserResult::Ok);
    }
    std::printf("%d rounds of two nodes demoting each other's admin at once: %d refused as the last\n", kRounds,
                refused);
}

TEST(ConsoleAccountsPostgres, SessionsOutliveTheDatabaseGone) {
    if (!Pg().error().empty())
        GTEST_SKIP() << Pg().error();
    nvserver::Store::Open(Pg().Conninfo());
    auto users = nvserver::OpenUsers(Pg().Conninfo()), idle = nvserver::OpenUsers(Pg().Conninfo());
    ASSERT_EQ(users->Add({"eve", Role::Admin, HashPassword("eve-password")}), UserResult::Ok);
    Console console(*users, {}, false);
    auto signIn = [&] {
        return *console.Handle({"POST", "/api/session", R"({"name":"eve","password":"eve-password"})", "10.0.0.5", {}});
    };
    const WebResponse in = signIn();
    ASSERT_EQ(in.status, 200) << in.body;
    const std::string cookie = in.headers.at(0).second.substr(0, in.headers.at(0).second.find(';'));
    const RequestInfo next{"GET", "/api/alerts", "10.0.0.5", cookie, "", "", "", ""};
    ASSERT_EQ(console.Authenticate(next).outcome, SessionAuth::Ok);

    Pg().Stop();
    const SessionAuth down = console.Authenticate(next);
    const WebResponse downIn = signIn();
    ASSERT_TRUE(Pg().Start());
    std::printf("database down: request %d (%s), sign-in %d\n", down.status, down.error.c_str(), downIn.status);
    EXPECT_EQ(down.status, 503);
    EXPECT_EQ(down.error.rfind(Console::kAccountsUnavailable, 0), 0u) << down.error;
    EXPECT_EQ(downIn.status, 503);
    EXPECT_EQ(console.Authenticate(next).outcome, SessionAuth::Ok);
    // A connection unused meanwhile learns of the restart by its first statement.
    EXPECT_EQ(idle->Find("eve")->role, Role::Admin);
}

TEST(ConsoleSessions, ExpireWhenIdleOrTooOld) {
    SessionStore store(30min, 12h);
    const Clock::time_point t0{};
    Session s = store.Create("anne", Role::Operator, t0);
    EXPECT_EQ(s.id.size(), 64u);
    EXPECT_NE(s.id, s.csrf);
    EXPECT_TRUE(store.Use(s.id, t0 + 29min));
    EXPECT_TRUE(store.Use(s.id, t0 + 58min)); // each use renews the idle time
    EXPECT_FALSE(store.Use(s.id, t0 + 58min + 30min));
    EXPECT_FALSE(store.Use(s.id, t0 + 59min)); // forgotten once expired

    Session busy = store.Create("anne", Role::Operator, t0);
    for (auto t = t0; t < t0 + 12h; t += 20min)
        ASSERT_TRUE(store.Use(busy.id, t));
    EXPECT_FALSE(store.Use(busy.id, t0 + 12h));

    Session a = store.Create("paul", Role::Viewer, t0), b = store.Create("paul", Role::Viewer, t0);
    store.RemoveUser("paul");
    EXPECT_FALSE(store.Use(a.id, t0));
    EXPECT_FALSE(store.Use(b.id, t0));
}

TEST(ConsoleSessions, FailedSignInsWaitLongerEachTimeForThatAddressAndName) {
    SignInThrottle t;
    Clock::time_point now{};
    // The allowance, taken at once: no further attempt is admitted until they end.
    for (int i = 0; i < SignInThrottle::kFreeAttempts; ++i)
        EXPECT_EQ(t.Begin("anne", "10.0.0.1", now).wait.count(), 0);
    EXPECT_EQ(t.Begin("anne", "10.0.0.1", now).wait, SignInThrottle::kFirstDelay);
    for (int i = 0; i < SignInThrottle::kFreeAttempts; ++i)
        t.Failed("anne", "10.0.0.1", now);
    // The next one waits: the allowance is spent.
    EXPECT_EQ(t.Begin("anne", "10.0.0.1", now).wait, 1000ms);
    EXPECT_EQ(t.Begin("anne", "10.0.0.9", now).wait.count(), 0); // anne elsewhere
    EXPECT_EQ(t.Begin("paul", "10.0.0.1", now).wait.count(), 0); // someone else from there
    now += 1000ms;
    EXPECT_EQ(t.Begin("anne", "10.0.0.1", now).wait.count(), 0);
    t.Failed("anne", "10.0.0.1", now);
    EXPECT_EQ(t.Begin("anne", "10.0.0.1", now).wait, 2000ms);
    for (int i = 0; i < 20; ++i)
        t.Failed("anne", "10.0.0.1", now);
    const auto refused = t.Begin("anne", "10.0.0.1", now);
    EXPECT_EQ(refused.wait, SignInThrottle::kMaxDelay);
    EXPECT_EQ(refused.refusals, 4);
    t.Succeeded("anne", "10.0.0.1");
    EXPECT_EQ(t.Begin("anne", "10.0.0.1", now).wait.count(), 0);

    // Bounded: a flood of names keeps the map at its ceiling, not beyond.
    for (std::size_t i = 0; i < SignInThrottle::kMaxEntries + 500; ++i) {
        t.Begin("n" + std::to_string(i), "10.0.0.2", now);
        t.Failed("n" + std::to_string(i), "10.0.0.2", now + std::chrono::seconds(i));
    }
    EXPECT_EQ(t.Size(), SignInThrottle::kMaxEntries);
}

TEST(ConsoleSessions, CookieAndCrossSiteChecks) {
    EXPECT_EQ(SessionCookie("ab", 60s, false),
              "nv_session=ab; Path=/; Max-Age=60; HttpOnly; SameSite=Strict");
    EXPECT_EQ(SessionCookie("ab", 60s, true),
              "nv_session=ab; Path=/; Max-Age=60; HttpOnly; SameSite=Strict; Secure");
    EXPECT_EQ(SessionIdFromCookies("x=1; nv_session=abc; y=2"), "abc");
    EXPECT_EQ(SessionIdFromCookies("nv_sessionx=1; xnv_session=2"), "");

    Session s;
    s.csrf = "t0ken";
    ChangeRequest ok{"POST", "http://127.0.0.1:5089", "same-origin", "127.0.0.1:5089", "t0ken",
                     false};
    EXPECT_EQ(RefuseCrossSite(ok, s), "");
    ChangeRequest noOrigin = ok;
    noOrigin.origin.clear();
    noOrigin.fetchSite.clear();
    EXPECT_EQ(RefuseCrossSite(noOrigin, s), "");
    ChangeRequest read = ok;
    read.method = "GET";
    read.csrfHeader.clear();
    read.fetchSite = "cross-site";
    EXPECT_EQ(RefuseCrossSite(read, s), "");

    auto refused = [&](auto change) {
        ChangeRequest r = ok;
        change(r);
        return RefuseCrossSite(r, s);
    };
    EXPECT_EQ(refused([](auto& r) { r.fetchSite = "cross-site"; }), "cross-site request refused");
    EXPECT_EQ(refused([](auto& r) { r.origin = "http://evil.example"; }),
              "request from another origin refused");
    EXPECT_EQ(refused([](auto& r) { r.tls = true; }), "request from another origin refused");
    EXPECT_EQ(refused([](auto& r) { r.csrfHeader.clear(); }), "missing or wrong CSRF token");
    EXPECT_EQ(refused([](auto& r) { r.csrfHeader = "t0kem"; }), "missing or wrong CSRF token");
    s.csrf.clear();
    EXPECT_EQ(refused([](auto& r) { r.csrfHeader.clear(); }), "missing or wrong CSRF token");
}
