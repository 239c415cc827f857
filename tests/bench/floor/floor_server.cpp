// The floor the alert server is measured against: the same single epoll
// loop on the workstation port, and nothing else. It reads the stations'
// frames and counts them, stores nothing, and sends the alert frame it was
// given with one send() to every identified connection.
//   floor_server --frame FILE [--pending]
// Prints "listening PORT CONTROL_PORT" once both listen on loopback. One
// line per command on a control connection:
//   alert               one send() of the frame to every identified station -> "sent K"
//   wait WHAT N         answered "ok" once N identifications / acknowledgements
//                       (WHAT: identified or acks) have been read
// With --pending the frame waits for every station: each one gets it as soon
// as it has identified.
#include "client/UDataEntete.h"
#include "tests/bench/StationFrames.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

int Listen(int backlog) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0) {
        std::perror("floor_server: listen");
        std::exit(1);
    }
    return fd;
}

std::uint16_t PortOf(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A station's frames as they arrive: a 24-byte header, then its blocks.
struct Station {
    std::uint8_t head[24];
    std::size_t headGot = 0, bodyLeft = 0;
    bool identified = false;
};

class Floor {
  public:
    Floor(std::string frame, bool pending) : frame_(std::move(frame)), pending_(pending) {}

    int Run() {
        // The same accept queue as the alert server's workstation port.
        listen_ = Listen(4096);
        control_ = Listen(4);
        ep_ = ::epoll_create1(EPOLL_CLOEXEC);
        Watch(listen_);
        Watch(control_);
        std::printf("listening %u %u\n", PortOf(listen_), PortOf(control_));
        std::fflush(stdout);
        std::vector<epoll_event> events(1024);
        for (;;) {
            const int k = ::epoll_wait(ep_, events.data(), static_cast<int>(events.size()), -1);
            for (int e = 0; e < k; ++e) {
                const int fd = events[e].data.fd;
                if (fd == listen_)
                    Accept();
                else if (fd == control_)
                    Watch(link_ = ::accept4(control_, nullptr, nullptr, SOCK_CLOEXEC));
                else if (fd == link_ && !Command())
                    return 0;
                else if (fd != link_)
                    Read(fd);
            }
            AnswerWait();
        }
    }

  private:
    void Watch(int fd) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ::epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev);
    }

    void Accept() {
        for (;;) {
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                return;
            if (static_cast<std::size_t>(fd) >= stations_.size())
                stations_.resize(static_cast<std::size_t>(fd) + 1);
            stations_[static_cast<std::size_t>(fd)] = Station{};
            Watch(fd);
        }
    }

    void Read(int fd) {
        std::uint8_t buf[4096];
        const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r <= 0) {
            ::close(fd); // also leaves the epoll set
            stations_[static_cast<std::size_t>(fd)].identified = false;
            return;
        }
        Station& s = stations_[static_cast<std::size_t>(fd)];
        for (std::size_t i = 0; i < static_cast<std::size_t>(r);) {
            if (s.bodyLeft) {
                const std::size_t take = std::min(s.bodyLeft, static_cast<std::size_t>(r) - i);
                s.bodyLeft -= take;
                i += take;
            } else {
                s.head[s.headGot++] = buf[i++];
                if (s.headGot < 24)
                    continue;
                s.headGot = 0;
                const nv::EnteteMessage h = nv::LitEntete(s.head);
                s.bodyLeft = static_cast<std::size_t>(h.Taille1) + static_cast<std::size_t>(h.Taille2);
                if (h.TypeMessage == nv::Identification && !s.identified) {
                    s.identified = true;
                    ++identified_;
                    if (pending_)
                        Send(fd);
                } else if (h.TypeMessage == nv::AlerteLue) {
                    ++acks_;
                }
            }
        }
    }

    void Send(int fd) {
        if (::send(fd, frame_.data(), frame_.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
            static_cast<ssize_t>(frame_.size()))
            ++sent_;
    }

    // False when the benchmark has gone.
    bool Command() {
        char buf[256];
        const ssize_t r = ::recv(link_, buf, sizeof buf - 1, 0);
        if (r <= 0)
            return false;
        line_.append(buf, static_cast<std::size_t>(r));
        for (std::size_t nl; (nl = line_.find('\n')) != std::string::npos; line_.erase(0, nl + 1)) {
            const std::string cmd = line_.substr(0, nl);
            if (cmd == "alert") {
                sent_ = 0;
                for (std::size_t fd = 0; fd < stations_.size(); ++fd)
                    if (stations_[fd].identified)
                        Send(static_cast<int>(fd));
                Reply("sent " + std::to_string(sent_));
            } else if (cmd.rfind("wait ", 0) == 0) {
                char what[32] = {};
                long n = 0;
                std::sscanf(cmd.c_str(), "wait %31s %ld", what, &n);
                waitFor_ = std::strcmp(what, "acks") == 0 ? &acks_ : &identified_;
                waitCount_ = n;
            }
        }
        return true;
    }
    void AnswerWait() {
        if (waitFor_ && *waitFor_ >= waitCount_) {
            waitFor_ = nullptr;
            Reply("ok");
        }
    }
    void Reply(const std::string& line) const {
        const std::string l = line + "\n";
        (void)!::send(link_, l.data(), l.size(), MSG_NOSIGNAL);
    }

    const std::string frame_;
    const bool pending_;
    int listen_ = -1, control_ = -1, ep_ = -1, link_ = -1;
    std::vector<Station> stations_; // by descriptor
    long identified_ = 0, acks_ = 0, sent_ = 0;
    long* waitFor_ = nullptr;
    long waitCount_ = 0;
    std::string line_;
};

} // namespace

int main(int argc, char** argv) {
    nvbench::RaiseDescriptorLimit();
    std::string framePath;
    bool pending = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--frame") == 0 && i + 1 < argc)
            framePath = argv[++i];
        else if (std::strcmp(argv[i], "--pending") == 0)
            pending = true;
    }
    std::ifstream in(framePath, std::ios::binary);
    const std::string frame((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (frame.size() < 24) {
        std::fprintf(stderr, "floor_server: no alert frame in '%s'\n", framePath.c_str());
        return 2;
    }
    return Floor(frame, pending).Run();
}
