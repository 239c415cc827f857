#include "client/UThreadNivaxel.h"

#include "client/Identification.h"

#include <cstring>

namespace nv {

namespace {

// Linear congruential generator; quality hardly matters, it only spreads the
// probes of many workstations over ten seconds.
std::atomic<std::uint32_t> g_graine{SystemClock().GetTickCount() ^ 0x9E3779B9u};

} // namespace

DrapeauxAlerte& DrapeauxProcessus() {
    static DrapeauxAlerte drapeaux;
    return drapeaux;
}

std::uint32_t AleaProcessus(std::uint32_t plage) {
    std::uint32_t ancienne = g_graine.load();
    std::uint32_t nouvelle;
    do {
        nouvelle = ancienne * 134775813u + 1u;
    } while (!g_graine.compare_exchange_weak(ancienne, nouvelle));
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(nouvelle) * plage) >> 32);
}

TThreadNivaxel::TThreadNivaxel(std::string host, std::uint16_t port, HWND fenetre,
                               OptionsThread options)
    : host_(std::move(host)), port_(port), fenetre_(fenetre),
      horloge_(options.horloge ? *options.horloge : SystemClock()),
      fabrique_(options.fabrique ? std::move(options.fabrique)
                                 : std::function<std::unique_ptr<TcpConnection>()>(
                                       [] { return MakeTcpConnection(); })),
      alea_(options.alea ? std::move(options.alea)
                         : std::function<std::uint32_t()>([] { return AleaProcessus(10000); })),
      poster_(options.poster ? *options.poster : CurrentMessagePoster()),
      drapeaux_(options.drapeaux ? *options.drapeaux : DrapeauxProcessus()),
      attenteReponseSondeMs_(options.attenteReponseSondeMs),
      limiteLectureMs_(options.limiteLectureMs), intervalleSondeMs_(options.intervalleSondeMs) {
    // No thread to be had: the client stays without a connection.
    demarre_ = fil_.Demarre([](void* fil) { static_cast<TThreadNivaxel*>(fil)->Execute(); }, this);
}

TThreadNivaxel::~TThreadNivaxel() {
    DemandeArret();
    Attend();
}

void TThreadNivaxel::Attend() {
    fil_.Attend();
}

void TThreadNivaxel::Execute() {
    delai_ = 0;
    intervalle_ = intervalleSondeMs_ + alea_() % 10000;
    DWORD derniereSonde = horloge_.GetTickCount();
    // The process has no other ear for the server: the run never ends
    // while the process lives, whatever a round meets.
    while (!arret_.load()) {
        if (Tour(derniereSonde) != 0)
            RepriseApresEchec();
    }
}

std::int32_t TThreadNivaxel::Tour(DWORD& derniereSonde) {
    connexion_ = fabrique_();
    if (!connexion_)
        return kErreurMemoire;
    tcp_ = connexion_.get();
    tcp_->SetStatusHandler([this](TcpStatus statut) { SurStatut(statut); });
    tcp_->SetReadLimit(limiteLectureMs_);
    while (!arret_.load())
        Passe(derniereSonde);

    // Leaving quietly: no message for a window that asked nothing.
    tcp_->SetStatusHandler(nullptr);
    tcp_->Close();
    tcp_ = nullptr;
    connexion_.reset();
    return 0;
}

void TThreadNivaxel::RepriseApresEchec() {
    ++reprises_;
    // Whatever the failed round held is dropped without a status, so the
    // window is told here that the link is gone.
    if (tcp_)
        tcp_->SetStatusHandler(nullptr);
    tcp_ = nullptr;
    connexion_.reset();
    if (connecte_) {
        connecte_ = false;
        Poste(kMessageDeconnecte, 0, 0);
    }
    // Counts as a failed attempt: the delay grows and is waited here, so
    // that a round failing before any connect cannot spin.
    if (delai_.load() < kDelaiMaxSecondes)
        delai_ += 10;
    AttendDelai();
    delaiAttendu_ = true;
}

void TThreadNivaxel::AttendDelai() {
    for (std::uint32_t i = 0; i < delai_.load() && !arret_.load(); ++i)
        horloge_.Sleep(1000);
}

