#include "Directory.h"

#include "DirectoryNames.h"
#include "Ldap.h"
#include "LdapRange.h"

#include <chrono>
#include <deque>
#include <unordered_map>
#include <unordered_set>

namespace nvserver {

namespace {

const char kWrongPassword[] = "unknown user or wrong password";

std::unique_ptr<LdapConnection> ServiceConnection(const DirectoryConfig& c) {
    auto conn = std::make_unique<LdapConnection>(c);
    if (!c.bindDn.empty())
        conn->Bind(c.bindDn, c.bindPassword);
    return conn;
}

std::string GroupFilter(const DirectoryConfig& c) {
    return "(objectClass=" + EscapeFilterValue(c.groupClass) + ")";
}

bool IsDn(const std::string& value) {
    return value.find('=') != std::string::npos;
}

std::vector<std::string> FindUser(LdapConnection& conn, const DirectoryConfig& c, const std::string& key) {
    std::vector<std::string> dns;
    conn.Search(c.userBase, "(&" + c.userFilter + "(" + c.userAttribute + "=" + EscapeFilterValue(key) + "))",
                {c.userAttribute}, [&](const LdapEntry& e) { dns.push_back(e.dn); });
    return dns;
}

// The names of every group the person belongs to, directly or through
// nested groups: walked upwards from the person, each group once, so that
// a loop ends and a group of thousands is never read whole.
std::unordered_set<std::string> GroupsOf(LdapConnection& conn, const DirectoryConfig& c, const std::string& dn,
                                         const std::string& key) {
    std::unordered_set<std::string> names, seen;
    std::deque<std::string> next;
    auto containing = [&](const std::string& memberFilter) {
        conn.Search(c.groupBase, "(&" + GroupFilter(c) + memberFilter + ")", {"cn"}, [&](const LdapEntry& e) {
            if (!seen.insert(NormalDn(e.dn)).second)
                return;
            for (const std::string& cn : e.Values("cn"))
                names.insert(NameKey(cn));
            next.push_back(e.dn);
        });
    };
    containing("(" + c.memberAttribute + "=" + EscapeFilterValue(dn) + ")");
    if (c.memberAttribute == "memberUid")
        containing("(memberUid=" + EscapeFilterValue(key) + ")");
    while (!next.empty() && seen.size() < 100000) {
        const std::string group = next.front();
        next.pop_front();
        containing("(" + c.memberAttribute + "=" + EscapeFilterValue(group) + ")");
    }
    return names;
}

std::string RoleFrom(const DirectoryConfig& c, const std::unordered_set<std::string>& groups) {
    const std::pair<const std::string*, const char*> roles[] = {
        {&c.adminGroup, "admin"}, {&c.operatorGroup, "operator"}, {&c.viewerGroup, "viewer"}};
    for (const auto& [group, role] : roles)
        if (!group->empty() && groups.count(NameKey(*group)))
            return role;
    return "";
}

// One group as read, before nesting is expanded.
struct RawGroup {
    std::string name;
    std::vector<const std::string*> users, computers;
    std::vector<std::uint32_t> groups;
};

} // namespace

Directory::Directory(DirectoryConfig config) : config_(std::move(config)), groups_(std::make_shared<Groups>()) {}

Directory::~Directory() { Stop(); }

void Directory::Stop() {
    {
        std::lock_guard lock(loopMutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void Directory::Start(Listener changed) {
    changed_ = std::move(changed);
    thread_ = std::thread([this] { Loop(); });
}

void Directory::Loop() {
    std::unique_lock lock(loopMutex_);
    while (!stop_) {
        lock.unlock();
        SyncNow();
        lock.lock();
        wake_.wait_for(lock, std::chrono::minutes(config_.syncMinutes), [this] { return stop_; });
    }
}

SyncState Directory::State() const {
    std::lock_guard lock(stateMutex_);
    return state_;
}

std::shared_ptr<const Groups> Directory::Snapshot() const {
    std::lock_guard lock(stateMutex_);
    return groups_;
}

SyncState Directory::SyncNow() {
    std::lock_guard one(syncMutex_);
    const auto started = std::chrono::steady_clock::now();
    const Time attempt = Now();
    SyncState counts;
    std::shared_ptr<const Groups> groups;
    std::string error;
    try {
        groups = Read(counts);
    } catch (const DirectoryError& e) {
        error = e.what();
    }
    SyncState now;
    {
        std::lock_guard lock(stateMutex_);
        state_.lastAttempt = attempt;
        state_.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count();
        state_.error = error;
        if (groups) {
            state_.lastSuccess = attempt;
            state_.users = counts.users;
            state_.computers = counts.computers;
            state_.groups = counts.groups;
            state_.memberships = counts.memberships;
            groups_ = groups;
        } else {
            state_.errorAt = attempt;
        }
        now = state_;
    }
    if (groups && changed_)
        changed_(groups);
    return now;
}

std::shared_ptr<const Groups> Directory::Read(SyncState& counts) const {
    auto conn = ServiceConnection(config_);
    // DN -> key of every user and computer: members are named by DN.
    std::unordered_map<std::string, std::string> users, computers;
    conn->Search(config_.userBase, config_.userFilter, {config_.userAttribute}, [&](const LdapEntry& e) {
        const auto& v = e.Values(config_.userAttribute);
        if (!v.empty())
            users.emplace(NormalDn(e.dn), DirectoryUserKey(v.front()));
    });
    conn->Search(config_.computerBase, config_.computerFilter, {config_.computerAttribute}, [&](const LdapEntry& e) {
        const auto& v = e.Values(config_.computerAttribute);
        if (!v.empty())
            computers.emplace(NormalDn(e.dn), DirectoryComputerKey(v.front()));
    });
    // Groups: members resolved against the maps above once every group is
    // known, since a group may name one read later.
    std::vector<RawGroup> raw;
    std::vector<std::vector<std::string>> memberDns;
    std::unordered_map<std::string, std::uint32_t> groupIndex;
    std::unordered_set<std::string> namedUsers; // memberUid-style members, named not by DN
    conn->Search(config_.groupBase, GroupFilter(config_), {"cn", config_.memberAttribute}, [&](const LdapEntry& e) {
        const auto& cn = e.Values("cn");
        if (cn.empty())
            return;
        groupIndex.emplace(NormalDn(e.dn), static_cast<std::uint32_t>(raw.size()));
        RawGroup g;
        g.name = cn.front();
        std::vector<std::string> dns;
        // A large group arrives in slices (Active Directory): the rest is read by name.
        auto readSlice = [&](const std::string& request, LdapEntry& out) {
            return conn->Read(e.dn, "(objectClass=*)", {request}, out);
        };
        EachValue(e, config_.memberAttribute, readSlice, [&](const std::string& m) {
            if (IsDn(m))
                dns.push_back(NormalDn(m));
            else
                g.users.push_back(&*namedUsers.insert(DirectoryUserKey(m)).first);
        });
        raw.push_back(std::move(g));
        memberDns.push_back(std::move(dns));
    });
    for (std::size_t i = 0; i < raw.size(); ++i) {
        for (const std::string& dn : memberDns[i]) {
            if (const auto u = users.find(dn); u != users.end())
                raw[i].users.push_back(&u->second);
            else if (const auto c = computers.find(dn); c != computers.end())
                raw[i].computers.push_back(&c->second);
            else if (const auto g = groupIndex.find(dn); g != groupIndex.end())
                raw[i].groups.push_back(g->second);
        }
        std::vector<std::string>().swap(memberDns[i]);
    }
    // Expansion: each group's closure, walked with a visit mark per group
    // so that loops in nesting end.
    std::map<std::string, std::shared_ptr<DirectoryMembers>> byName;
    std::vector<std::uint32_t> mark(raw.size(), 0);
    std::vector<std::uint32_t> stack;
    for (std::uint32_t i = 0; i < raw.size(); ++i) {
        auto& members = byName[NameKey(raw[i].name)];
        if (!members) {
            members = std::make_shared<DirectoryMembers>();
            members->name = raw[i].name;
            members->domains = config_.domains;
        }
        stack.assign(1, i);
        mark[i] = i + 1;
        while (!stack.empty()) {
            const RawGroup& g = raw[stack.back()];
            stack.pop_back();
            for (const std::string* u : g.users)
                members->users.insert(*u);
            for (const std::string* c : g.computers)
                members->computers.insert(*c);
            for (std::uint32_t child : g.groups)
                if (mark[child] != i + 1) {
                    mark[child] = i + 1;
                    stack.push_back(child);
                }
        }
    }
    auto groups = std::make_shared<Groups>();
    for (auto& [key, members] : byName) {
        counts.memberships += members->users.size() + members->computers.size();
        Group g;
        g.directory = std::move(members);
        groups->emplace(key, std::move(g));
    }
    counts.users = users.size();
    counts.computers = computers.size();
    counts.groups = groups->size();
    return groups;
}

SignIn Directory::CurrentRole(const std::string& login) const {
    SignIn r;
    r.name = login;
    const auto key = StationUserKey(login, config_.domains);
    if (!key) {
        r.error = "the name's domain is not the directory's";
        return r;
    }
    try {
        auto conn = ServiceConnection(config_);
        const auto dns = FindUser(*conn, config_, *key);
        if (dns.size() != 1) {
            r.error = kWrongPassword;
            return r;
        }
        r.dn = dns.front();
        r.role = RoleFrom(config_, GroupsOf(*conn, config_, r.dn, *key));
        if (r.role.empty())
            r.error = "not a member of any of the console's directory groups";
    } catch (const DirectoryError& e) {
        r.unreachable = true;
        r.error = std::string("the directory cannot be reached: ") + e.what();
    }
    return r;
}

SignIn Directory::Authenticate(const std::string& login, const std::string& password) const {
    if (login.empty() || password.empty()) {
        SignIn r;
        r.error = "a name and a password are needed";
        return r;
    }
    SignIn r = CurrentRole(login);
    if (r.dn.empty())
        return r;
    try {
        LdapConnection personal(config_);
        personal.Bind(r.dn, password);
    } catch (const LdapError& e) {
        r.role.clear();
        r.unreachable = !e.invalidCredentials;
        r.error = e.invalidCredentials ? kWrongPassword : std::string("the directory cannot be reached: ") + e.what();
        return r;
    }
    r.passwordOk = true;
    r.ok = r.error.empty() && !r.role.empty();
    return r;
}

} // namespace nvserver
