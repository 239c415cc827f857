// The connection thread's timing and bookkeeping on a fake clock, over an
// in-memory connection whose failures the test chooses.
#include "client/Identification.h"
#include "client/MessageQueuePoster.h"
#include "client/UThreadNivaxel.h"
#include "support/MemoryConnection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

using nvtest::MemoryConnection;
using nvtest::Trame;

// The thread owns its connection; this lets the test keep looking at it.
class Relais : public nv::TcpConnection {
  public:
    explicit Relais(MemoryConnection& c) : c_(c) {}
    ~Relais() override { c_.Close(); } // silent once the owner has dropped its handler
    void SetStatusHandler(std::function<void(nv::TcpStatus)> h) override {
        c_.SetStatusHandler(std::move(h));
    }
    DWORD Connect(const std::string& h, std::uint16_t p, std::int32_t t) override {
        return c_.Connect(h, p, t);
    }
    bool IsOpen() const override { return c_.IsOpen(); }
    bool WaitForData(int ms) override { return c_.WaitForData(ms); }
    nv::IoResult ReadExact(void* b, std::size_t n) override { return c_.ReadExact(b, n); }
    void SetReadLimit(int ms) override { c_.SetReadLimit(ms); }
    nv::IoResult Write(const void* b, std::size_t n) override { return c_.Write(b, n); }
    void Close() override { c_.Close(); }

  private:
    MemoryConnection& c_;
};

template <typename F> bool Attend(F condition, int ms = 5000) {
    const auto fin = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > fin)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::size_t Compte(const std::string& flux, const std::string& motif) {
    std::size_t n = 0;
    for (std::size_t p = flux.find(motif); p != std::string::npos; p = flux.find(motif, p + 1))
        ++n;
    return n;
}

class Schedule : public ::testing::Test {
  protected:
    void Demarre(std::uint32_t alea = 0) {
        connexion_.surConnexion = [this] {
            std::lock_guard<std::mutex> l(m_);
            tentatives_.push_back(horloge_.Now());
            if (surTentative_)
                surTentative_(tentatives_.size());
        };
        nv::OptionsThread o;
        o.horloge = &horloge_;
        o.poster = &poster_;
        o.drapeaux = &drapeaux_;
        o.alea = [alea] { return alea; };
        o.fabrique = [this]() -> std::unique_ptr<nv::TcpConnection> {
            if (fabriquesRatees_ > 0) {
                --fabriquesRatees_;
                return nullptr;
            }
            return std::make_unique<Relais>(connexion_);
        };
        o.attenteReponseSondeMs = 300;
        thread_ = std::make_unique<nv::TThreadNivaxel>("serveur", 5088, nullptr, o);
    }
    std::vector<DWORD> Tentatives() {
        std::lock_guard<std::mutex> l(m_);
        return tentatives_;
    }
    void Arrete() { thread_.reset(); }

    nv::FakeClock horloge_{5000};
    MemoryConnection connexion_{false, false};
    nv::MessageQueuePoster poster_;
    nv::DrapeauxAlerte drapeaux_;
    nv::MemoryIdentificationApi ident_{"PC1", "anne"};
    nv::ScopedIdentificationApi scope_{ident_};
    std::mutex m_;
    std::vector<DWORD> tentatives_;
    std::function<void(std::size_t)> surTentative_;
    int fabriquesRatees_ = 0; // read on the thread only after Demarre
    std::unique_ptr<nv::TThreadNivaxel> thread_;
};

const std::string kIdentification = Trame(nv::Identification, "NS=PC1\r\nNU=anne");

TEST_F(Schedule, UnreachableServerIsRetriedAfter10To120Seconds) {
    connexion_.ResultatsConnexion(std::deque<DWORD>(100000, 10061));
    Demarre();
    ASSERT_TRUE(Attend([&] { return Tentatives().size() >= 16; }));
    Arrete();
    const std::vector<DWORD> t = Tentatives();
    EXPECT_EQ(t[0], 5000u); // at once
    const DWORD attendu[] = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120, 120, 120, 120};
    for (std::size_t i = 1; i < 16; ++i)
        EXPECT_EQ(t[i] - t[i - 1], attendu[i - 1] * 1000 + 1) << i; // + the pass's 1 ms
    EXPECT_EQ(poster_.Taille(), 0u);                                // failed attempts post nothing
}

