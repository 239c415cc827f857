// The organisation's directory against a real slapd: configuration, sync
// of nested groups over LDAP, StartTLS and LDAPS, faults keeping the last
// good sync, sign-in by bind with roles from groups, injection, and the
// rules that match a station's names.
#include "Slapd.h"
#include "server/Directory.h"
#include "server/DirectoryNames.h"
#include "server/Ldap.h"
#include "server/LdapRange.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

using namespace nvserver;
using namespace nvtest;

namespace {

DirectoryConfig ConfigFor(const Slapd& s, const std::string& extra = "") {
    s.Write("bind.pw", "svc-secret\n");
    return ParseDirectoryConfig("url = " + s.Url() + "\nbind_dn = cn=svc-nivaxel,dc=example,dc=org\n"
                                "bind_password_file = bind.pw\nbase_dn = dc=example,dc=org\n"
                                "user_base = ou=people,dc=example,dc=org\n"
                                "user_attribute = uid\nuser_filter = (objectClass=inetOrgPerson)\n"
                                "computer_filter = (objectClass=device)\ngroup_class = groupOfNames\n"
                                "admin_group = ConsoleAdmins\noperator_group = ConsoleOperators\n"
                                "viewer_group = ConsoleViewers\ndomains = EXAMPLE, example.org\n"
                                "timeout_seconds = 2\n" + extra,
                                s.Dir());
}

std::string Members(const Groups& groups, const std::string& name) {
    const auto g = groups.find(NameKey(name));
    if (g == groups.end() || !g->second.directory)
        return "(none)";
    std::set<std::string> all(g->second.directory->users.begin(), g->second.directory->users.end());
    for (const std::string& c : g->second.directory->computers)
        all.insert("pc:" + c);
    std::string s;
    for (const std::string& m : all)
        s += (s.empty() ? "" : " ") + m;
    return s;
}

// One server for the whole program, stopped when it exits.
Slapd& Server() {
    static Slapd s([] {
        std::string many;
        std::vector<std::string> dns;
        for (int i = 0; i < 150; ++i) {
            const std::string uid = "many" + std::to_string(i);
            many += Person(uid);
            dns.push_back(UserDn(uid));
        }
        return many + GroupEntry("Many", dns);
    }());
    return s;
}

} // namespace

TEST(ServerDirectory, ConfigurationRefusesWhatItCannotUse) {
    char dir[] = "/tmp/nivaxel-dircfg-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    std::ofstream(std::string(dir) + "/pw") << "s3cret\n";
    const std::string base = "url = ldap://h\nbase_dn = dc=x\n";
    const DirectoryConfig c = ParseDirectoryConfig(base + "# comment\nbind_dn = cn=a\nbind_password_file = pw\n", dir);
    EXPECT_EQ(c.bindPassword, "s3cret");
    EXPECT_EQ(c.userBase, "dc=x");
    EXPECT_EQ(c.userAttribute, "sAMAccountName");
    EXPECT_EQ(c.syncMinutes, 5);
    const std::pair<std::string, std::string> bad[] = {
        {"base_dn = dc=x\n", "url must start with ldap:// or ldaps://"},
        {"url = ldap://h\n", "base_dn is missing"},
        {base + "colour = red\n", "line 3: unknown key colour"},
        {base + "bind_password = x\n", "line 3: the password goes in a file: bind_password_file"},
        {base + "no equals sign\n", "line 3: expected key = value"},
        {base + "sync_minutes = 0\n", "line 3: sync_minutes must be a whole number from 1 to 1440"},
        {base + "starttls = maybe\n", "line 3: starttls must be yes or no"},
        {"url = ldaps://h\nbase_dn = dc=x\nstarttls = yes\n",
         "starttls = yes is for ldap:// urls; ldaps:// is encrypted already"},
        {base + "bind_dn = cn=a\n", "bind_dn needs bind_password_file"},
        {base + "bind_dn = cn=a\nbind_password_file = missing\n",
         "cannot read bind_password_file " + std::string(dir) + "/missing"},
    };
    for (const auto& [text, message] : bad) {
        try {
            ParseDirectoryConfig(text, dir);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const DirectoryError& e) {
            EXPECT_EQ(e.what(), message);
        }
    }
    std::filesystem::remove_all(dir);
    std::printf("configuration: %zu bad files refused with their line\n", std::size(bad));
}

