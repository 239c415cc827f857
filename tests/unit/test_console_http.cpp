// The console's routes over real loopback HTTP: the page, sign-in, the session
// cookie, sign-out, cross-site refusals and admin-only user management.
#include "console/ConsoleHttp.h"
#include "server/ConsoleLink.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <thread>

using namespace nvconsole;
using nlohmann::json;

namespace {

class ConsoleHttp : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("nvconsole-http-" + RandomHex(6));
        std::filesystem::create_directories(dir_);
        const std::string file = (dir_ / kDatabaseFile).string();
        nvserver::Store{file}; // the server's schema, accounts included
        users_ = nvserver::OpenUsers(file);
        UserStore& users = *users_;
        const std::string hash = HashPassword("good-password");
        ASSERT_EQ(users.Add({"anne", Role::Admin, hash}), UserResult::Ok);
        ASSERT_EQ(users.Add({"vera", Role::Viewer, hash}), UserResult::Ok);
        console_ = std::make_unique<Console>(
            *users_,
            [this](auto& who, auto& action, auto& detail, auto&) {
                audit_.push_back(who + "|" + action + "|" + detail);
            },
            false,
            [] { return Clock::time_point{}; }); // still: the throttle's waits never run out here
        // The console's routes are transport-neutral; httplib carries them here.
        auto route = [this](const httplib::Request& req, httplib::Response& res) {
            WebRequest w{req.method, req.path, req.body, req.remote_addr, {}};
            for (const auto& [k, v] : req.headers) {
                std::string name = k;
                for (char& c : name)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                w.headers[name] = v;
            }
            auto out = console_->Handle(w);
            if (!out) {
                res.status = 404;
                return;
            }
            res.status = out->status;
            for (const auto& [k, v] : out->headers)
                res.set_header(k, v);
            res.set_content(out->body, out->contentType.c_str());
        };
        server_.Get(".*", route);
        server_.Post(".*", route);
        server_.Put(".*", route);
        server_.Delete(".*", route);
        port_ = server_.bind_to_any_port("127.0.0.1");
        ASSERT_GT(port_, 0);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        host_ = "127.0.0.1:" + std::to_string(port_);
    }
    void TearDown() override {
        server_.stop();
        if (thread_.joinable())
            thread_.join();
        console_.reset();
        users_.reset();
        std::filesystem::remove_all(dir_);
    }

    httplib::Result Call(const std::string& method, const std::string& path,
                         const std::string& body = "", httplib::Headers headers = {}) {
        httplib::Client c("127.0.0.1", port_);
        if (method == "GET")
            return c.Get(path, headers);
        if (method == "DELETE")
            return c.Delete(path, headers, body, "application/json");
        if (method == "PUT")
            return c.Put(path, headers, body, "application/json");
        return c.Post(path, headers, body, "application/json");
    }

    struct Signed {
        std::string cookie, csrf;
    };
    Signed SignIn(const std::string& name) {
        auto r = Call("POST", "/api/session",
                      json{{"name", name}, {"password", "good-password"}}.dump());
        EXPECT_EQ(r->status, 200) << r->body;
        const std::string set = r->get_header_value("Set-Cookie");
        return {set.substr(0, set.find(';')), json::parse(r->body)["csrf"].get<std::string>()};
    }
    httplib::Headers As(const Signed& s, bool withCsrf = true) {
        httplib::Headers h{{"Cookie", s.cookie}, {"Origin", "http://" + host_}};
        if (withCsrf)
            h.emplace("X-CSRF-Token", s.csrf);
        return h;
    }
    std::size_t UserCount() { return users_->List().size(); }

    std::filesystem::path dir_;
    std::unique_ptr<UserStore> users_;
    std::vector<std::string> audit_;
    std::unique_ptr<Console> console_;
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::string host_;
};

} // namespace

TEST_F(ConsoleHttp, PageAndAssetsAreServedWithoutSession) {
    auto page = Call("GET", "/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page->body.find("signin-form"), std::string::npos);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'self'"),
              std::string::npos);
    EXPECT_EQ(Call("GET", "/console/app.js")->get_header_value("Content-Type"),
              "text/javascript; charset=utf-8");
    EXPECT_EQ(Call("GET", "/console/nothing.js")->status, 404);
    EXPECT_EQ(Call("GET", "/console/..%2FAccounts.cpp")->status, 404);
}

