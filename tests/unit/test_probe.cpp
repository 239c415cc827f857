// The installer's reachability probe over loopback only.
#include "installer/UCliIndy.h"
#include "unit/Loopback.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <vector>

using namespace nvtest;
using Ms = std::chrono::milliseconds;

namespace {

long long MillisSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - t).count();
}

TEST(Probe, AnAcceptingServerSeesAConnectionOpenedAndClosedWithNoByte) {
    Listener server;
    {
        nv::TMonTIdTCPClient probe;
        EXPECT_EQ(probe.OuvreConnexion("127.0.0.1", server.port(), 5000), 0);
        EXPECT_TRUE(probe.Connected());
        Fd seen = server.Accept();
        ASSERT_TRUE(seen);
        probe.FermeConnexion();
        EXPECT_FALSE(probe.Connected());
        EXPECT_EQ(ReceiveUntilClosed(seen.get(), 3000), "");
        EXPECT_TRUE(PeerClosed(seen.get(), 0));
        probe.FermeConnexion(); // a second close is harmless
    }
    // Destruction alone closes an open probe, by name this time.
    Fd seen;
    {
        nv::TMonTIdTCPClient probe;
        ASSERT_EQ(probe.OuvreConnexion("localhost", server.port(), 5000), 0);
        seen = server.Accept();
        ASSERT_TRUE(seen);
    }
    EXPECT_EQ(ReceiveUntilClosed(seen.get(), 3000), "");
}

TEST(Probe, ARefusalComesBackBeforeTheLimit) {
    nv::TMonTIdTCPClient probe;
    const auto start = std::chrono::steady_clock::now();
    const std::int32_t code = probe.OuvreConnexion("127.0.0.1", ClosedPort(), 5000);
    EXPECT_NE(code, 0);
    EXPECT_LT(MillisSince(start), 2000);
    EXPECT_FALSE(probe.Connected());
}

TEST(Probe, MissingHostOrPortAndUnknownNamesFail) {
    nv::TMonTIdTCPClient probe;
    EXPECT_EQ(probe.OuvreConnexion("", 5088, 5000), 2250);
    EXPECT_EQ(probe.OuvreConnexion("127.0.0.1", 0, 5000), 2250);
    const std::int32_t unknown = probe.OuvreConnexion("nivaxel-probe.invalid", 5088, 5000);
    EXPECT_NE(unknown, 0);
    EXPECT_NE(unknown, 2250) << "the resolver's own code is expected";
    EXPECT_FALSE(probe.Connected());
}

TEST(Probe, APeerThatNeverAnswersTimesOutAfterTheLimit) {
    // A listener that never accepts, with its queue full: further connection
    // requests are dropped without an answer, as by a silent firewall.
    Listener server(0);
    std::vector<Fd> fillers;
    bool full = false;
    for (int i = 0; i < 16 && !full; ++i) {
        Fd f(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in a = LoopbackAddress(server.port());
        ::connect(f.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        pollfd p{f.get(), POLLOUT, 0};
        full = ::poll(&p, 1, 300) == 0;
        fillers.push_back(std::move(f));
    }
    ASSERT_TRUE(full) << "could not fill the listener's queue";

    nv::TMonTIdTCPClient probe;
    const auto start = std::chrono::steady_clock::now();
    const std::int32_t code = probe.OuvreConnexion("127.0.0.1", server.port(), 5000);
    const long long elapsed = MillisSince(start);
    EXPECT_EQ(code, 2250);
    EXPECT_GE(elapsed, 4800);
    EXPECT_LT(elapsed, 8000);
    EXPECT_FALSE(probe.Connected());
}

// A socket layer that records what the probe asks of it.
struct Recorder : nv::TcpConnection {
    std::vector<std::string>* log;
    bool open = false;
    explicit Recorder(std::vector<std::string>* l) : log(l) {}
    void SetStatusHandler(std::function<void(nv::TcpStatus)>) override {}
    DWORD Connect(const std::string& host, std::uint16_t port, std::int32_t timeoutMs) override {
        log->push_back("connect " + host + ":" + std::to_string(port) + "/" + std::to_string(timeoutMs));
        if (open)
            return 2250;
        open = host == "up";
        return open ? 0 : 10061;
    }
    bool IsOpen() const override { return open; }
    bool WaitForData(int) override { return false; }
    nv::IoResult ReadExact(void*, std::size_t) override { return {false, 2250}; }
    void SetReadLimit(int) override {}
    nv::IoResult Write(const void*, std::size_t) override { return {false, 2250}; }
    void Close() override {
        log->push_back(open ? "close open" : "close idle");
        open = false;
    }
};

TEST(Probe, TheSocketLayerIsMadeOnceAtTheFirstAttemptAndClosedOnDestruction) {
    std::vector<std::string> log;
    int made = 0;
    {
        nv::TMonTIdTCPClient probe([&] {
            ++made;
            return std::make_unique<Recorder>(&log);
        });
        EXPECT_EQ(made, 0);
        EXPECT_EQ(probe.OuvreConnexion("down", 6000, 5000), 10061);
        EXPECT_EQ(probe.OuvreConnexion("up", 6001, 1234), 0);
        EXPECT_EQ(probe.OuvreConnexion("up", 6001, 1234), 2250) << "already connected";
        EXPECT_TRUE(probe.Connected());
    }
    EXPECT_EQ(made, 1);
    EXPECT_EQ(log, (std::vector<std::string>{"connect down:6000/5000", "connect up:6001/1234",
                                             "connect up:6001/1234", "close open"}));
    // A client that never tried to connect has nothing to close.
    { nv::TMonTIdTCPClient idle([&] { ++made; return std::make_unique<Recorder>(&log); }); }
    EXPECT_EQ(made, 1);
}

} // namespace
