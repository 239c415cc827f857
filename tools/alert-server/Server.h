// The reference alert server: one epoll loop over the clients' port and the
// loopback-only admin port. Every buffer it keeps per connection is bounded,
// so no client can make it grow without limit.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace alertsrv {

struct ServerOptions {
    std::string bindAddress = "0.0.0.0";
    std::uint16_t port = 5088;
    std::string adminAddress = "127.0.0.1";
    std::uint16_t adminPort = 5089;
    int probeIntervalSeconds = 60; // 0: never probe
};

// What one client frame may carry; the client itself never sends more than
// a short identification.
constexpr std::int32_t kMaxClientBlock = 64 * 1024;
// A client that lets this much output pile up is dropped.
constexpr std::size_t kMaxPendingOutput = 8u << 20;
// One admin request line.
constexpr std::size_t kMaxAdminLine = 4u << 20;
// The client refuses alert texts above 1 MiB.
constexpr std::size_t kMaxAlertText = 1u << 20;

struct AlertRequest {
    std::vector<std::string> to; // computer names, any case; empty: everyone
    std::string author, subject, date, id;
    std::vector<std::string> lines; // UTF-8
};

// The alert text as the client reads it, in Windows-1252, CR LF separated.
// Fields lose their line breaks and NULs (each would cut the text short).
std::string BuildAlertText(const AlertRequest& request);

class Server {
  public:
    explicit Server(ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds both ports; false with a message on stderr.
    bool Start();
    // Runs until a fatal error; returns the process exit code.
    int Run();

  private:
    struct Client;
    struct Admin;

    void Accept(int listenFd, bool admin);
    void ReadClient(Client& c);
    void HandleFrame(Client& c, std::int32_t type, const std::string& block1);
    void Queue(Client& c, const std::string& bytes);
    void Flush(Client& c);
    void Drop(int fd, const char* reason);
    void ReadAdmin(Admin& a);
    std::string HandleAdmin(const std::string& line);
    std::string ListClients() const;
    std::string SendAlert(const AlertRequest& request);
    void FlushAdmin(Admin& a);
    void DropAdmin(int fd);
    void Probe();
    void Event(const std::string& name, const std::string& fields);
    void WatchOutput(int fd, bool want);

    ServerOptions options_;
    int epoll_ = -1;
    int listen_ = -1;
    int adminListen_ = -1;
    int reserve_ = -1; // spare descriptor, given up to refuse a connection when none are left
    std::uint64_t nextId_ = 1;
    std::uint64_t alertCounter_ = 0;
    std::map<int, std::unique_ptr<Client>> clients_;
    std::map<int, std::unique_ptr<Admin>> admins_;
};

} // namespace alertsrv
