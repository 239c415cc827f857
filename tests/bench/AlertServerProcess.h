// Runs the alert server as a child process for the benchmarks, on a data
// directory of its own with an admin token, and follows its event lines on a
// reader thread (the server must never block on a full pipe while being
// measured).
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace nvbench {

inline std::string AlertServerPath(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--server") == 0)
            return argv[i + 1];
    if (const char* env = std::getenv("NIVAXEL_ALERT_SERVER"))
        return env;
    char exe[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string dir = n > 0 ? std::string(exe, static_cast<std::size_t>(n)) : std::string();
    dir = dir.substr(0, dir.rfind('/'));              // .../tests/bench
    return dir + "/../../server/nivaxel-server"; // .../server
}

// A fresh data directory and an admin token, kept in it or in `database`
// when one is given; the token is returned.
inline std::string MakeDataDir(const std::string& server, std::string& dir, const std::string& database = {}) {
    char tmpl[] = "/tmp/nivaxel-bench-XXXXXX";
    if (!::mkdtemp(tmpl))
        std::abort();
    dir = tmpl;
    const std::string store = database.empty() ? "--data " + dir : "--database '" + database + "'";
    const std::string cmd = server + " token create " + store + " --scope admin";
    FILE* p = ::popen(cmd.c_str(), "r");
    char buf[256] = {};
    if (!p || !std::fgets(buf, sizeof buf, p))
        std::abort();
    ::pclose(p);
    std::string token(buf);
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r'))
        token.pop_back();
    return token;
}

inline std::string JsonField(const std::string& line, const std::string& key) {
    const std::string k = "\"" + key + "\":";
    std::size_t p = line.find(k);
    if (p == std::string::npos)
        return {};
    p += k.size();
    if (line[p] == '"') {
        const std::size_t e = line.find('"', p + 1);
        return line.substr(p + 1, e - p - 1);
    }
    const std::size_t e = line.find_first_of(",}", p);
    return line.substr(p, e - p);
}

class AlertServerProcess {
  public:
    // A fresh data directory unless `dataDir` names one (then `token` is its
    // token); the store is that directory's SQLite file unless `database`
    // names a PostgreSQL one.
    explicit AlertServerProcess(const std::string& path, std::string dataDir = {},
                                std::string token = {}, std::string database = {})
        : dir_(std::move(dataDir)), token_(std::move(token)) {
        if (dir_.empty())
            token_ = MakeDataDir(path, dir_, database);
        int fds[2];
        if (::pipe(fds) != 0)
            std::abort();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            ::close(fds[1]);
            ::execl(path.c_str(), path.c_str(), "serve", "--data", dir_.c_str(), "--port", "0",
                    "--admin", "127.0.0.1:0", "--probe-interval", "0",
                    // Every benchmark station comes from loopback, all at once.
                    "--max-per-address", "1000000", "--max-unidentified", "1000000",
                    "--new-stations-per-minute", "1000000",
                    database.empty() ? static_cast<char*>(nullptr) : "--database", database.c_str(),
                    static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        ::close(fds[1]);
        out_ = ::fdopen(fds[0], "r");
        reader_ = std::thread([this] { Read(); });
        std::unique_lock<std::mutex> l(m_);
        if (!cv_.wait_for(l, std::chrono::seconds(10), [&] { return port_ != 0 || ended_; }) ||
            port_ == 0) {
            std::fprintf(stderr, "nivaxel-server did not start: %s\n", path.c_str());
            std::exit(1);
        }
    }
    ~AlertServerProcess() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reader_.join();
        std::fclose(out_);
    }

    // A node lost at once: no clean stop, its stations see their connections end.
    void Kill() { ::kill(pid_, SIGKILL); }

    std::uint16_t Port() const { return port_; }
    const std::string& DataDir() const { return dir_; }
    const std::string& Token() const { return token_; }
    std::uint16_t AdminPort() const { return adminPort_; }
    pid_t Pid() const { return pid_; }

    // Waits until `count` events of that name have been seen in all.
    bool WaitCount(const std::string& name, std::size_t count, int ms) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(ms),
                            [&] { return counts_[name] >= count; });
    }
    std::size_t Count(const std::string& name) {
        std::lock_guard<std::mutex> l(m_);
        return counts_[name];
    }

    long RssKiB() const {
        const std::string path = "/proc/" + std::to_string(pid_) + "/status";
        FILE* f = std::fopen(path.c_str(), "r");
        if (!f)
            return -1;
        char line[256];
        long kib = -1;
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, "VmRSS:", 6) == 0)
                kib = std::atol(line + 6);
        std::fclose(f);
        return kib;
    }

  private:
    void Read() {
        char buf[4096];
        while (std::fgets(buf, sizeof buf, out_)) {
            const std::string line(buf);
            const std::string event = JsonField(line, "event");
            std::lock_guard<std::mutex> l(m_);
            ++counts_[event];
            if (event == "listening") {
                port_ = static_cast<std::uint16_t>(std::atoi(JsonField(line, "port").c_str()));
                const std::string admin = JsonField(line, "admin");
                adminPort_ = static_cast<std::uint16_t>(
                    std::atoi(admin.substr(admin.rfind(':') + 1).c_str()));
            }
            cv_.notify_all();
        }
        std::lock_guard<std::mutex> l(m_);
        ended_ = true;
        cv_.notify_all();
    }

    std::string dir_, token_;
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    std::thread reader_;
    std::mutex m_;
    std::condition_variable cv_;
    std::map<std::string, std::size_t> counts_;
    std::uint16_t port_ = 0;
    std::uint16_t adminPort_ = 0;
    bool ended_ = false;
};

