// An in-memory TcpConnection for the framing tests, the fuzzers and the
// connection thread's schedule tests. Incoming bytes come in segments: a
// segment has "arrived" once a read reaches into it, which is what the
// receiver's discard of already-received bytes works on. Thread-safe, so a
// test can feed a running connection thread.
#pragma once

#include "common/TcpClient.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace nvtest {

class MemoryConnection : public nv::TcpConnection {
  public:
    // Starts connected unless told otherwise (the framing tests need no
    // Connect); `finSiVide`: a read past the last segment fails at once
    // instead of waiting for more.
    explicit MemoryConnection(bool ouverte = true, bool finSiVide = true)
        : ouverte_(ouverte), finSiVide_(finSiVide) {}

    // --- test side ---------------------------------------------------------
    void AjouteSegment(std::string octets) {
        {
            std::lock_guard<std::mutex> l(m_);
            segments_.push_back(std::move(octets));
        }
        cv_.notify_all();
    }
    // The peer closes in an orderly way once everything queued is read.
    void FermeParPair() {
        {
            std::lock_guard<std::mutex> l(m_);
            fermeParPair_ = true;
        }
        cv_.notify_all();
    }
    std::string Ecrit() {
        std::lock_guard<std::mutex> l(m_);
        return ecrit_;
    }
    std::vector<std::size_t> TaillesEcritures() {
        std::lock_guard<std::mutex> l(m_);
        return tailles_;
    }
    // Write number `rang` (0-based) and every later one fail with `code`.
    void EchecEcritureDes(std::size_t rang, DWORD code) {
        std::lock_guard<std::mutex> l(m_);
        echecEcriture_ = rang;
        codeEcriture_ = code;
    }
    void CodeLectureEnFin(DWORD code) {
        std::lock_guard<std::mutex> l(m_);
        codeLecture_ = code;
    }
    // Results of the next Connect calls, in order; 0 once the list is used up.
    void ResultatsConnexion(std::deque<DWORD> r) {
        std::lock_guard<std::mutex> l(m_);
        connexions_ = std::move(r);
    }
    std::function<void()> surConnexion; // called at each Connect, before anything else
    std::vector<nv::TcpStatus> Statuts() {
        std::lock_guard<std::mutex> l(m_);
        return statuts_;
    }

    // --- TcpConnection -----------------------------------------------------
    void SetStatusHandler(std::function<void(nv::TcpStatus)> handler) override {
        handler_ = std::move(handler);
    }

    DWORD Connect(const std::string&, std::uint16_t, std::int32_t) override {
        if (surConnexion)
            surConnexion();
        DWORD resultat = 0;
        {
            std::lock_guard<std::mutex> l(m_);
            if (ouverte_)
                return ERROR_NOT_CONNECTED;
            if (!connexions_.empty()) {
                resultat = connexions_.front();
                connexions_.pop_front();
            }
        }
        Notifie(nv::TcpStatus::Resolving);
        Notifie(nv::TcpStatus::Connecting);
        if (resultat != 0)
            return resultat;
        {
            std::lock_guard<std::mutex> l(m_);
            ouverte_ = true;
            fermeParPair_ = false;
        }
        Notifie(nv::TcpStatus::Connected);
        return 0;
    }

    bool IsOpen() const override {
        std::lock_guard<std::mutex> l(m_);
        return ouverte_;
    }

