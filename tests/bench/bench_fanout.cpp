// Server fan-out: N idle clients on loopback, one alert to all of them; time
// from the send request to the last client holding the whole frame, and the
// server's resident memory before, with the clients, and after the send.
//   bench_fanout [--server PATH] [--clients N]...   (default 1000 and 10000)
#include "AlertServerProcess.h"
#include "client/UDataEntete.h"

#include <sys/epoll.h>
#include <sys/resource.h>

#include <cstdio>
#include <vector>

namespace {

using Ms = std::chrono::duration<double, std::milli>;

std::string Identification(int i) {
    const std::string text = "NS=PC" + std::to_string(i) + "\r\nNU=user" + std::to_string(i);
    nv::EnteteMessage e;
    e.TypeMessage = nv::Identification;
    e.Taille1 = static_cast<std::int32_t>(text.size());
    std::string out(24, '\0');
    nv::EcritEntete(e, reinterpret_cast<std::uint8_t*>(out.data()));
    return out + text;
}

int Connect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

bool Run(const std::string& serverPath, int n) {
    nvbench::AlertServerProcess server(serverPath);
    const long rssIdle = server.RssKiB();
    std::vector<int> fds;
    fds.reserve(static_cast<std::size_t>(n));
    const auto c0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
        const int fd = Connect(server.Port());
        const std::string id = Identification(i);
        if (::send(fd, id.data(), id.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(id.size()))
            return false;
        fds.push_back(fd);
    }
    if (!server.WaitCount("identified", static_cast<std::size_t>(n), 120000)) {
        std::fprintf(stderr, "only %zu of %d clients identified\n", server.Count("identified"), n);
        return false;
    }
    const double connectMs = Ms(std::chrono::steady_clock::now() - c0).count();
    const long rssClients = server.RssKiB();

    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    for (int fd : fds) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    }
    nvbench::AdminLink admin(server.AdminPort());
    const std::string request = "{\"cmd\":\"send\",\"author\":\"Bench\",\"subject\":\"Diffusion\","
                                "\"date\":\"now\",\"id\":\"1\","
                                "\"lines\":[\"Alerte envoy\\u00e9e \\u00e0 tous les postes.\"]}";
    std::vector<std::size_t> got(static_cast<std::size_t>(n) + 1024, 0);
    std::size_t frameSize = 0;
    int complete = 0;

    const auto t0 = std::chrono::steady_clock::now();
    admin.Send(request);
    std::vector<epoll_event> events(1024);
    char buf[4096];
    while (complete < n) {
        const int k = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), 30000);
        if (k <= 0) {
            std::fprintf(stderr, "stalled at %d of %d\n", complete, n);
            return false;
        }
        for (int i = 0; i < k; ++i) {
            const int fd = events[i].data.fd;
            const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
            if (r <= 0)
                continue;
            if (frameSize == 0 && r >= 24) {
                const nv::EnteteMessage e =
                    nv::LitEntete(reinterpret_cast<const std::uint8_t*>(buf));
                frameSize =
                    24 + static_cast<std::size_t>(e.Taille1) + static_cast<std::size_t>(e.Taille2);
            }
            if (static_cast<std::size_t>(fd) >= got.size())
                got.resize(static_cast<std::size_t>(fd) + 1, 0);
            got[static_cast<std::size_t>(fd)] += static_cast<std::size_t>(r);
            if (frameSize && got[static_cast<std::size_t>(fd)] == frameSize)
                ++complete;
        }
    }
    const double fanMs = Ms(std::chrono::steady_clock::now() - t0).count();
    const std::string answer = admin.Answer();
    const long rssAfter = server.RssKiB();
    std::printf("N=%-6d connect+identify %8.1f ms | send->last receipt %8.2f ms (%zu-byte frame) | "
                "server RSS idle %ld KiB, with clients %ld KiB, after send %ld KiB | %s\n",
                n, connectMs, fanMs, frameSize, rssIdle, rssClients, rssAfter, answer.c_str());
    ::close(ep);
    for (int fd : fds)
        ::close(fd);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    // Each side of each connection is a descriptor: raise the limit as far
    // as the hard limit allows.
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);

    std::vector<int> sizes;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--clients") == 0)
            sizes.push_back(std::atoi(argv[i + 1]));
    if (sizes.empty())
        sizes = {1000, 10000};
    const std::string path = nvbench::AlertServerPath(argc, argv);
    std::printf("descriptor limit %llu\n", static_cast<unsigned long long>(lim.rlim_cur));
    for (int n : sizes) {
        if (static_cast<rlim_t>(n) + 64 > lim.rlim_cur) {
            std::printf("N=%d skipped: descriptor limit %llu\n", n,
                        static_cast<unsigned long long>(lim.rlim_cur));
            continue;
        }
        if (!Run(path, n))
            return 1;
    }
    return 0;
}