// One kept-alive HTTP connection to the API. The server closes a kept-alive
// connection left idle for a few seconds (while thousands of stations
// connect, say): a request after such a pause goes on a new connection
// rather than into a closed one, where it would wait for an answer forever.
class AdminLink {
  public:
    AdminLink(std::uint16_t port, std::string token) : port_(port), token_(std::move(token)) { Open(); }
    ~AdminLink() { ::close(fd_); }
    // Sends a request; its answer comes from Answer().
    void Send(const std::string& jsonBody, const std::string& method = "POST",
              const std::string& path = "/api/alerts") {
        if (buf_.empty() && ClosedByServer()) {
            ::close(fd_);
            Open();
            ++reopened_;
        }
        const std::string req = method + " " + path + " HTTP/1.1\r\nHost: bench\r\n"
                                "Authorization: Bearer " + token_ + "\r\n"
                                "Content-Type: application/json\r\nContent-Length: " +
                                std::to_string(jsonBody.size()) + "\r\n\r\n" + jsonBody;
        if (::send(fd_, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size()))
            std::abort();
    }
    std::string Get(const std::string& path) {
        Send("", "GET", path);
        return Answer();
    }
    // The next answer's body (empty on a timeout).
    std::string Answer(int ms = 60000) {
        for (;;) {
            const std::size_t end = buf_.find("\r\n\r\n");
            if (end != std::string::npos) {
                const std::size_t cl = buf_.find("Content-Length: ");
                const std::size_t len = cl < end ? std::strtoul(buf_.c_str() + cl + 16, nullptr, 10) : 0;
                if (buf_.size() >= end + 4 + len) {
                    std::string body = buf_.substr(end + 4, len);
                    buf_.erase(0, end + 4 + len);
                    return body;
                }
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, ms) <= 0)
                return {};
            char b[65536];
            const ssize_t n = ::recv(fd_, b, sizeof b, 0);
            if (n <= 0)
                return {};
            buf_.append(b, static_cast<std::size_t>(n));
        }
    }

    // How many times the server had closed the idle connection.
    int Reopened() const { return reopened_; }

  private:
    void Open() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port_);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            std::abort();
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    // With no answer pending, anything readable is the server's end of the connection.
    bool ClosedByServer() const {
        pollfd p{fd_, POLLIN | POLLRDHUP, 0};
        return ::poll(&p, 1, 0) > 0;
    }

    int fd_ = -1;
    std::uint16_t port_;
    std::string token_, buf_;
    int reopened_ = 0;
};

} // namespace nvbench
