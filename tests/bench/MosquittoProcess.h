// Debian's Mosquitto broker for the benchmarks: started here on a loopback
// port with a configuration of its own in a temporary directory (as nobody
// when run as root), stopped by pid. And the few MQTT 3.1.1 packets the
// simulated stations write themselves, so that one process holds thousands
// of them as it does the alert server's.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace nvbench {

namespace mqtt {

inline std::string Str(const std::string& s) {
    return std::string{static_cast<char>(s.size() >> 8), static_cast<char>(s.size() & 0xff)} + s;
}
// A fixed header, the remaining length as MQTT's variable-length integer, the rest.
inline std::string Packet(std::uint8_t type, const std::string& rest) {
    std::string out(1, static_cast<char>(type));
    std::size_t n = rest.size();
    do {
        std::uint8_t b = n % 128;
        n /= 128;
        out += static_cast<char>(n ? b | 0x80 : b);
    } while (n);
    return out + rest;
}
inline std::string Id(std::uint16_t id) { return {static_cast<char>(id >> 8), static_cast<char>(id & 0xff)}; }
// A clean session without keep-alive.
inline std::string Connect(const std::string& clientId) {
    return Packet(0x10, Str("MQTT") + std::string{4, 0x02, 0, 0} + Str(clientId));
}
inline std::string Subscribe(const std::string& topic, std::uint16_t id) {
    return Packet(0x82, Id(id) + Str(topic) + std::string(1, 1));
}
inline std::string Publish(const std::string& topic, const std::string& payload, std::uint16_t id,
                           bool retain = false) {
    return Packet(retain ? 0x33 : 0x32, Str(topic) + Id(id) + payload);
}
inline std::string Puback(std::uint16_t id) { return Packet(0x40, Id(id)); }
constexpr std::size_t kConnackSize = 4, kSubackSize = 5, kPubackSize = 4;

// The packet id of the QoS 1 PUBLISH that `got` starts with (after `skip` bytes).
inline std::uint16_t PublishId(const std::string& got, std::size_t skip = 0) {
    std::size_t p = skip + 1;
    while (p < got.size() && (static_cast<std::uint8_t>(got[p]) & 0x80))
        ++p;
    ++p;
    const std::size_t topic = (static_cast<std::uint8_t>(got[p]) << 8) | static_cast<std::uint8_t>(got[p + 1]);
    p += 2 + topic;
    return static_cast<std::uint16_t>((static_cast<std::uint8_t>(got[p]) << 8) | static_cast<std::uint8_t>(got[p + 1]));
}

} // namespace mqtt

class MosquittoProcess {
  public:
    static constexpr const char* kPath = "/usr/sbin/mosquitto";

    // A fresh directory and port.
    MosquittoProcess() {
        char tmpl[] = "/tmp/nivaxel-mosquitto-XXXXXX";
        if (!::mkdtemp(tmpl))
            std::abort();
        dir_ = tmpl;
        port_ = FreePort();
        Start();
    }
    ~MosquittoProcess() {
        Stop();
        std::system(("rm -rf " + dir_).c_str());
    }
    MosquittoProcess(const MosquittoProcess&) = delete;
    MosquittoProcess& operator=(const MosquittoProcess&) = delete;

    // A clean stop (the broker saves what it keeps), then the same broker again.
    void Restart() {
        Stop();
        Start();
    }

    std::uint16_t Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    // Empty when it runs.
    const std::string& error() const { return error_; }

  private:
    static std::uint16_t FreePort() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        ::close(fd);
        return ntohs(a.sin_port);
    }

    void Start() {
        error_.clear();
        std::ofstream(dir_ + "/mosquitto.conf")
            << "listener " << port_ << " 127.0.0.1\n"
            << "allow_anonymous true\n"
            << "persistence true\npersistence_location " << dir_ << "/\n"
            << "autosave_interval 0\n"
            << "log_dest none\n"
            << "max_connections -1\nmax_queued_messages 0\n"
            // It refuses to keep root: the unprivileged user it runs as must write here.
            << "user nobody\n";
        if (::geteuid() == 0)
            if (const passwd* pw = ::getpwnam("nobody"))
                (void)!::chown(dir_.c_str(), pw->pw_uid, pw->pw_gid);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl(kPath, kPath, "-c", (dir_ + "/mosquitto.conf").c_str(), static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        for (int i = 0; i < 200; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port_);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(fd);
            if (up)
                return;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                error_ = "mosquitto ended at start (status " + std::to_string(status) + ")";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        error_ = "mosquitto did not listen on port " + std::to_string(port_) + " within 10 s";
    }
    void Stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    std::string dir_, error_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

} // namespace nvbench
