// The BSD socket layer over real loopback connections.
#include "common/TcpAddress.h"
#include "common/TcpClient.h"
#include "unit/Loopback.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <thread>
#include <vector>

using nv::TcpStatus;
using namespace nvtest;

namespace {

struct Recorded {
    std::unique_ptr<nv::TcpConnection> tcp = nv::MakeTcpConnection();
    std::vector<TcpStatus> statuses;
    Recorded() {
        tcp->SetStatusHandler([this](TcpStatus s) { statuses.push_back(s); });
    }
};

long long MillisSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count();
}

TEST(TcpAddress, OnlyPlainDottedQuadsSkipTheResolver) {
    nv::Ipv4 b{};
    ASSERT_TRUE(nv::ParseDottedIPv4("127.0.0.1", b));
    EXPECT_EQ(b[0], 127);
    EXPECT_EQ(b[3], 1);
    ASSERT_TRUE(nv::ParseDottedIPv4("255.254.0.10", b));
    EXPECT_EQ(b[1], 254);
    EXPECT_EQ(b[3], 10);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", ".1.2.3.4", "1..2.3", "256.1.1.1", "1.2.3.1000",
                            "0001.1.1.1", "a.b.c.d", "1.2.3.4x", "localhost", " 1.2.3.4"})
        EXPECT_FALSE(nv::ParseDottedIPv4(bad, b)) << bad;
    EXPECT_EQ(nv::PortToNetwork(0x1234), htons(0x1234));
}

TEST(TcpConnection, ConnectAndCloseReportTheirStatusesOnce) {
    Listener server;
    Recorded c;
    EXPECT_FALSE(c.tcp->IsOpen());
    ASSERT_EQ(c.tcp->Connect("127.0.0.1", server.port(), 5000), 0u);
    EXPECT_TRUE(c.tcp->IsOpen());
    EXPECT_EQ(c.statuses, (std::vector<TcpStatus>{TcpStatus::Resolving, TcpStatus::Connecting, TcpStatus::Connected}));
    Fd peer = server.Accept();
    ASSERT_TRUE(peer);

    // A second connect on an open connection is refused at once, with no status.
    EXPECT_EQ(c.tcp->Connect("127.0.0.1", server.port(), 5000), 2250u);
    EXPECT_TRUE(c.tcp->IsOpen());
    EXPECT_EQ(c.statuses.size(), 3u);

    c.statuses.clear();
    c.tcp->Close();
    EXPECT_FALSE(c.tcp->IsOpen());
    EXPECT_EQ(c.statuses, (std::vector<TcpStatus>{TcpStatus::Disconnecting, TcpStatus::Disconnected}));
    EXPECT_TRUE(PeerClosed(peer.get()));
    c.tcp->Close();
    EXPECT_EQ(c.statuses.size(), 2u);

    // The same object connects again after a close, and by name too.
    ASSERT_EQ(c.tcp->Connect("localhost", server.port(), 5000), 0u);
    EXPECT_TRUE(server.Accept());
}

TEST(TcpConnection, RefusedOrMissingTargetsFailWithoutOpening) {
    Recorded c;
    EXPECT_EQ(c.tcp->Connect("", 5088, 5000), 2250u);
    EXPECT_EQ(c.tcp->Connect("127.0.0.1", 0, 5000), 2250u);
    EXPECT_TRUE(c.statuses.empty());

    const auto start = std::chrono::steady_clock::now();
    const DWORD refused = c.tcp->Connect("127.0.0.1", ClosedPort(), 5000);
    EXPECT_NE(refused, 0u);
    EXPECT_NE(refused, 2250u) << "the refusal's own code is expected";
    EXPECT_LT(MillisSince(start), 2500);
    EXPECT_FALSE(c.tcp->IsOpen());
    EXPECT_EQ(c.statuses, (std::vector<TcpStatus>{TcpStatus::Resolving, TcpStatus::Connecting}));
    // Reads and writes on a connection that never opened say so.
    char b[4];
    EXPECT_EQ(c.tcp->ReadExact(b, 4).osError, 2250u);
    EXPECT_FALSE(c.tcp->Write("abcd", 4).ok);
}

TEST(TcpConnection, WaitForDataSeesBytesThenTheOrderlyClose) {
    Listener server;
    Recorded c;
    ASSERT_EQ(c.tcp->Connect("127.0.0.1", server.port(), 5000), 0u);
    Fd peer = server.Accept();
    ASSERT_TRUE(peer);

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.tcp->WaitForData(150));
    EXPECT_GE(MillisSince(start), 100);
    EXPECT_TRUE(c.tcp->IsOpen());

    ASSERT_TRUE(SendAll(peer.get(), "hello"));
    peer.reset(); // data then an orderly close: the data comes first
    EXPECT_TRUE(c.tcp->WaitForData(2000));
    char buf[5];
    ASSERT_TRUE(c.tcp->ReadExact(buf, 5).ok);
    EXPECT_EQ(std::string(buf, 5), "hello");
    c.statuses.clear();
    EXPECT_FALSE(c.tcp->WaitForData(2000));
    EXPECT_FALSE(c.tcp->IsOpen());
    EXPECT_EQ(c.statuses, (std::vector<TcpStatus>{TcpStatus::Disconnecting, TcpStatus::Disconnected}));

    // Once closed, the wait still takes its time instead of spinning.
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.tcp->WaitForData(100));
    EXPECT_GE(MillisSince(start), 80);
}

