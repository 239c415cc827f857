// A real PostgreSQL 15 for the tests: initdb in a temporary directory and
// the server on a loopback port of the system's choosing, both run as an
// unprivileged user (PostgreSQL refuses root), password authentication with
// the password in a client password file; stopped by pid, directory removed.
// Never the machine's own cluster.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace nvtest {

class PostgresInstance {
  public:
    static constexpr const char* kBin = "/usr/lib/postgresql/15/bin";

    // Empty when it runs; otherwise why not (the test skips or fails with it).
    const std::string& error() const { return error_; }
    // A connection string with the password file, no password in it.
    std::string Conninfo() const {
        return "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=postgres user=nivaxel passfile=" +
               (dir_ / "pgpass").string() + " connect_timeout=5";
    }
    int port() const { return port_; }

    // `settings` go to the server as `-c` options; the tests trade durability for speed.
    explicit PostgresInstance(std::vector<std::string> settings = {"fsync=off"}) : settings_(std::move(settings)) {
        if (::access((std::string(kBin) + "/initdb").c_str(), X_OK) != 0) {
            error_ = std::string("PostgreSQL 15 is not installed (") + kBin + ")";
            return;
        }
        char tmpl[] = "/tmp/nivaxel-pg-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) {
            error_ = "mkdtemp failed";
            return;
        }
        dir_ = tmpl;
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            if (nobody == nullptr) {
                error_ = "no user nobody to run PostgreSQL as";
                return;
            }
            uid_ = nobody->pw_uid;
            gid_ = nobody->pw_gid;
        }
        std::filesystem::create_directory(dir_ / "data");
        std::ofstream(dir_ / "pwfile") << "nivaxel-test-password\n";
        if (uid_ != 0 && (::chown(dir_.c_str(), uid_, gid_) != 0 || ::chown((dir_ / "data").c_str(), uid_, gid_) != 0 ||
                          ::chown((dir_ / "pwfile").c_str(), uid_, gid_) != 0)) {
            error_ = "cannot hand the directory to nobody";
            return;
        }
        const int rc = RunAndWait({std::string(kBin) + "/initdb", "-D", (dir_ / "data").string(), "-U", "nivaxel",
                                   "--pwfile=" + (dir_ / "pwfile").string(), "--auth=scram-sha-256", "-E", "UTF8",
                                   "--locale=C", "--no-sync"});
        if (rc != 0) {
            error_ = "initdb failed (" + std::to_string(rc) + "), see " + (dir_ / "initdb.log").string();
            return;
        }
        {
            std::ofstream pass(dir_ / "pgpass");
            pass << "127.0.0.1:*:*:nivaxel:nivaxel-test-password\n";
        }
        ::chmod((dir_ / "pgpass").c_str(), 0600);
        port_ = FreePort();
        if (!Start())
            error_ = "PostgreSQL did not start, see " + (dir_ / "postgres.log").string();
    }

    ~PostgresInstance() {
        Stop();
        if (!dir_.empty() && error_.empty())
            std::filesystem::remove_all(dir_);
    }

    // Stops the server (fast shutdown, then SIGKILL after 20 s); Start brings
    // it back on the same port and data.
    void Stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGINT);
        if (!WaitPid(pid_, 20000)) {
            ::kill(pid_, SIGKILL);
            WaitPid(pid_, 5000);
        }
        pid_ = -1;
    }

    bool Start() {
        std::vector<std::string> argv{std::string(kBin) + "/postgres", "-D", (dir_ / "data").string(), "-p",
                                      std::to_string(port_), "-h", "127.0.0.1", "-k", dir_.string(), "-c",
                                      "max_connections=200"};
        for (const auto& s : settings_)
            argv.insert(argv.end(), {"-c", s});
        pid_ = Spawn(argv, dir_ / "postgres.log");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            if (PQping(Conninfo().c_str()) == PQPING_OK)
                return true;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

  private:
    static int FreePort() {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        ::close(s);
        return ntohs(a.sin_port);
    }

    // The child drops to the unprivileged user before exec, so the pid is
    // the program's own and a signal to it reaches it.
    pid_t Spawn(const std::vector<std::string>& argv, const std::filesystem::path& log) const {
        const pid_t pid = ::fork();
        if (pid != 0)
            return pid;
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        if (uid_ != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(gid_) != 0 || ::setuid(uid_) != 0))
            ::_exit(126);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }

    int RunAndWait(const std::vector<std::string>& argv) const {
        const pid_t pid = Spawn(argv, dir_ / "initdb.log");
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    static bool WaitPid(pid_t pid, int ms) {
        for (int waited = 0; waited < ms; waited += 50) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::vector<std::string> settings_;
    std::filesystem::path dir_;
    std::string error_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    int port_ = 0;
    pid_t pid_ = -1;
};

} // namespace nvtest