TEST_F(ConsoleHttp, SignInSessionAndSignOut) {
    auto r = Call("POST", "/api/session", R"({"name":"anne","password":"good-password"})");
    ASSERT_EQ(r->status, 200);
    const std::string set = r->get_header_value("Set-Cookie");
    EXPECT_NE(set.find("HttpOnly"), std::string::npos);
    EXPECT_NE(set.find("SameSite=Strict"), std::string::npos);
    EXPECT_EQ(set.find("Secure"), std::string::npos); // no TLS here
    const json body = json::parse(r->body);
    EXPECT_EQ(body["role"], "admin");
    EXPECT_EQ(body["scope"], "admin");
    Signed s{set.substr(0, set.find(';')), body["csrf"]};

    auto current = Call("GET", "/api/session", "", {{"Cookie", s.cookie}});
    EXPECT_EQ(current->status, 200);
    EXPECT_EQ(json::parse(current->body)["name"], "anne");

    // Sign-out is a change: without the page's token it is refused and the session lives on.
    EXPECT_EQ(Call("DELETE", "/api/session", "", As(s, false))->status, 403);
    EXPECT_EQ(Call("GET", "/api/session", "", {{"Cookie", s.cookie}})->status, 200);
    EXPECT_EQ(Call("DELETE", "/api/session", "", As(s))->status, 200);
    EXPECT_EQ(Call("GET", "/api/session", "", {{"Cookie", s.cookie}})->status, 401);
    EXPECT_EQ(audit_.back(), "anne|sign-out|");
}

TEST_F(ConsoleHttp, FailedSignInsAreAuditedAndSlowedDown) {
    for (int i = 0; i < SignInThrottle::kFreeAttempts; ++i) {
        auto r = Call("POST", "/api/session", R"({"name":"anne","password":"bad-password"})");
        EXPECT_EQ(r->status, 401);
        EXPECT_EQ(json::parse(r->body)["error"], "wrong name or password");
    }
    EXPECT_EQ(audit_.front(), "anne|sign-in failed|wrong password");
    // Now even the right password must wait.
    auto r = Call("POST", "/api/session", R"({"name":"anne","password":"good-password"})");
    EXPECT_EQ(r->status, 429);
    EXPECT_EQ(r->get_header_value("Retry-After"), "1");
    // Only that name from that address waits; a bad name is refused before any check.
    EXPECT_EQ(Call("POST", "/api/session", R"({"name":"nobody","password":"x"})")->status, 401);
    EXPECT_EQ(Call("POST", "/api/session", R"({"name":"no body","password":"x"})")->status, 400);
    EXPECT_EQ(Call("POST", "/api/session", "not json")->status, 400);
    EXPECT_EQ(Call("POST", "/api/session", R"({"name":"anne","password":"good-password"})",
                   {{"Origin", "http://evil.example"}})
                  ->status,
              403);
}

TEST_F(ConsoleHttp, UsersAreManagedByAdminsOnlyAndNeverCrossSite) {
    const Signed anne = SignIn("anne"), vera = SignIn("vera");
    const std::string paul = R"({"name":"paul","role":"operator","password":"paul-password"})";

    EXPECT_EQ(Call("POST", "/api/users", paul)->status, 401);
    EXPECT_EQ(Call("POST", "/api/users", paul, As(vera))->status, 403);
    auto forged = As(anne, false);
    forged.erase("Origin");
    forged.emplace("Origin", "http://evil.example");
    EXPECT_EQ(Call("POST", "/api/users", paul, forged)->status, 403);
    EXPECT_EQ(UserCount(), 2u); // nothing written by the refused requests

    EXPECT_EQ(Call("POST", "/api/users", paul, As(anne))->status, 201);
    EXPECT_EQ(Call("POST", "/api/users", paul, As(anne))->status, 409);
    EXPECT_EQ(
        Call("POST", "/api/users", R"({"name":"zoe","role":"admin","password":"short"})", As(anne))
            ->status,
        400);
    EXPECT_EQ(users_->Find("paul")->role, Role::Operator);

    // Demoting a user ends that user's sessions.
    const Signed v2 = SignIn("vera");
    EXPECT_EQ(Call("PUT", "/api/users/vera", R"({"role":"operator"})", As(anne))->status, 200);
    EXPECT_EQ(Call("GET", "/api/session", "", {{"Cookie", v2.cookie}})->status, 401);
    EXPECT_EQ(Call("DELETE", "/api/users/anne", "", As(anne))->status, 400);
    EXPECT_EQ(Call("DELETE", "/api/users/paul", "", As(anne))->status, 200);
    EXPECT_EQ(Call("DELETE", "/api/users/paul", "", As(anne))->status, 404);
    auto list = Call("GET", "/api/users", "", As(anne));
    EXPECT_EQ(json::parse(list->body)["users"].size(), 2u);
}