TEST(TcpConnection, ReadExactGathersChunksAndReportsACloseMidway) {
    Listener server;
    Recorded c;
    ASSERT_EQ(c.tcp->Connect("127.0.0.1", server.port(), 5000), 0u);
    Fd peer = server.Accept();
    ASSERT_TRUE(peer);

    std::string big(300000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 251);
    std::thread sender([&] {
        SendAll(peer.get(), big.substr(0, 3));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SendAll(peer.get(), big.substr(3));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SendAll(peer.get(), "xy");
        peer.reset();
    });
    std::string got(big.size(), '\0');
    const nv::IoResult r = c.tcp->ReadExact(got.data(), got.size());
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(got == big);
    EXPECT_TRUE(c.tcp->ReadExact(got.data(), 0).ok);

    // Four bytes asked, two come, then the peer closes in order.
    char tail[4];
    c.statuses.clear();
    const nv::IoResult cut = c.tcp->ReadExact(tail, 4);
    sender.join();
    EXPECT_FALSE(cut.ok);
    EXPECT_EQ(cut.osError, 0u);
    EXPECT_FALSE(c.tcp->IsOpen());
    EXPECT_EQ(c.statuses, (std::vector<TcpStatus>{TcpStatus::Disconnecting, TcpStatus::Disconnected}));
}

TEST(TcpConnection, ReadLimitBreaksAStalledReadButNotASlowOne) {
    Listener server;
    Recorded c;
    ASSERT_EQ(c.tcp->Connect("127.0.0.1", server.port(), 5000), 0u);
    Fd peer = server.Accept();
    ASSERT_TRUE(peer);
    c.tcp->SetReadLimit(300);

    // Bytes trickling in more often than the limit: the read goes on.
    std::thread trickle([&] {
        for (int i = 0; i < 4; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            SendAll(peer.get(), "ab");
        }
    });
    char buf[8];
    EXPECT_TRUE(c.tcp->ReadExact(buf, 8).ok);
    trickle.join();

    // Half of what is asked, then nothing: broken silently, with its code.
    SendAll(peer.get(), "xy");
    c.statuses.clear();
    const auto t0 = std::chrono::steady_clock::now();
    const nv::IoResult r = c.tcp->ReadExact(buf, 4);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.osError, nv::kLectureExpiree);
    EXPECT_GE(MillisSince(t0), 290);
    EXPECT_FALSE(c.tcp->IsOpen());
    EXPECT_TRUE(c.statuses.empty());
}

