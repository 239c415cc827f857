// alert-server: the reference peer of the Nivaxel client, for administrators
// trying the system and for the tests. See README.md beside this file.
#include "Json.h"
#include "Server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using alertsrv::JsonQuote;

const char kUsage[] =
    "usage:\n"
    "  alert-server serve [--port PORT] [--bind ADDR] [--admin ADDR:PORT] [--probe-interval "
    "SECONDS]\n"
    "  alert-server send [--admin ADDR:PORT] [--to COMPUTER]... --author NAME --subject TEXT\n"
    "                    [--date TEXT] [--id TEXT] --line TEXT [--line TEXT]...\n"
    "  alert-server list [--admin ADDR:PORT]\n"
    "defaults: port 5088, admin 127.0.0.1:5089, probe interval 60 s (0: no probes)\n";

int Usage(const char* problem) {
    if (problem)
        std::fprintf(stderr, "alert-server: %s\n", problem);
    std::fputs(kUsage, stderr);
    return 2;
}

bool ParsePort(const std::string& text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (v > 65535)
        return false;
    port = static_cast<std::uint16_t>(v);
    return true;
}

// "ADDR:PORT", "ADDR" or ":PORT"; "localhost" stands for 127.0.0.1.
bool ParseAdmin(const std::string& text, std::string& address, std::uint16_t& port) {
    const std::size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? text : text.substr(0, colon);
    if (colon != std::string::npos && !ParsePort(text.substr(colon + 1), port))
        return false;
    if (host.empty() || host == "localhost")
        host = "127.0.0.1";
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1)
        return false;
    address = host;
    return true;
}

bool IsLoopback(const std::string& address) {
    in_addr a{};
    return inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

int Serve(const std::vector<std::string>& args) {
    alertsrv::ServerOptions o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--port" && hasValue) {
            if (!ParsePort(args[++i], o.port))
                return Usage("--port wants a number from 0 to 65535");
        } else if (a == "--bind" && hasValue) {
            o.bindAddress = args[++i];
        } else if (a == "--admin" && hasValue) {
            if (!ParseAdmin(args[++i], o.adminAddress, o.adminPort))
                return Usage("--admin wants ADDR:PORT with an IPv4 address");
            if (!IsLoopback(o.adminAddress))
                return Usage("--admin must be a loopback address (127.x.x.x): the admin port has "
                             "no authentication");
        } else if (a == "--probe-interval" && hasValue) {
            const std::string& v = args[++i];
            if (v.empty() || v.size() > 6 || v.find_first_not_of("0123456789") != std::string::npos)
                return Usage("--probe-interval wants a number of seconds");
            o.probeIntervalSeconds = std::atoi(v.c_str());
        } else {
            return Usage(("unknown or incomplete option: " + a).c_str());
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    alertsrv::Server server(o);
    if (!server.Start())
        return 1;
    return server.Run();
}

// One request line to the admin port and its one-line answer.
bool AdminRequest(const std::string& address, std::uint16_t port, const std::string& request,
                  std::string& answer) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::fprintf(stderr, "alert-server: no server on %s:%u: %s\n", address.c_str(),
                     static_cast<unsigned>(port), std::strerror(errno));
        ::close(fd);
        return false;
    }
    const std::string line = request + "\n";
    for (std::size_t done = 0; done < line.size();) {
        const ssize_t n = ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    answer.clear();
    char buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) {
            std::fprintf(stderr, "alert-server: the server did not answer\n");
            ::close(fd);
            return false;
        }
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        answer.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r'))
        answer.pop_back();
    return !answer.empty();
}

int Send(const std::vector<std::string>& args) {
    std::string admin = "127.0.0.1";
    std::uint16_t adminPort = 5089;
    std::string author, subject, date, id;
    bool haveAuthor = false, haveSubject = false;
    std::vector<std::string> to, lines;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (i + 1 >= args.size())
            return Usage(("option without value: " + a).c_str());
        const std::string& v = args[++i];
        if (a == "--admin") {
            if (!ParseAdmin(v, admin, adminPort))
                return Usage("--admin wants ADDR:PORT with an IPv4 address");
        } else if (a == "--to") {
            to.push_back(v);
        } else if (a == "--author") {
            author = v;
            haveAuthor = true;
        } else if (a == "--subject") {
            subject = v;
            haveSubject = true;
        } else if (a == "--date") {
            date = v;
        } else if (a == "--id") {
            id = v;
        } else if (a == "--line") {
            lines.push_back(v);
        } else {
            return Usage(("unknown option: " + a).c_str());
        }
    }
    if (!haveAuthor || author.empty() || !haveSubject || subject.empty() || lines.empty())
        return Usage("send needs --author, --subject and at least one --line");

    auto list = [](const std::vector<std::string>& v) {
        std::string s = "[";
        for (std::size_t i = 0; i < v.size(); ++i)
            s += (i ? "," : "") + JsonQuote(v[i]);
        return s + "]";
    };
    std::string request = "{\"cmd\":\"send\",\"author\":" + JsonQuote(author) +
                          ",\"subject\":" + JsonQuote(subject) + ",\"lines\":" + list(lines) +
                          ",\"to\":" + list(to);
    if (!date.empty())
        request += ",\"date\":" + JsonQuote(date);
    if (!id.empty())
        request += ",\"id\":" + JsonQuote(id);
    request += "}";

    std::string answer;
    if (!AdminRequest(admin, adminPort, request, answer))
        return 1;
    alertsrv::JsonValue v;
    std::string error;
    if (!alertsrv::ParseJson(answer, v, error) || v.type != alertsrv::JsonValue::Type::Object) {
        std::fprintf(stderr, "alert-server: unreadable answer: %s\n", answer.c_str());
        return 1;
    }
    const alertsrv::JsonValue* ok = v.Find("ok");
    if (!ok || !ok->boolean) {
        std::fprintf(stderr, "alert-server: %s\n", v.String("error", "refused").c_str());
        return 1;
    }
    const alertsrv::JsonValue* sent = v.Find("sent");
    const long n = sent ? static_cast<long>(sent->number) : 0;
    // The count comes first: scripts take the first number of the line.
    std::printf("sent to %ld client%s (alert id %s)\n", n, n == 1 ? "" : "s",
                v.String("id").c_str());
    return 0;
}

int List(const std::vector<std::string>& args) {
    std::string admin = "127.0.0.1";
    std::uint16_t adminPort = 5089;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--admin" && i + 1 < args.size()) {
            if (!ParseAdmin(args[++i], admin, adminPort))
                return Usage("--admin wants ADDR:PORT with an IPv4 address");
        } else {
            return Usage(("unknown or incomplete option: " + args[i]).c_str());
        }
    }
    std::string answer;
    if (!AdminRequest(admin, adminPort, "{\"cmd\":\"list\"}", answer))
        return 1;
    alertsrv::JsonValue v;
    std::string error;
    // The clients array is printed as the server wrote it.
    const std::size_t start = answer.find("\"clients\":");
    if (!alertsrv::ParseJson(answer, v, error) || start == std::string::npos ||
        answer.back() != '}') {
        std::fprintf(stderr, "alert-server: unreadable answer: %s\n", answer.c_str());
        return 1;
    }
    std::printf("%s\n", answer.substr(start + 10, answer.size() - start - 11).c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage(nullptr);
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "serve")
        return Serve(args);
    if (command == "send")
        return Send(args);
    if (command == "list")
        return List(args);
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    return Usage(("unknown command: " + command).c_str());
}