TEST_F(Schedule, LossAfterAConnectionRetriesAtOnceThenBacksOff) {
    connexion_.ResultatsConnexion({0, 10061, 10061, 10061, 10061});
    Demarre();
    ASSERT_TRUE(Attend([&] { return connexion_.Ecrit() == kIdentification; }));
    connexion_.FermeParPair();
    ASSERT_TRUE(Attend([&] { return Tentatives().size() >= 5; }));
    Arrete();
    const std::vector<DWORD> t = Tentatives();
    EXPECT_LT(t[1] - t[0], 1000u); // no wait before the first retry
    EXPECT_EQ(t[2] - t[1], 10001u);
    EXPECT_EQ(t[3] - t[2], 20001u);
    EXPECT_EQ(t[4] - t[3], 30001u);
}

TEST_F(Schedule, AcknowledgementMadeWhileDisconnectedGoesOutOnTheNextConnection) {
    connexion_.ResultatsConnexion({0, 10061, 0});
    surTentative_ = [this](std::size_t n) {
        if (n == 2) // the user reads the alert while the link is down
            drapeaux_.Acquitte(1);
    };
    Demarre();
    ASSERT_TRUE(Attend([&] { return connexion_.Ecrit() == kIdentification; }));
    connexion_.AjouteSegment(Trame(nv::Alerte, "M=x"));
    nv::MessagePoste m;
    ASSERT_TRUE(poster_.Attend(m, 5000));
    ASSERT_TRUE(poster_.Attend(m, 5000));
    EXPECT_EQ(m.message, nv::kMessageAlerte);
    connexion_.FermeParPair();
    ASSERT_TRUE(Attend([&] { return Compte(connexion_.Ecrit(), Trame(nv::AlerteLue)) == 1; }));
    EXPECT_EQ(connexion_.Ecrit(), kIdentification + kIdentification + Trame(nv::AlerteLue));
    EXPECT_FALSE(drapeaux_.EnAttente.load());
    Arrete();
}