TEST(ServerDirectory, StationNamesMatchTheirOwnDomainOnly) {
    const std::vector<std::string> domains = {"EXAMPLE", "example.org"};
    const std::pair<std::string, std::optional<std::string>> users[] = {
        {"alice", "alice"},           {"ALICE", "alice"},       {"EXAMPLE\\Alice", "alice"},
        {"alice@Example.org", "alice"}, {"OTHER\\alice", std::nullopt}, {"alice@other.org", std::nullopt},
        {"", std::nullopt},          {"EXAMPLE\\", std::nullopt}};
    for (const auto& [name, key] : users)
        EXPECT_EQ(StationUserKey(name, domains), key) << name;
    const std::pair<std::string, std::optional<std::string>> computers[] = {
        {"PC01", "pc01"}, {"pc01.example.org", "pc01"}, {"PC01$", "pc01"}, {"pc01.other.org", std::nullopt}};
    for (const auto& [name, key] : computers)
        EXPECT_EQ(StationComputerKey(name, domains), key) << name;
    EXPECT_EQ(DirectoryComputerKey("PC01.corp.example.org"), "pc01");
    EXPECT_EQ(DirectoryUserKey("alice@corp.example.org"), "alice");
    // The same rules decide an alert's delivery.
    Groups groups;
    auto members = std::make_shared<DirectoryMembers>();
    members->users = {"alice"};
    members->computers = {"pc01"};
    members->domains = domains;
    groups["staff"].directory = members;
    Target t;
    t.groups = {"Staff"};
    EXPECT_TRUE(Matches(t, groups, "PC09", "EXAMPLE\\alice"));
    EXPECT_TRUE(Matches(t, groups, "pc01.example.org", "bob"));
    EXPECT_FALSE(Matches(t, groups, "PC09", "OTHER\\alice"));
    EXPECT_FALSE(Matches(t, groups, "PC09", "alicia"));
    std::printf("names: %zu user and %zu computer forms\n", std::size(users), std::size(computers));
}

