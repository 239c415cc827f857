// The server's side of a loopback connection for tests that run both
// natively and under Wine: BSD sockets on Linux, the socket layer's own
// Winsock entry points on Windows. Frames are read and written whole.
#pragma once

#include "client/UDataEntete.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#ifdef _WIN32
#include "common/WinSockLib.h"
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace nvtest {

#ifdef _WIN32
using SocketId = SOCKET;
inline const SocketId kPasDeSocket = INVALID_SOCKET;
inline const nv::WinSockFunctions& Ws() {
    return *nv::WinSock();
}
inline void FermeSocket(SocketId s) {
    Ws().closesocket(s);
}
inline bool Lisible(SocketId s, int ms) {
    fd_set set;
    set.fd_count = 1;
    set.fd_array[0] = s;
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return Ws().select(0, &set, nullptr, nullptr, &tv) == 1;
}
inline int Recv(SocketId s, char* b, int n) {
    return Ws().recv(s, b, n, 0);
}
inline int Send(SocketId s, const char* b, int n) {
    return Ws().send(s, b, n, 0);
}
#else
using SocketId = int;
constexpr SocketId kPasDeSocket = -1;
inline void FermeSocket(SocketId s) {
    ::close(s);
}
inline bool Lisible(SocketId s, int ms) {
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}
inline int Recv(SocketId s, char* b, int n) {
    return static_cast<int>(::recv(s, b, n, 0));
}
inline int Send(SocketId s, const char* b, int n) {
    return static_cast<int>(::send(s, b, n, MSG_NOSIGNAL));
}
#endif

struct TrameRecue {
    nv::EnteteMessage entete;
    std::string bloc1;
    std::string bloc2;
};

class PeerSocket {
  public:
    explicit PeerSocket(SocketId s = kPasDeSocket) : s_(s) {}
    PeerSocket(PeerSocket&& o) noexcept : s_(o.s_) { o.s_ = kPasDeSocket; }
    PeerSocket& operator=(PeerSocket&& o) noexcept {
        if (this != &o) {
            Ferme();
            s_ = o.s_;
            o.s_ = kPasDeSocket;
        }
        return *this;
    }
    ~PeerSocket() { Ferme(); }
    explicit operator bool() const { return s_ != kPasDeSocket; }

    void Ferme() {
        if (s_ != kPasDeSocket)
            FermeSocket(s_);
        s_ = kPasDeSocket;
    }
    // A zero linger makes the close a reset.
    void Reinitialise() {
        struct linger l {};
        l.l_onoff = 1;
        l.l_linger = 0;
#ifdef _WIN32
        Ws().setsockopt(s_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
#else
        ::setsockopt(s_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
#endif
        Ferme();
    }

    bool Envoie(const std::string& octets) {
        std::size_t fait = 0;
        while (fait < octets.size()) {
            const int n = Send(s_, octets.data() + fait, static_cast<int>(octets.size() - fait));
            if (n <= 0)
                return false;
            fait += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Exactly n bytes within the time, else false.
    bool LitExact(std::string& out, std::size_t n, int ms) {
        out.clear();
        const auto fin = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        char buf[16384];
        while (out.size() < n) {
            const auto reste = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   fin - std::chrono::steady_clock::now())
                                   .count();
            if (reste <= 0 || !Lisible(s_, static_cast<int>(reste)))
                return false;
            const std::size_t voulu = std::min(sizeof buf, n - out.size());
            const int k = Recv(s_, buf, static_cast<int>(voulu));
            if (k <= 0)
                return false;
            out.append(buf, static_cast<std::size_t>(k));
        }
        return true;
    }

    bool LitTrame(TrameRecue& t, int ms) {
        std::string brut;
        if (!LitExact(brut, nv::kTailleEntete, ms))
            return false;
        t.entete = nv::LitEntete(reinterpret_cast<const std::uint8_t*>(brut.data()));
        if (t.entete.Taille1 < 0 || t.entete.Taille2 < 0 || t.entete.Taille1 > (1 << 20) ||
            t.entete.Taille2 > (1 << 20))
            return false;
        return LitExact(t.bloc1, static_cast<std::size_t>(t.entete.Taille1), ms) &&
               LitExact(t.bloc2, static_cast<std::size_t>(t.entete.Taille2), ms);
    }

    // True when nothing but an end of stream comes within the time.
    bool FermeeParClient(int ms) {
        char c;
        const auto fin = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto reste = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   fin - std::chrono::steady_clock::now())
                                   .count();
            if (reste <= 0 || !Lisible(s_, static_cast<int>(reste)))
                return false;
            const int k = Recv(s_, &c, 1);
            if (k <= 0)
                return true;
        }
    }

    // True when some byte arrives within the time.
    bool DonneesDans(int ms) {
        return Lisible(s_, ms);
    }

  private:
    SocketId s_;
};

class PeerListener {
  public:
    PeerListener() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        const unsigned char ip[4] = {127, 0, 0, 1};
        std::memcpy(&a.sin_addr, ip, 4);
#ifdef _WIN32
        s_ = Ws().socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        Ws().bind(s_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        Ws().listen(s_, 8);
        int len = sizeof a;
        Ws().getsockname(s_, reinterpret_cast<sockaddr*>(&a), &len);
#else
        s_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::bind(s_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(s_, 8);
        socklen_t len = sizeof a;
        ::getsockname(s_, reinterpret_cast<sockaddr*>(&a), &len);
#endif
        const auto* p = reinterpret_cast<const unsigned char*>(&a.sin_port);
        port_ = static_cast<std::uint16_t>(p[0] << 8 | p[1]);
    }
    ~PeerListener() {
        FermeSocket(s_);
    }
    PeerListener(const PeerListener&) = delete;
    PeerListener& operator=(const PeerListener&) = delete;

    std::uint16_t Port() const {
        return port_;
    }

    PeerSocket Accepte(int ms = 5000) {
        if (!Lisible(s_, ms))
            return PeerSocket();
#ifdef _WIN32
        return PeerSocket(Ws().accept(s_, nullptr, nullptr));
#else
        return PeerSocket(::accept4(s_, nullptr, nullptr, SOCK_CLOEXEC));
#endif
    }

  private:
    SocketId s_;
    std::uint16_t port_ = 0;
};

} // namespace nvtest