TEST_F(Schedule, FailedAcknowledgementIsKeptAndSentLater) {
    Demarre();
    ASSERT_TRUE(Attend([&] { return connexion_.Ecrit() == kIdentification; }));
    connexion_.AjouteSegment(Trame(nv::Alerte, "M=x"));
    ASSERT_TRUE(Attend([&] { return drapeaux_.EnAttente.load(); }));
    connexion_.EchecEcritureDes(1, 10054);
    drapeaux_.Acquitte(1);
    ASSERT_TRUE(Attend([&] { return connexion_.TaillesEcritures().size() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(drapeaux_.EnAttente.load());
    EXPECT_TRUE(drapeaux_.Acquittee.load());
    connexion_.EchecEcritureDes(static_cast<std::size_t>(-1), 0);
    ASSERT_TRUE(Attend([&] { return Compte(connexion_.Ecrit(), Trame(nv::AlerteLue)) == 1; }));
    EXPECT_FALSE(drapeaux_.Acquittee.load());
    EXPECT_FALSE(drapeaux_.EnAttente.load());
    Arrete();
}

// The window's late close of alert 1 lands after alert 2 has cleared the
// flag: the server must not hear "read" until alert 2 itself is closed.
TEST_F(Schedule, LateCloseOfAnEarlierAlertAcknowledgesNothing) {
    Demarre();
    ASSERT_TRUE(Attend([&] { return connexion_.Ecrit() == kIdentification; }));
    connexion_.AjouteSegment(Trame(nv::Alerte, "M=un") + Trame(nv::Alerte, "M=deux"));
    nv::MessagePoste m;
    ASSERT_TRUE(poster_.Attend(m, 5000)); // connected
    ASSERT_TRUE(poster_.Attend(m, 5000));
    ASSERT_TRUE(poster_.Attend(m, 5000));
    EXPECT_EQ(m.texte, "M=deux");
    drapeaux_.Acquitte(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // a few passes
    EXPECT_EQ(connexion_.Ecrit(), kIdentification);
    EXPECT_TRUE(drapeaux_.EnAttente.load());
    drapeaux_.Acquitte(2);
    ASSERT_TRUE(Attend([&] { return Compte(connexion_.Ecrit(), Trame(nv::AlerteLue)) == 1; }));
    Arrete();
    EXPECT_EQ(connexion_.Ecrit(), kIdentification + Trame(nv::AlerteLue));
}

// No connection object to be had, twice: the run goes on with the schedule
// instead of ending for the rest of the session.
TEST_F(Schedule, FailedRoundsAreRecoveredOnTheRetrySchedule) {
    fabriquesRatees_ = 2;
    Demarre();
    ASSERT_TRUE(Attend([&] { return connexion_.Ecrit() == kIdentification; }));
    EXPECT_EQ(thread_->Reprises(), 2u);
    const std::vector<DWORD> t = Tentatives();
    ASSERT_EQ(t.size(), 1u);
    // Each failure counts as a failed attempt: 10 s, then 20 s.
    EXPECT_EQ(t[0], 5000u + 10000u + 20000u);
    nv::MessagePoste m;
    ASSERT_TRUE(poster_.Attend(m, 1000));
    EXPECT_EQ(m.message, nv::kMessageConnecte);
    Arrete();
}

// A frame the client cannot take while connected (its buffer is refused):
// the window hears of the loss, and the client is identified again on a new
// connection.
TEST_F(Schedule, FailureWhileConnectedIsPostedAndReconnects) {
    Demarre();
    ASSERT_TRUE(Attend([&] { return connexion_.Ecrit() == kIdentification; }));
    connexion_.AjouteSegment(Trame(nv::Alerte, {}, {}, 123456, nv::kTailleMaxBloc1 + 1, 0));
    ASSERT_TRUE(Attend([&] { return connexion_.Ecrit() == kIdentification + kIdentification; }));
    Arrete();
    std::vector<UINT> messages;
    for (nv::MessagePoste m; poster_.Attend(m, 0);)
        messages.push_back(m.message);
    EXPECT_EQ(messages, (std::vector<UINT>{nv::kMessageConnecte, nv::kMessageDeconnecte,
                                           nv::kMessageConnecte}));
}

TEST_F(Schedule, ProbeIntervalIsSixtySecondsPlusTheDrawAndSurvivesTickWrap) {
    horloge_.Advance(0xFFFFFFFFu - 5000u - 2000u); // the tick wraps during the wait
    Demarre(25000);                                // taken modulo 10,000
    ASSERT_TRUE(Attend([&] { return connexion_.Ecrit() == kIdentification; }));
    EXPECT_EQ(thread_->IntervalleSonde(), 65000u);
    horloge_.Advance(64000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(connexion_.Ecrit(), kIdentification); // not yet
    horloge_.Advance(2000);
    ASSERT_TRUE(
        Attend([&] { return connexion_.Ecrit() == kIdentification + Trame(nv::TestLiaison); }));
    connexion_.AjouteSegment(Trame(nv::ReponseTestLiaison));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(connexion_.IsOpen());
    EXPECT_EQ(Tentatives().size(), 1u);
    Arrete();
}

TEST_F(Schedule, FailedProbeSendClosesAndReconnects) {
    Demarre();
    ASSERT_TRUE(Attend([&] { return connexion_.Ecrit() == kIdentification; }));
    connexion_.EchecEcritureDes(1, 10054);
    horloge_.Advance(nv::kIntervalleSondeMs + 1);
    ASSERT_TRUE(Attend([&] { return Tentatives().size() >= 2; }));
    Arrete();
    nv::MessagePoste m;
    ASSERT_TRUE(poster_.Attend(m, 0));
    EXPECT_EQ(m.message, nv::kMessageConnecte);
    ASSERT_TRUE(poster_.Attend(m, 0));
    EXPECT_EQ(m.message, nv::kMessageDeconnecte);
    ASSERT_TRUE(poster_.Attend(m, 0));
    EXPECT_EQ(m.message, nv::kMessageConnecte);
}

TEST_F(Schedule, AlertThatCannotBePostedIsReleased) {
    Demarre();
    ASSERT_TRUE(Attend([&] { return connexion_.Ecrit() == kIdentification; }));
    nv::MessagePoste m;
    ASSERT_TRUE(poster_.Attend(m, 1000));
    poster_.RefusePosts(true);
    connexion_.AjouteSegment(Trame(nv::Alerte, std::string(5000, 'a')));
    ASSERT_TRUE(Attend([&] { return drapeaux_.EnAttente.load(); }));
    Arrete(); // the leak checker fails this test if the block was kept
    EXPECT_EQ(poster_.Taille(), 0u);
}

TEST_F(Schedule, StopDuringTheRetryWaitMakesNoFurtherAttempt) {
    connexion_.ResultatsConnexion({10061, 10061});
    nv::OptionsThread o;
    o.poster = &poster_;
    o.drapeaux = &drapeaux_;
    o.fabrique = [this] { return std::make_unique<Relais>(connexion_); };
    connexion_.surConnexion = [this] {
        std::lock_guard<std::mutex> l(m_);
        tentatives_.push_back(0);
    };
    thread_ = std::make_unique<nv::TThreadNivaxel>("serveur", 5088, nullptr, o); // real clock
    ASSERT_TRUE(Attend([&] { return Tentatives().size() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Arrete(); // within a second of the 10 s wait
    EXPECT_EQ(Tentatives().size(), 1u);
}

} // namespace
