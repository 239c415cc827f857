// Server fan-out: N idle stations on loopback, one alert to all of them.
// Prints the time from the API call to the last station holding the whole
// frame and to the ledger recording every send, the server's memory, the
// time to take N acknowledgements sent in a burst into the ledger, and the
// time from a restart to N reconnecting stations holding an alert that was
// waiting for them.
//   bench_fanout [--server PATH] [--clients N]...   (default 1000 and 10000)
#include "AlertServerProcess.h"
#include "StationFrames.h"
#include "client/UDataEntete.h"

#include <cstdio>
#include <vector>

namespace {

using Ms = std::chrono::duration<double, std::milli>;
using Clock = std::chrono::steady_clock;
using nvbench::StationFrame;

std::vector<int> ConnectAll(std::uint16_t port, int n) {
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        const int fd = nvbench::ConnectStation(port, i);
        const std::string id = StationFrame(nv::Identification, "NS=PC" + std::to_string(i) + "\r\nNU=user" + std::to_string(i));
        if (::send(fd, id.data(), id.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(id.size()))
            std::exit(1);
        fds.push_back(fd);
    }
    return fds;
}

long Count(const std::string& listing, const std::string& state) {
    const std::string key = "\"" + state + "\":";
    const std::size_t p = listing.find(key);
    return p == std::string::npos ? -1 : std::atol(listing.c_str() + p + key.size());
}

// Polls the newest alert's counts until `state` reaches n; the time it took, or -1.
double WaitLedger(nvbench::AdminLink& admin, const std::string& state, long n, Clock::time_point t0) {
    for (int i = 0; i < 6000; ++i) {
        if (Count(admin.Get("/api/alerts?limit=1"), state) >= n)
            return Ms(Clock::now() - t0).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

const char kAlert[] = "{\"everyone\":true,\"author\":\"Bench\",\"subject\":\"Diffusion\",\"date\":\"now\","
                      "\"lines\":[\"Alerte envoy\\u00e9e \\u00e0 tous les postes.\"]}";

bool Run(const std::string& serverPath, int n) {
    std::string dir, token;
    std::vector<int> fds;
    {
        nvbench::AlertServerProcess server(serverPath);
        dir = server.DataDir();
        token = server.Token();
        const long rssIdle = server.RssKiB();
        const auto c0 = Clock::now();
        fds = ConnectAll(server.Port(), n);
        if (!server.WaitCount("identified", static_cast<std::size_t>(n), 120000)) {
            std::fprintf(stderr, "only %zu of %d stations identified\n", server.Count("identified"), n);
            return false;
        }
        const double connectMs = Ms(Clock::now() - c0).count();
        const long rssStations = server.RssKiB();

        nvbench::AdminLink admin(server.AdminPort(), token);
        const auto t0 = Clock::now();
        admin.Send(kAlert);
        if (!nvbench::AllReceive(fds))
            return false;
        const double fanMs = Ms(Clock::now() - t0).count();
        const std::string answer = admin.Answer();
        const double ledgerMs = WaitLedger(admin, "sent", n, t0);
        const long rssAfter = server.RssKiB();
        std::printf("N=%-6d connect+identify %8.1f ms | API call->last station's last byte %8.2f ms, "
                    "->ledger has every send %8.2f ms | server RSS idle %ld KiB, with stations %ld KiB, "
                    "after the alert %ld KiB\n",
                    n, connectMs, fanMs, ledgerMs, rssIdle, rssStations, rssAfter);

        const std::string ack = StationFrame(nv::AlerteLue);
        const auto a0 = Clock::now();
        for (int fd : fds)
            if (::send(fd, ack.data(), ack.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ack.size()))
                return false;
        const double ackMs = WaitLedger(admin, "acknowledged", n, a0);
        std::printf("N=%-6d %d AlerteLue in a burst -> all in the ledger %8.2f ms\n", n, n, ackMs);

        for (int fd : fds)
            ::close(fd);
        fds.clear();
        admin.Send(kAlert); // waits for every station, none online
        admin.Answer();
    } // SIGTERM, clean stop

    const auto r0 = Clock::now();
    nvbench::AlertServerProcess again(serverPath, dir, token);
    const double startMs = Ms(Clock::now() - r0).count();
    fds = ConnectAll(again.Port(), n);
    const double connectMs = Ms(Clock::now() - r0).count();
    if (!nvbench::AllReceive(fds))
        return false;
    std::printf("N=%-6d restart: listening after %8.1f ms, every reconnecting station holding its "
                "pending alert after %8.1f ms (the last connect made at %8.1f ms)\n",
                n, startMs, Ms(Clock::now() - r0).count(), connectMs);
    for (int fd : fds)
        ::close(fd);
    std::system(("rm -rf " + dir).c_str());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const rlim_t limit = nvbench::RaiseDescriptorLimit();

    std::vector<int> sizes;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--clients") == 0)
            sizes.push_back(std::atoi(argv[i + 1]));
    if (sizes.empty())
        sizes = {1000, 10000};
    const std::string path = nvbench::AlertServerPath(argc, argv);
    std::printf("descriptor limit %llu\n", static_cast<unsigned long long>(limit));
    for (int n : sizes) {
        if (static_cast<rlim_t>(n) + 64 > limit) {
            std::printf("N=%d skipped: descriptor limit %llu (the server needs as many)\n", n,
                        static_cast<unsigned long long>(limit));
            continue;
        }
        if (!Run(path, n))
            return 1;
    }
    return 0;
}
