// The client's connection thread: connects and reconnects to the alert
// server, identifies itself, probes the link about every minute, answers the
// server's probes, hands each alert to the window and sends the
// acknowledgement once the user has read it.
#pragma once

#include "client/MessagePoster.h"
#include "client/URoutinesIndy.h"
#include "common/Clock.h"
#include "common/Fil.h"
#include "common/TcpClient.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace nv {

// Shared with the window without a lock: each is written whole. The window
// only ever writes NumeroVu then sets Acquittee; the thread does the rest.
struct DrapeauxAlerte {
    std::atomic<bool> EnAttente{false}; // an alert was handed to the window
    std::atomic<bool> Acquittee{false}; // the user closed it, box ticked
    // Which alert the user closed: how many alert messages the window had
    // received then. A late close of alert N must not acknowledge N+1.
    std::atomic<std::uint32_t> NumeroVu{0};

    void Acquitte(std::uint32_t numero) {
        NumeroVu.store(numero);
        Acquittee.store(true);
    }
};

// The client's own pair.
DrapeauxAlerte& DrapeauxProcessus();

// 0..plage-1 from a generator seeded once at process start.
std::uint32_t AleaProcessus(std::uint32_t plage);

constexpr std::int32_t kDelaiConnexionMs = 5000;
constexpr DWORD kIntervalleSondeMs = 60000; // plus 0..9,999 drawn once per run
constexpr std::uint32_t kDelaiMaxSecondes = 120;
// How long the keep-alive step waits for the reply to its probe; a server
// that has vanished without closing would otherwise hold the thread forever.
constexpr int kAttenteReponseSondeMs = 30000;
// How long a read may go without a byte once a frame has begun: a link that
// stalls mid-frame is broken, as a failed read is, instead of holding the
// thread (and with it the keep-alive) for good.
constexpr int kLimiteLectureMs = 30000;

// What the run stands on; every empty field takes the real thing.
struct OptionsThread {
    Clock* horloge = nullptr;
    std::function<std::unique_ptr<TcpConnection>()> fabrique;
    std::function<std::uint32_t()> alea; // the extra of the probe interval
    MessagePoster* poster = nullptr;
    DrapeauxAlerte* drapeaux = nullptr;
    int attenteReponseSondeMs = kAttenteReponseSondeMs;
    int limiteLectureMs = kLimiteLectureMs;
    DWORD intervalleSondeMs = kIntervalleSondeMs; // before the drawn extra
};

class TThreadNivaxel : private GestionnaireTrame {
  public:
    // Starts the run at once. The client never stops it; tests do, through
    // the destructor or DemandeArret then Attend.
    TThreadNivaxel(std::string host, std::uint16_t port, HWND fenetre, OptionsThread options = {});
    ~TThreadNivaxel();
    TThreadNivaxel(const TThreadNivaxel&) = delete;
    TThreadNivaxel& operator=(const TThreadNivaxel&) = delete;

    void DemandeArret() { arret_.store(true); }
    void Attend();
    bool Demarre() const { return demarre_; }

    // For tests and diagnostics.
    std::uint32_t DelaiReconnexion() const { return delai_.load(); }
    DWORD IntervalleSonde() const { return intervalle_.load(); }
    unsigned long TentativesConnexion() const { return tentatives_.load(); }
    unsigned long Reprises() const { return reprises_.load(); }

  private:
    void Execute();
    // One round: a fresh connection object and passes until asked to stop.
    // 0 when stopped; a code when it could not go on.
    std::int32_t Tour(DWORD& derniereSonde);
    // The one place a failed round is recovered from, on the retry schedule.
    void RepriseApresEchec();
    void Passe(DWORD& derniereSonde);
    void Reconnecte();
    void AttendDelai();
    void SondeLiaison();
    bool AttendReponseSonde();
    void EnvoieAcquittement();
    void SurStatut(TcpStatus statut);
    std::int32_t TraiteTrame(const EnteteMessage& entete, const std::uint8_t* trame,
                             std::size_t taille) override;
    void Poste(UINT message, WPARAM wParam, LPARAM lParam);

    const std::string host_;
    const std::uint16_t port_;
    const HWND fenetre_;
    const std::int32_t delaiConnexion_ = kDelaiConnexionMs;
    Clock& horloge_;
    std::function<std::unique_ptr<TcpConnection>()> fabrique_;
    std::function<std::uint32_t()> alea_;
    MessagePoster& poster_;
    DrapeauxAlerte& drapeaux_;
    const int attenteReponseSondeMs_;
    const int limiteLectureMs_;
    const DWORD intervalleSondeMs_;

    std::unique_ptr<TcpConnection> connexion_; // the current round's
    TcpConnection* tcp_ = nullptr;             // connexion_ while a round runs
    bool connecte_ = false;        // touched on the connection thread only
    std::uint32_t alertesPostees_ = 0; // alert messages the window will receive
    bool delaiAttendu_ = false;        // the recovery has already waited the delay
    std::atomic<bool> arret_{false};
    std::atomic<std::uint32_t> delai_{0};
    std::atomic<DWORD> intervalle_{0};
    std::atomic<unsigned long> tentatives_{0};
    std::atomic<unsigned long> reprises_{0};
    bool demarre_ = false;
    Fil fil_; // last: starts once everything above is in place
};

} // namespace nv