TEST(TcpConnection, AResetClosesSilently) {
    Listener server;
    Recorded c;
    ASSERT_EQ(c.tcp->Connect("127.0.0.1", server.port(), 5000), 0u);
    Fd peer = server.Accept();
    ASSERT_TRUE(peer);
    // Unread data at the peer's close also makes the stack send a reset.
    ASSERT_TRUE(c.tcp->Write("unread", 6).ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    c.statuses.clear();
    ResetConnection(peer);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    EXPECT_FALSE(c.tcp->WaitForData(500));
    EXPECT_FALSE(c.tcp->IsOpen());
    const nv::IoResult w = c.tcp->Write("ping", 4);
    EXPECT_FALSE(w.ok);
    EXPECT_EQ(w.osError, 2250u);
    c.tcp->Close();
    EXPECT_TRUE(c.statuses.empty());
}

TEST(TcpConnection, WriteDeliversEverythingAndFailsOnceThePeerIsGone) {
    Listener server;
    Recorded c;
    ASSERT_EQ(c.tcp->Connect("127.0.0.1", server.port(), 5000), 0u);
    Fd peer = server.Accept();
    ASSERT_TRUE(peer);

    // More than the socket buffers hold, so that the write has to wait.
    std::string big(8 << 20, 'q');
    big[12345] = 'Z';
    std::string received;
    std::thread reader([&] { received = ReceiveUntilClosed(peer.get()); });
    const nv::IoResult ok = c.tcp->Write(big.data(), big.size());
    c.tcp->Close();
    reader.join();
    EXPECT_TRUE(ok.ok);
    EXPECT_TRUE(received == big);

    // Against a peer that has gone, a write fails within a few attempts
    // (the first may still be taken by the stack), quietly and without a
    // SIGPIPE.
    ASSERT_EQ(c.tcp->Connect("127.0.0.1", server.port(), 5000), 0u);
    peer = server.Accept();
    ASSERT_TRUE(peer);
    peer.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    c.statuses.clear();
    nv::IoResult w{true, 0};
    for (int i = 0; i < 20 && w.ok; ++i) {
        w = c.tcp->Write("0123456789", 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_FALSE(w.ok);
    EXPECT_NE(w.osError, 0u);
    EXPECT_FALSE(c.tcp->IsOpen());
    EXPECT_TRUE(c.statuses.empty());
}

TEST(TcpConnection, DestroyingAnOpenConnectionClosesItWithoutStatuses) {
    Listener server;
    std::vector<TcpStatus> statuses;
    {
        auto tcp = nv::MakeTcpConnection();
        tcp->SetStatusHandler([&](TcpStatus s) { statuses.push_back(s); });
        ASSERT_EQ(tcp->Connect("127.0.0.1", server.port(), 5000), 0u);
        statuses.clear();
    }
    Fd peer = server.Accept();
    ASSERT_TRUE(peer);
    EXPECT_TRUE(PeerClosed(peer.get()));
    EXPECT_TRUE(statuses.empty());
}


// /etc/hosts is the given text for this process only (a private mount
// namespace), so that a name has several loopback addresses without touching
// the machine's own configuration. The bind mount is undone at destruction.
class PrivateHosts {
public:
    explicit PrivateHosts(const std::string& text) {
        char path[] = "/tmp/nivaxel-hosts-XXXXXX";
        const Fd file(::mkstemp(path));
        const bool ok = file && ::write(file.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                        ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                        ::mount(path, "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
        if (!ok)
            why_ = std::string("no private /etc/hosts: ") + std::strerror(errno);
        ::unlink(path); // the bind mount holds the file
    }
    ~PrivateHosts() {
        if (why_.empty())
            ::umount2("/etc/hosts", MNT_DETACH);
    }
    const std::string& why() const { return why_; }

private:
    std::string why_;
};

Fd Socket(const char* ip, std::uint16_t port, sockaddr_in& a) {
    a = LoopbackAddress(port);
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    return Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
}

// Listening on one loopback address. A silent one has its queue filled, so
// that further connection requests go unanswered, as to a machine that is off.
std::vector<Fd> ListenOn(const char* ip, std::uint16_t port, bool silent) {
    std::vector<Fd> fds;
    sockaddr_in a;
    fds.push_back(Socket(ip, port, a));
    int one = 1;
    ::setsockopt(fds[0].get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fds[0].get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fds[0].get(), silent ? 0 : 8) != 0)
        return {};
    for (bool answered = silent; answered;) {
        fds.push_back(Socket(ip, port, a));
        ::connect(fds.back().get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        pollfd p{fds.back().get(), POLLOUT, 0};
        answered = ::poll(&p, 1, 200) > 0 && fds.size() < 10;
    }
    return fds;
}

bool Accepts(const Fd& listening) {
    pollfd p{listening.get(), POLLIN, 0};
    return ::poll(&p, 1, 3000) > 0 && Fd(::accept4(listening.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

// The name resolves to 127.0.0.3 then 127.0.0.2 (the resolver keeps that
// order: both are as near to the source address); the server listens on the
// second only.
TEST(TcpConnection, EveryAddressOfTheNameIsTriedInOrderWithinTheLimit) {
    PrivateHosts hosts("127.0.0.1 localhost\n127.0.0.3 two.nivaxel.test\n127.0.0.2 two.nivaxel.test\n");
    if (!hosts.why().empty())
        GTEST_SKIP() << hosts.why();
    const std::uint16_t port = ClosedPort(); // free on 127.0.0.1, and so on the others
    std::vector<Fd> live = ListenOn("127.0.0.2", port, false);
    ASSERT_FALSE(live.empty());

    // The first address refuses: the second answers at once.
    Recorded c;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(c.tcp->Connect("two.nivaxel.test", port, 4000), 0u);
    const long long refusedFirstMs = MillisSince(start);
    EXPECT_EQ(c.statuses, (std::vector<TcpStatus>{TcpStatus::Resolving, TcpStatus::Connecting, TcpStatus::Connected}));
    EXPECT_TRUE(Accepts(live[0]));
    c.tcp->Close();

    // The first address never answers: it gets half the limit, the second the rest.
    const std::vector<Fd> silent = ListenOn("127.0.0.3", port, true);
    ASSERT_FALSE(silent.empty());
    start = std::chrono::steady_clock::now();
    ASSERT_EQ(c.tcp->Connect("two.nivaxel.test", port, 4000), 0u);
    const long long silentFirstMs = MillisSince(start);
    EXPECT_GE(silentFirstMs, 1900);
    EXPECT_LT(silentFirstMs, 4000);
    EXPECT_TRUE(Accepts(live[0]));
    c.tcp->Close();

    // The first silent, the second refusing: the attempt fails within the
    // limit with the last address's code.
    live.clear();
    start = std::chrono::steady_clock::now();
    const DWORD allDead = c.tcp->Connect("two.nivaxel.test", port, 4000);
    const long long allDeadMs = MillisSince(start);
    EXPECT_EQ(allDead, static_cast<DWORD>(ECONNREFUSED));
    EXPECT_LT(allDeadMs, 4500);
    EXPECT_FALSE(c.tcp->IsOpen());
    std::printf("two addresses, first refusing: %lld ms; first silent (limit 4000 ms): %lld ms; "
                "none answering: %lld ms\n", refusedFirstMs, silentFirstMs, allDeadMs);
}

} // namespace