void TThreadNivaxel::Passe(DWORD& derniereSonde) {
    if (static_cast<DWORD>(horloge_.GetTickCount() - derniereSonde) > intervalle_.load()) {
        if (connecte_)
            SondeLiaison();
        derniereSonde = horloge_.GetTickCount();
    }

    bool reconnecte = !connecte_;
    if (connecte_) {
        if (tcp_->WaitForData(100)) {
            const std::int32_t resultat = RecoitMessage(*tcp_, this);
            if (resultat != 0) {
                // Only an unexpected probe reply leaves the stream in step;
                // after anything else the next byte is no frame boundary.
                if (resultat != ReponseTestLiaison && tcp_->IsOpen()) {
                    connecte_ = false;
                    tcp_->Close();
                }
                reconnecte = true;
            }
        }
        if (!reconnecte)
            EnvoieAcquittement();
    }
    if (reconnecte)
        Reconnecte();
    horloge_.Sleep(1);
}

void TThreadNivaxel::Reconnecte() {
    if (!delaiAttendu_)
        AttendDelai();
    delaiAttendu_ = false;
    if (arret_.load())
        return;
    tentatives_.fetch_add(1);
    if (tcp_->Connect(host_, port_, delaiConnexion_) == 0)
        delai_ = 0;
    else if (delai_.load() < kDelaiMaxSecondes)
        delai_ += 10;
}

void TThreadNivaxel::EnvoieAcquittement() {
    // A closed connection waits for the next one rather than losing it.
    if (!connecte_ || !tcp_->IsOpen() || !drapeaux_.EnAttente.load() || !drapeaux_.Acquittee.load())
        return;
    // Left as it is: the user's close of the latest alert will overwrite it.
    if (drapeaux_.NumeroVu.load() != alertesPostees_)
        return;
    drapeaux_.Acquittee = false;
    drapeaux_.EnAttente = false;
    if (EnvoieMessage(*tcp_, AlerteLue) != 0) {
        // Not sent: keep it for the next connection instead of dropping it.
        drapeaux_.EnAttente = true;
        drapeaux_.Acquittee = true;
    }
}

void TThreadNivaxel::SondeLiaison() {
    if (EnvoieMessage(*tcp_, TestLiaison) == 0 && AttendReponseSonde() &&
        RecoitMessage(*tcp_, this) == ReponseTestLiaison)
        return;
    connecte_ = false;
    tcp_->Close();
}

bool TThreadNivaxel::AttendReponseSonde() {
    constexpr int kTranche = 100;
    for (int attendu = 0; attendu < attenteReponseSondeMs_ && !arret_.load(); attendu += kTranche) {
        const int reste = attenteReponseSondeMs_ - attendu;
        if (tcp_->WaitForData(reste < kTranche ? reste : kTranche))
            return true;
        if (!tcp_->IsOpen())
            return false;
    }
    return false;
}

void TThreadNivaxel::SurStatut(TcpStatus statut) {
    switch (statut) {
    case TcpStatus::Connected: {
        connecte_ = true;
        Poste(kMessageConnecte, 0, 0);
        const std::string texte = TexteIdentification();
        (void)EnvoieMessage(*tcp_, Identification, 0, 0, texte.data(),
                            static_cast<std::int32_t>(texte.size()), nullptr, 0);
        break;
    }
    case TcpStatus::Disconnected:
        connecte_ = false;
        Poste(kMessageDeconnecte, 0, 0);
        break;
    default:
        connecte_ = false;
        break;
    }
}

std::int32_t TThreadNivaxel::TraiteTrame(const EnteteMessage& entete, const std::uint8_t* trame,
                                         std::size_t taille) {
    switch (entete.TypeMessage) {
    case ReponseTestLiaison:
        return ReponseTestLiaison;
    case Alerte: {
        std::size_t longueur = static_cast<std::size_t>(entete.Taille1);
        if (kTailleEntete + longueur > taille)
            longueur = 0; // cannot happen with RecoitMessage's buffer; never read past it
        void* bloc = nullptr;
        if (longueur > 0) {
            bloc = AlloueBlocAlerte(longueur);
            if (bloc)
                std::memcpy(bloc, trame + kTailleEntete, longueur);
            else
                longueur = 0; // the window ignores an empty alert rather than read nothing
        }
        drapeaux_.EnAttente = true;
        drapeaux_.Acquittee = false;
        if (poster_.PostMessageA(fenetre_, kMessageAlerte, static_cast<WPARAM>(longueur),
                                 reinterpret_cast<LPARAM>(bloc)))
            ++alertesPostees_;
        else
            LibereBlocAlerte(reinterpret_cast<LPARAM>(bloc));
        return 0;
    }
    case TestLiaisonServeur:
        (void)EnvoieMessage(*tcp_, ReponseTestLiaisonServeur);
        return 0;
    default:
        return 0;
    }
}

void TThreadNivaxel::Poste(UINT message, WPARAM wParam, LPARAM lParam) {
    (void)poster_.PostMessageA(fenetre_, message, wParam, lParam);
}

} // namespace nv
