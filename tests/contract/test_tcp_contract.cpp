// The Winsock layer, the probe and the socket start-up against the real
// Winsock (under Wine in the test run), over loopback only.
#include "common/TcpClient.h"
#include "common/WinSockLib.h"
#include "installer/UCliIndy.h"
#include "installer/UMonWinSock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using nv::TcpStatus;

namespace {

const nv::WinSockFunctions& Ws() {
    const nv::WinSockFunctions* ws = nv::WinSock();
    if (ws == nullptr)
        std::abort();
    return *ws;
}

struct Sock {
    SOCKET s = INVALID_SOCKET;
    Sock() = default;
    explicit Sock(SOCKET v) : s(v) {}
    Sock(Sock&& o) noexcept : s(o.s) { o.s = INVALID_SOCKET; }
    Sock& operator=(Sock&& o) noexcept {
        reset();
        s = o.s;
        o.s = INVALID_SOCKET;
        return *this;
    }
    ~Sock() { reset(); }
    void reset() {
        if (s != INVALID_SOCKET)
            Ws().closesocket(s);
        s = INVALID_SOCKET;
    }
    explicit operator bool() const { return s != INVALID_SOCKET; }
};

sockaddr_in Loopback(std::uint16_t portNetworkOrder) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = portNetworkOrder;
    const unsigned char ip[4] = {127, 0, 0, 1};
    std::memcpy(&a.sin_addr, ip, 4);
    return a;
}

std::uint16_t HostPort(std::uint16_t net) { return static_cast<std::uint16_t>((net & 0xFF) << 8 | net >> 8); }

bool Readable(SOCKET s, int ms) {
    fd_set set;
    set.fd_count = 1;
    set.fd_array[0] = s;
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return Ws().select(0, &set, nullptr, nullptr, &tv) == 1;
}

struct Listener {
    Sock s{Ws().socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)};
    std::uint16_t port = 0;
    explicit Listener(int backlog = 8) {
        sockaddr_in a = Loopback(0);
        Ws().bind(s.s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        Ws().listen(s.s, backlog);
        int len = sizeof a;
        Ws().getsockname(s.s, reinterpret_cast<sockaddr*>(&a), &len);
        port = HostPort(a.sin_port);
    }
    Sock Accept(int ms = 3000) {
        if (!Readable(s.s, ms))
            return Sock();
        return Sock(Ws().accept(s.s, nullptr, nullptr));
    }
};