TEST(ServerDirectory, SyncExpandsNestedGroupsOverEachTransport) {
    Slapd& s = Server();
    const std::pair<const char*, std::string> transports[] = {
        {"ldap", ""},
        {"starttls", "starttls = yes\nca_file = " + s.CaFile() + "\n"},
        {"ldaps", "url = " + s.SecureUrl() + "\nca_file = " + s.CaFile() + "\n"},
    };
    for (const auto& [name, extra] : transports) {
        Directory d(ConfigFor(s, extra));
        const SyncState st = d.SyncNow();
        ASSERT_EQ(st.error, "") << name;
        const auto g = d.Snapshot();
        EXPECT_EQ(Members(*g, "Staff"), "alice bob carol pc:pc01") << name;
        EXPECT_EQ(Members(*g, "ops"), "bob carol pc:pc01") << name;
        EXPECT_EQ(Members(*g, "LoopB"), "dave") << name;
        EXPECT_EQ(Members(*g, "ConsoleAdmins"), "alice") << name;
        // 150 members, past the server's 100-entry limit for unpaged searches.
        EXPECT_EQ(g->at("many").directory->users.size(), 150u) << name;
        EXPECT_EQ(st.users, 155u);
        EXPECT_EQ(st.computers, 3u);
        EXPECT_EQ(st.groups, 10u);
        std::printf("%s: %zu users, %zu computers, %zu groups, %zu memberships in %lld ms\n", name, st.users,
                    st.computers, st.groups, st.memberships, static_cast<long long>(st.durationMs));
    }
    // A member added in the directory is a member after the next sync.
    Directory d(ConfigFor(s));
    d.SyncNow();
    s.Modify("dn: " + GroupDn("Ops") + "\nchangetype: modify\nadd: member\nmember: " + UserDn("eve") +
             "\nmember: " + ComputerDn("PC03") + "\n");
    std::shared_ptr<const Groups> heard;
    d.Start([&](std::shared_ptr<const Groups> g) { heard = g; });
    for (int i = 0; i < 100 && !heard; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(heard);
    EXPECT_EQ(Members(*heard, "Staff"), "alice bob carol eve pc:pc01 pc:pc03");
    s.Modify("dn: " + GroupDn("Ops") + "\nchangetype: modify\ndelete: member\nmember: " + UserDn("eve") +
             "\nmember: " + ComputerDn("PC03") + "\n");
}

TEST(ServerDirectory, FailedSyncKeepsTheLastGoodOneAndSaysWhy) {
    Slapd& s = Server();
    Directory d(ConfigFor(s));
    ASSERT_EQ(d.SyncNow().error, "");
    const auto good = d.Snapshot();
    Listener silent; // accepts connections and never answers
    s.Write("wrong.pw", "nope\n");
    const std::pair<std::string, std::string> faults[] = {
        {"url = ldap://127.0.0.1:" + std::to_string(FreePort()), ": Can't contact LDAP server"},
        {"bind_password_file = wrong.pw", "bind as cn=svc-nivaxel,dc=example,dc=org refused: Invalid credentials"},
        {"url = " + s.SecureUrl() + "\nca_file = " + s.OtherCaFile(), "its certificate is not signed by ca_file"},
        {"url = ldaps://localhost:" + std::to_string(s.SecurePort()) + "\nca_file = " + s.CaFile(),
         "its certificate is not signed by ca_file for this host name"},
        {"url = ldap://127.0.0.1:" + std::to_string(silent.port()), ": Timed out"},
    };
    for (const auto& [extra, message] : faults) {
        Directory broken(ConfigFor(s, extra + "\n"));
        const auto start = std::chrono::steady_clock::now();
        const SyncState st = broken.SyncNow();
        EXPECT_NE(st.error.find(message), std::string::npos) << extra << ": " << st.error;
        EXPECT_EQ(st.lastSuccess, 0);
        EXPECT_GT(st.errorAt, 0);
        std::printf("fault %s -> %s (%lld ms)\n", extra.substr(0, extra.find('\n')).c_str(), st.error.c_str(),
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - start)
                                               .count()));
    }
    // The same directory going down keeps what it had.
    s.Stop();
    const SyncState down = d.SyncNow();
    s.Start();
    EXPECT_NE(down.error, "");
    EXPECT_GT(down.lastSuccess, 0);
    EXPECT_EQ(d.Snapshot(), good);
    EXPECT_EQ(down.groups, 10u);
}

TEST(ServerDirectory, SignInBindsAsThePersonAndTakesTheRoleFromGroups) {
    Slapd& s = Server();
    Directory d(ConfigFor(s));
    struct Case {
        std::string login, password, role, error;
    };
    const Case cases[] = {
        {"alice", "pw-alice", "admin", ""}, // through a nested group
        {"EXAMPLE\\Bob", "pw-bob", "operator", ""},
        {"carol@example.org", "pw-carol", "viewer", ""},
        {"alice", "pw-bob", "", "unknown user or wrong password"},
        {"alice", "", "", "a name and a password are needed"},
        {"nobody", "pw", "", "unknown user or wrong password"},
        {"OTHER\\alice", "pw-alice", "", "the name's domain is not the directory's"},
        {"eve", "pw-eve", "", "not a member of any of the console's directory groups"},
        {"eve", "wrong", "", "unknown user or wrong password"},
        // Filter syntax in a name matches nobody and breaks nothing.
        {"*", "pw-alice", "", "unknown user or wrong password"},
        {"al*", "pw-alice", "", "unknown user or wrong password"},
        {"alice)(uid=*", "pw-alice", "", "unknown user or wrong password"},
        {"*)(|(uid=*", "x", "", "unknown user or wrong password"},
        {"alice\\2a", "pw-alice", "", "the name's domain is not the directory's"},
        {std::string("alice\0*", 7), "pw-alice", "", "unknown user or wrong password"},
    };
    for (const Case& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        const SignIn r = d.Authenticate(c.login, c.password);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_EQ(r.ok, c.error.empty()) << c.login;
        EXPECT_EQ(r.role, c.role) << c.login;
        EXPECT_EQ(r.error, c.error) << c.login;
        std::printf("sign-in %-14s -> %-8s %s (%lld ms)\n", c.login.c_str(), r.role.c_str(), r.error.c_str(),
                    static_cast<long long>(ms.count()));
    }
    EXPECT_EQ(EscapeFilterValue(std::string("a*()\\\0b", 7)), "a\\2a\\28\\29\\5c\\00b");
    // Removal from the group takes the role away at the next look.
    s.Modify("dn: " + GroupDn("AdminsInner") + "\nchangetype: modify\nreplace: member\nmember: " + UserDn("eve") +
             "\n");
    EXPECT_EQ(d.CurrentRole("alice").role, "");
    EXPECT_EQ(d.CurrentRole("eve").role, "admin");
    s.Modify("dn: " + GroupDn("AdminsInner") + "\nchangetype: modify\nreplace: member\nmember: " + UserDn("alice") +
             "\n");
    // With the directory down a sign-in fails and says so.
    s.Stop();
    const SignIn down = d.Authenticate("alice", "pw-alice");
    s.Start();
    EXPECT_FALSE(down.ok);
    EXPECT_TRUE(down.unreachable);
    EXPECT_EQ(down.error.rfind("the directory cannot be reached: ", 0), 0u) << down.error;
}

