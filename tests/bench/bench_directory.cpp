// Directory sync at the size of a large organisation: 50,000 people and
// 5,000 groups (one of 20,000 members, the rest nested ten deep in a tree)
// on a real slapd; prints sync time and memory, and sign-in time.
#include "server/Directory.h"
#include "unit/Slapd.h"

#include <chrono>
#include <cstdio>
#include <fstream>

using namespace nvserver;
using namespace nvtest;

namespace {

long StatusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(std::string(field).size()));
    return -1;
}

double Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    const int people = argc > 1 ? std::atoi(argv[1]) : 50000;
    const int groups = argc > 2 ? std::atoi(argv[2]) : 5000;
    const int big = std::min(people, 20000);
    std::string ldif;
    for (int i = 0; i < people; ++i)
        ldif += Person("p" + std::to_string(i));
    for (int g = 0; g < groups; ++g) {
        std::vector<std::string> members;
        if (g == 0)
            for (int i = 0; i < big; ++i)
                members.push_back(UserDn("p" + std::to_string(i)));
        for (int k = 0; k < 10; ++k)
            members.push_back(UserDn("p" + std::to_string((g * 10 + k) % people)));
        // Each group holds its ten children: group 1 holds 10..19, and so on.
        for (int c = g * 10; c < g * 10 + 10 && c < groups; ++c)
            if (c > 0)
                members.push_back(GroupDn("g" + std::to_string(c)));
        ldif += GroupEntry(g == 0 ? "Everyone" : "g" + std::to_string(g), members);
    }
    const auto loadStart = std::chrono::steady_clock::now();
    Slapd slapd(ldif);
    std::printf("slapd seeded with %d people and %d groups in %.0f ms\n", people, groups,
                Ms(std::chrono::steady_clock::now() - loadStart));
    slapd.Write("bind.pw", "svc-secret\n");
    const DirectoryConfig config = ParseDirectoryConfig(
        "url = " + slapd.Url() + "\nbind_dn = cn=svc-nivaxel,dc=example,dc=org\nbind_password_file = bind.pw\n"
        "base_dn = dc=example,dc=org\nuser_attribute = uid\nuser_filter = (objectClass=inetOrgPerson)\n"
        "computer_filter = (objectClass=device)\ngroup_class = groupOfNames\nadmin_group = Everyone\n"
        "timeout_seconds = 120\n",
        slapd.Dir());
    ldif.clear();
    ldif.shrink_to_fit();
    Directory d(config);
    const long rssBefore = StatusKb("VmRSS:");
    for (int round = 1; round <= 2; ++round) {
        const SyncState st = d.SyncNow();
        if (!st.error.empty()) {
            std::printf("sync failed: %s\n", st.error.c_str());
            return 1;
        }
        std::printf("sync %d: %zu users, %zu groups, %zu memberships in %lld ms; RSS %+ld KiB (peak %ld KiB)\n",
                    round, st.users, st.groups, st.memberships, static_cast<long long>(st.durationMs),
                    StatusKb("VmRSS:") - rssBefore, StatusKb("VmHWM:"));
    }
    const auto g0 = d.Snapshot()->at("everyone").directory;
    std::printf("largest group: %zu members after nesting\n", g0->users.size());
    // Sign-in: a bind as the person and the walk up their groups.
    double total = 0, worst = 0;
    const int signIns = 20;
    for (int i = 0; i < signIns; ++i) {
        const std::string uid = "p" + std::to_string((i * 2477) % big);
        const auto start = std::chrono::steady_clock::now();
        const SignIn r = d.Authenticate(uid, "pw-" + uid);
        const double ms = Ms(std::chrono::steady_clock::now() - start);
        if (!r.ok) {
            std::printf("sign-in of %s failed: %s\n", uid.c_str(), r.error.c_str());
            return 1;
        }
        total += ms;
        worst = std::max(worst, ms);
    }
    std::printf("sign-in through the directory: %.1f ms mean, %.1f ms worst over %d\n", total / signIns, worst,
                signIns);
    return 0;
}