std::uint16_t ClosedPort() {
    Sock s(Ws().socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a = Loopback(0);
    Ws().bind(s.s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int len = sizeof a;
    Ws().getsockname(s.s, reinterpret_cast<sockaddr*>(&a), &len);
    return HostPort(a.sin_port);
}

bool SendAll(SOCKET s, const std::string& b) {
    std::size_t done = 0;
    while (done < b.size()) {
        const int n = Ws().send(s, b.data() + done, static_cast<int>(b.size() - done), 0);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string ReceiveUntilClosed(SOCKET s, int ms = 5000) {
    std::string out;
    char buf[4096];
    while (Readable(s, ms)) {
        const int n = Ws().recv(s, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

// An orderly end of stream, as opposed to a time-out.
bool PeerClosed(SOCKET s, int ms = 3000) {
    char c;
    return Readable(s, ms) && Ws().recv(s, &c, 1, MSG_PEEK) == 0;
}

bool UnderWine() {
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

struct Recorded {
    std::unique_ptr<nv::TcpConnection> tcp = nv::MakeTcpConnection();
    std::vector<TcpStatus> statuses;
    Recorded() {
        tcp->SetStatusHandler([this](TcpStatus s) { statuses.push_back(s); });
    }
};

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

TEST(WinSockContract, TheLibraryComesFromTheSystemFolderAndIsNotImported) {
    DWORD error = 1;
    ASSERT_NE(nv::WinSock(&error), nullptr);
    EXPECT_EQ(error, 0u);
    char path[MAX_PATH] = {}, system[MAX_PATH] = {};
    HMODULE loaded = ::GetModuleHandleA("ws2_32.dll");
    ASSERT_NE(loaded, nullptr);
    ::GetModuleFileNameA(loaded, path, MAX_PATH);
    ::GetSystemDirectoryA(system, MAX_PATH);
    EXPECT_EQ(Lower(path), Lower(std::string(system) + "\\ws2_32.dll"));

    // This program's import table names neither Winsock library.
    auto* base = reinterpret_cast<const unsigned char*>(::GetModuleHandleA(nullptr));
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    std::vector<std::string> imports;
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name != 0; ++d)
        imports.push_back(Lower(reinterpret_cast<const char*>(base + d->Name)));
    EXPECT_NE(std::find(imports.begin(), imports.end(), "kernel32.dll"), imports.end());
    EXPECT_EQ(std::find(imports.begin(), imports.end(), "ws2_32.dll"), imports.end());
    EXPECT_EQ(std::find(imports.begin(), imports.end(), "wsock32.dll"), imports.end());
}

TEST(WinSockContract, TheInstallerStartUpStartsAndFinalises) {
    nv::MonWinSockStartup();
    EXPECT_TRUE(nv::WinSockStarted());
    nv::MonWinSockFinalize();
    EXPECT_FALSE(nv::WinSockStarted());
    // The socket layer keeps its own start, so it still works afterwards.
    Listener server;
    nv::TMonTIdTCPClient probe;
    EXPECT_EQ(probe.OuvreConnexion("127.0.0.1", server.port, 5000), 0);
}

TEST(ProbeContract, ReachableRefusedAndUnknown) {
    Listener server;
    {
        nv::TMonTIdTCPClient probe;
        EXPECT_EQ(probe.OuvreConnexion("127.0.0.1", server.port, 5000), 0);
        Sock seen = server.Accept();
        ASSERT_TRUE(seen);
        probe.FermeConnexion();
        EXPECT_EQ(ReceiveUntilClosed(seen.s), "");
    }
    {
        nv::TMonTIdTCPClient probe;
        ASSERT_EQ(probe.OuvreConnexion("localhost", server.port, 5000), 0);
        Sock seen = server.Accept();
        ASSERT_TRUE(seen);
    } // closed by destruction, nothing sent
    nv::TMonTIdTCPClient probe;
    const DWORD t0 = ::GetTickCount();
    EXPECT_EQ(probe.OuvreConnexion("127.0.0.1", ClosedPort(), 5000), WSAECONNREFUSED);
    EXPECT_LT(::GetTickCount() - t0, 4000u);
    EXPECT_EQ(probe.OuvreConnexion("nivaxel-probe.invalid", 5088, 5000), WSAHOST_NOT_FOUND);
    EXPECT_EQ(probe.OuvreConnexion("", 5088, 5000), 2250);
    EXPECT_EQ(probe.OuvreConnexion("127.0.0.1", 0, 5000), 2250);
}

TEST(ProbeContract, APeerThatNeverAnswersTimesOutAfterTheLimit) {
    Listener server(0);
    std::vector<Sock> fillers;
    bool full = false;
    for (int i = 0; i < 16 && !full; ++i) {
        Sock f(Ws().socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        u_long on = 1;
        Ws().ioctlsocket(f.s, FIONBIO, &on);
        sockaddr_in a = Loopback(static_cast<std::uint16_t>((server.port & 0xFF) << 8 | server.port >> 8));
        Ws().connect(f.s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fd_set w;
        w.fd_count = 1;
        w.fd_array[0] = f.s;
        timeval tv{0, 300000};
        full = Ws().select(0, nullptr, &w, nullptr, &tv) == 0;
        fillers.push_back(std::move(f));
    }
    if (!full)
        GTEST_SKIP() << "this stack answers every connection request; no silent peer on loopback";
    nv::TMonTIdTCPClient probe;
    const DWORD t0 = ::GetTickCount();
    EXPECT_EQ(probe.OuvreConnexion("127.0.0.1", server.port, 5000), 2250);
    const DWORD elapsed = ::GetTickCount() - t0;
    EXPECT_GE(elapsed, 4800u);
    EXPECT_LT(elapsed, 8000u);
}

TEST(TcpContract, StatusesWaitsReadsAndTheOrderlyClose) {
    Listener server;
    Recorded c;
    ASSERT_EQ(c.tcp->Connect("127.0.0.1", server.port, 5000), 0u);
    EXPECT_EQ(c.statuses, (std::vector<TcpStatus>{TcpStatus::Resolving, TcpStatus::Connecting, TcpStatus::Connected}));
    EXPECT_EQ(c.tcp->Connect("127.0.0.1", server.port, 5000), 2250u);
    Sock peer = server.Accept();
    ASSERT_TRUE(peer);

    const DWORD t0 = ::GetTickCount();
    EXPECT_FALSE(c.tcp->WaitForData(150));
    EXPECT_GE(::GetTickCount() - t0, 100u);

    std::string big(200000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 13 + i / 97);
    std::thread sender([&] {
        SendAll(peer.s, big.substr(0, 5));
        ::Sleep(50);
        SendAll(peer.s, big.substr(5));
        ::Sleep(50);
        SendAll(peer.s, "end");
        ::Sleep(50);
        peer.reset();
    });
    EXPECT_TRUE(c.tcp->WaitForData(3000));
    std::string got(big.size(), '\0');
    EXPECT_TRUE(c.tcp->ReadExact(got.data(), got.size()).ok);
    EXPECT_TRUE(got == big);
    char end[3];
    EXPECT_TRUE(c.tcp->ReadExact(end, 3).ok);
    sender.join();
    c.statuses.clear();
    EXPECT_FALSE(c.tcp->WaitForData(3000));
    EXPECT_FALSE(c.tcp->IsOpen());
    EXPECT_EQ(c.statuses, (std::vector<TcpStatus>{TcpStatus::Disconnecting, TcpStatus::Disconnected}));
    char more;
    EXPECT_EQ(c.tcp->ReadExact(&more, 1).osError, 2250u);
}

TEST(TcpContract, WritesArriveWholeAndFailQuietlyOnceThePeerIsGone) {
    Listener server;
    Recorded c;
    ASSERT_EQ(c.tcp->Connect("127.0.0.1", server.port, 5000), 0u);
    Sock peer = server.Accept();
    ASSERT_TRUE(peer);
    std::string big(4 << 20, 'w');
    big[777] = '!';
    std::string received;
    std::thread reader([&] { received = ReceiveUntilClosed(peer.s); });
    EXPECT_TRUE(c.tcp->Write(big.data(), big.size()).ok);
    c.tcp->Close();
    reader.join();
    EXPECT_TRUE(received == big);
    EXPECT_TRUE(PeerClosed(peer.s, 0) || received.size() == big.size());

    ASSERT_EQ(c.tcp->Connect("127.0.0.1", server.port, 5000), 0u);
    peer = server.Accept();
    ASSERT_TRUE(peer);
    peer.reset();
    ::Sleep(50);
    c.statuses.clear();
    nv::IoResult w{true, 0};
    for (int i = 0; i < 20 && w.ok; ++i) {
        w = c.tcp->Write("0123456789", 10);
        ::Sleep(20);
    }
    EXPECT_FALSE(w.ok);
    EXPECT_NE(w.osError, 0u);
    EXPECT_FALSE(c.tcp->IsOpen());
    EXPECT_TRUE(c.statuses.empty());
}

TEST(TcpContract, AResetClosesWithoutStatuses) {
    Listener server;
    Recorded c;
    ASSERT_EQ(c.tcp->Connect("127.0.0.1", server.port, 5000), 0u);
    Sock peer = server.Accept();
    ASSERT_TRUE(peer);
    // Closing with unread data (and no linger) makes the stack send a reset.
    ASSERT_TRUE(c.tcp->Write("unread", 6).ok);
    ::Sleep(50);
    linger l{1, 0};
    Ws().setsockopt(peer.s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    peer.reset();
    ::Sleep(50);
    c.statuses.clear();
    EXPECT_FALSE(c.tcp->WaitForData(500));
    EXPECT_FALSE(c.tcp->IsOpen());
    EXPECT_EQ(c.tcp->Write("x", 1).osError, 2250u);
    c.tcp->Close();
    // Wine's recv reports a reset as an end of stream (0, no error), so there
    // the break looks like an orderly close; Windows gives WSAECONNRESET.
    if (UnderWine())
        EXPECT_EQ(c.statuses, (std::vector<TcpStatus>{TcpStatus::Disconnecting, TcpStatus::Disconnected}));
    else
        EXPECT_TRUE(c.statuses.empty());
}

} // namespace