    bool WaitForData(int timeoutMs) override {
        std::unique_lock<std::mutex> l(m_);
        if (!ouverte_)
            return false;
        // Only the current segment has arrived; a wait of 0 looks no
        // further, a longer one waits for the next segment to come.
        if (position_ < courant_.size())
            return true;
        if (timeoutMs <= 0)
            return false;
        const auto pret = [&] {
            return position_ < courant_.size() || !segments_.empty() || fermeParPair_;
        };
        if (!cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), pret))
            return false;
        if (position_ < courant_.size())
            return true;
        if (!segments_.empty()) {
            courant_ = std::move(segments_.front());
            segments_.pop_front();
            position_ = 0;
            return !courant_.empty();
        }
        l.unlock();
        Close(); // an orderly close found by the wait
        return false;
    }

    nv::IoResult ReadExact(void* buffer, std::size_t n) override {
        auto* out = static_cast<char*>(buffer);
        std::size_t fait = 0;
        std::unique_lock<std::mutex> l(m_);
        while (fait < n) {
            if (!ouverte_)
                return {false, ERROR_NOT_CONNECTED};
            if (position_ < courant_.size()) {
                const std::size_t k = std::min(n - fait, courant_.size() - position_);
                std::memcpy(out + fait, courant_.data() + position_, k);
                position_ += k;
                fait += k;
                continue;
            }
            if (!segments_.empty()) {
                courant_ = std::move(segments_.front());
                segments_.pop_front();
                position_ = 0;
                continue;
            }
            if (fermeParPair_) {
                l.unlock();
                Close();
                return {false, 0};
            }
            if (finSiVide_)
                return {false, codeLecture_};
            if (limiteMs_ <= 0) {
                cv_.wait(l);
            } else if (!cv_.wait_for(l, std::chrono::milliseconds(limiteMs_), [&] {
                           return !ouverte_ || !segments_.empty() || fermeParPair_;
                       })) {
                ouverte_ = false; // silently, as a read error closes
                courant_.clear();
                position_ = 0;
                return {false, nv::kLectureExpiree};
            }
        }
        return {true, 0};
    }

    void SetReadLimit(int ms) override {
        std::lock_guard<std::mutex> l(m_);
        limiteMs_ = ms;
    }

    nv::IoResult Write(const void* buffer, std::size_t n) override {
        std::lock_guard<std::mutex> l(m_);
        if (!ouverte_)
            return {false, ERROR_NOT_CONNECTED};
        if (tailles_.size() >= echecEcriture_) {
            tailles_.push_back(0);
            return {false, codeEcriture_};
        }
        tailles_.push_back(n);
        ecrit_.append(static_cast<const char*>(buffer), n);
        return {true, 0};
    }

    void Close() override {
        {
            std::lock_guard<std::mutex> l(m_);
            if (!ouverte_)
                return;
        }
        Notifie(nv::TcpStatus::Disconnecting);
        {
            std::lock_guard<std::mutex> l(m_);
            ouverte_ = false;
            courant_.clear();
            position_ = 0;
            segments_.clear();
        }
        cv_.notify_all();
        Notifie(nv::TcpStatus::Disconnected);
    }

  private:
    void Notifie(nv::TcpStatus s) {
        {
            std::lock_guard<std::mutex> l(m_);
            statuts_.push_back(s);
        }
        if (handler_)
            handler_(s);
    }

    mutable std::mutex m_;
    std::condition_variable cv_;
    bool ouverte_;
    bool finSiVide_;
    bool fermeParPair_ = false;
    std::deque<std::string> segments_;
    std::string courant_;
    std::size_t position_ = 0;
    std::string ecrit_;
    std::vector<std::size_t> tailles_;
    std::size_t echecEcriture_ = static_cast<std::size_t>(-1);
    DWORD codeEcriture_ = 0;
    DWORD codeLecture_ = 10054;
    int limiteMs_ = 0;
    std::deque<DWORD> connexions_;
    std::vector<nv::TcpStatus> statuts_;
    std::function<void(nv::TcpStatus)> handler_;
};

// Frame bytes, for feeding a connection or a socket.
inline std::string Trame(std::int32_t type, const std::string& bloc1 = {},
                         const std::string& bloc2 = {}, std::int32_t signature = 123456,
                         std::int32_t taille1 = -2, std::int32_t taille2 = -2) {
    auto le = [](std::string& s, std::int32_t v) {
        const auto u = static_cast<std::uint32_t>(v);
        for (int i = 0; i < 4; ++i)
            s += static_cast<char>((u >> (8 * i)) & 0xFF);
    };
    std::string s;
    le(s, signature);
    le(s, type);
    le(s, 0);
    le(s, 0);
    le(s, taille1 == -2 ? static_cast<std::int32_t>(bloc1.size()) : taille1);
    le(s, taille2 == -2 ? static_cast<std::int32_t>(bloc2.size()) : taille2);
    return s + bloc1 + bloc2;
}

} // namespace nvtest