// slapd never slices an attribute; Active Directory does past 1,500 values.
// Its answers, as it shapes them, are played back here.
TEST(ServerDirectory, SlicedMemberAttributeIsFollowedToTheLastSlice) {
    const std::string dn = "CN=All Staff,OU=Groups,DC=corp,DC=example";
    auto member = [](std::size_t i) { return "CN=User " + std::to_string(i) + ",OU=People,DC=corp,DC=example"; };
    auto slice = [&](const std::string& name, std::size_t from, std::size_t to) {
        LdapEntry e;
        e.dn = dn;
        e.attributes["cn"] = {"All Staff"};
        for (std::size_t i = from; i < to; ++i)
            e.attributes[name].push_back(member(i));
        return e;
    };
    struct Case {
        const char* what;
        LdapEntry first;
        std::map<std::string, LdapEntry> answers; // by the name asked for
        std::size_t values;
        std::string error;
    };
    const Case cases[] = {
        {"3,200 members in three slices", slice("member;range=0-1499", 0, 1500),
         {{"member;range=1500-*", slice("member;range=1500-2999", 1500, 3000)},
          {"member;range=3000-*", slice("member;range=3000-*", 3000, 3200)}}, 3200, ""},
        {"the name's case as the server spells it", slice("Member;Range=0-1499", 0, 1500),
         {{"member;range=1500-*", slice("member;RANGE=1500-*", 1500, 1600)}}, 1600, ""},
        {"a group under the limit, whole", slice("member", 0, 20), {}, 20, ""},
        {"a slice that does not move on", slice("member;range=0-1499", 0, 1500),
         {{"member;range=1500-*", slice("member;range=0-1499", 0, 1500)}}, 0, "do not move on"},
        {"an answer without the attribute", slice("member;range=0-1499", 0, 1500),
         {{"member;range=1500-*", slice("description", 0, 1)}}, 0, "no slice of member from 1500"},
        {"a malformed range is not taken for values", slice("member;range=x-1499", 0, 5), {}, 0, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> got, asked;
        std::string error;
        try {
            EachValue(
                c.first, "member",
                [&](const std::string& request, LdapEntry& out) {
                    asked.push_back(request);
                    const auto a = c.answers.find(request);
                    if (a == c.answers.end())
                        return false;
                    out = a->second;
                    return true;
                },
                [&](const std::string& v) { got.push_back(v); });
        } catch (const LdapError& e) {
            error = e.what();
        }
        if (!c.error.empty()) {
            EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
            continue;
        }
        EXPECT_EQ(error, "") << c.what;
        ASSERT_EQ(got.size(), c.values) << c.what;
        for (std::size_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(got[i], member(i)) << c.what;
        EXPECT_EQ(asked.size(), c.answers.size()) << c.what;
        std::printf("%s: %zu values, %zu further reads\n", c.what, got.size(), asked.size());
    }
}
