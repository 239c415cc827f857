#include "client/Identification.h"
#include "client/UDataEntete.h"
#include "client/URoutinesIndy.h"
#include "client/URoutinesMessages.h"
#include "support/MemoryConnection.h"
#include "unit/Loopback.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using nvtest::MemoryConnection;
using nvtest::Trame;

struct Recu {
    nv::EnteteMessage entete;
    std::string trame;
};

class Enregistreur : public nv::GestionnaireTrame {
  public:
    std::int32_t resultat = 0;
    std::vector<Recu> recus;
    std::int32_t TraiteTrame(const nv::EnteteMessage& e, const std::uint8_t* t,
                             std::size_t n) override {
        recus.push_back({e, std::string(reinterpret_cast<const char*>(t), n)});
        return resultat;
    }
};

std::string Octets(std::initializer_list<int> v) {
    std::string s;
    for (int b : v)
        s += static_cast<char>(b);
    return s;
}

TEST(EnteteMessage, LittleEndianSignedFields) {
    nv::EnteteMessage e;
    e.TypeMessage = nv::ReponseTestLiaison;
    e.Taille1 = 0x01020304;
    std::uint8_t b[24];
    nv::EcritEntete(e, b);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b), 8),
              Octets({0x40, 0xE2, 0x01, 0x00, 0xFD, 0xEF, 0xFF, 0xFF}));
    EXPECT_EQ(b[16], 0x04);
    EXPECT_EQ(b[19], 0x01);
    const nv::EnteteMessage r = nv::LitEntete(b);
    EXPECT_EQ(r.TypeMessage, -4099);
    EXPECT_EQ(r.Taille1, 0x01020304);
    EXPECT_EQ(r.Signature, 123456);
}

// ---- identification -------------------------------------------------------

TEST(Identification, ExampleFrameIsThirtyNineBytes) {
    nv::MemoryIdentificationApi api("PC1", "anne");
    nv::ScopedIdentificationApi scope(api);
    MemoryConnection c;
    const std::string texte = nv::TexteIdentification();
    ASSERT_EQ(nv::EnvoieMessage(c, nv::Identification, 0, 0, texte.data(),
                                static_cast<std::int32_t>(texte.size()), nullptr, 0),
              0);
    EXPECT_EQ(c.Ecrit(), Octets({0x40, 0xE2, 0x01, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x4E, 0x53, 0x3D, 0x50, 0x43, 0x31,
                                 0x0D, 0x0A, 0x4E, 0x55, 0x3D, 0x61, 0x6E, 0x6E, 0x65}));
}

TEST(Identification, FailedCallsLeaveEmptyNamesButKeepPrefixes) {
    nv::MemoryIdentificationApi api("PC1", "anne");
    nv::ScopedIdentificationApi scope(api);
    api.computerFails = true;
    EXPECT_EQ(nv::TexteIdentification(), "NS=\r\nNU=anne");
    api.computerFails = false;
    api.userFails = true;
    EXPECT_EQ(nv::TexteIdentification(), "NS=PC1\r\nNU=");
}

TEST(Identification, BufferSizesAreSixteenAndTwoHundredFiftySix) {
    // Names that need a larger buffer than the system's limits fail the call.
    nv::MemoryIdentificationApi fits(std::string(15, 'C'), std::string(255, 'u'));
    {
        nv::ScopedIdentificationApi scope(fits);
        EXPECT_EQ(nv::NomOrdinateur(), std::string(15, 'C'));
        EXPECT_EQ(nv::NomUtilisateur(), std::string(255, 'u'));
    }
    nv::MemoryIdentificationApi tooLong(std::string(16, 'C'), std::string(256, 'u'));
    nv::ScopedIdentificationApi scope(tooLong);
    EXPECT_EQ(nv::NomOrdinateur(), "");
    EXPECT_EQ(nv::NomUtilisateur(), "");
}

// ---- sending --------------------------------------------------------------

TEST(EnvoieMessage, LargeFrameGoesOutInChunksOfSixtyFourKiB) {
    MemoryConnection c;
    std::string bloc(100000 - 24, '\0');
    for (std::size_t i = 0; i < bloc.size(); ++i)
        bloc[i] = static_cast<char>(i * 7);
    ASSERT_EQ(nv::EnvoieMessage(c, nv::Alerte, 0, 0, bloc.data(),
                                static_cast<std::int32_t>(bloc.size()), nullptr, 0),
              0);
    EXPECT_EQ(c.TaillesEcritures(), (std::vector<std::size_t>{65536, 34464}));
    EXPECT_EQ(c.Ecrit(), Trame(nv::Alerte, bloc));
}

TEST(EnvoieMessage, BothBlocksFollowTheHeaderWithTheirLengths) {
    MemoryConnection c;
    ASSERT_EQ(nv::EnvoieMessage(c, 77, 5, 6, "abc", 3, "XY", 2), 0);
    const std::string e = c.Ecrit();
    ASSERT_EQ(e.size(), 29u);
    const nv::EnteteMessage h = nv::LitEntete(reinterpret_cast<const std::uint8_t*>(e.data()));
    EXPECT_EQ(h.Param1, 5);
    EXPECT_EQ(h.Param2, 6);
    EXPECT_EQ(h.Taille1, 3);
    EXPECT_EQ(h.Taille2, 2);
    EXPECT_EQ(e.substr(24), "abcXY");
}

TEST(EnvoieMessage, EmptyFrameIsOneWriteOfTheHeader) {
    MemoryConnection c;
    ASSERT_EQ(nv::EnvoieMessage(c, nv::AlerteLue), 0);
    EXPECT_EQ(c.TaillesEcritures(), (std::vector<std::size_t>{24}));
    EXPECT_EQ(c.Ecrit(), Trame(nv::AlerteLue));
}

TEST(EnvoieMessage, FirstFailedWriteEndsTheSendWithItsCode) {
    std::string bloc(200000, 'x');
    {
        MemoryConnection c;
        c.EchecEcritureDes(1, 10054);
        EXPECT_EQ(nv::EnvoieMessage(c, nv::Alerte, 0, 0, bloc.data(), 200000, nullptr, 0), 10054);
        EXPECT_EQ(c.TaillesEcritures().size(), 2u); // the other two chunks never tried
        EXPECT_EQ(c.Ecrit().size(), 65536u);
    }
    {
        MemoryConnection c;
        c.EchecEcritureDes(0, 0);
        EXPECT_EQ(nv::EnvoieMessage(c, nv::TestLiaison), 21);
    }
}

TEST(EnvoieMessage, RefusesNegativeLengthsAndMissingBlocks) {
    MemoryConnection c;
    EXPECT_EQ(nv::EnvoieMessage(c, nv::Alerte, 0, 0, "a", -1, nullptr, 0), 87);
    EXPECT_EQ(nv::EnvoieMessage(c, nv::Alerte, 0, 0, nullptr, 4, nullptr, 0), 87);
    EXPECT_EQ(nv::EnvoieMessage(c, nv::Alerte, 0, 0, nullptr, 0, "b", -5), 87);
    EXPECT_TRUE(c.TaillesEcritures().empty());
}

// ---- receiving ------------------------------------------------------------

// On i686 the address space is 32 bits: 24 + two lengths near 2^31 would
// wrap to a few bytes and the copy would run past the buffer.
TEST(EnvoieMessage, FrameSizeThatWouldWrapIsRefused) {
    std::size_t total = 0;
    const std::size_t espace32 = 0xFFFFFFFFu;
    EXPECT_FALSE(nv::TailleTrame(0x7FFFFFFF, 0x7FFFFFFF, espace32, total));
    EXPECT_FALSE(nv::TailleTrame(0x7FFFFFFF, 0x7FFFFFE9, espace32, total)); // 2^32: wraps to 0
    EXPECT_TRUE(nv::TailleTrame(0x7FFFFFFF, 0x7FFFFFE8, espace32, total));
    EXPECT_EQ(total, espace32);
    EXPECT_FALSE(nv::TailleTrame(-1, 0, espace32, total));
    EXPECT_TRUE(nv::TailleTrame(3, 2, espace32, total));
    EXPECT_EQ(total, 29u);
}

TEST(RecoitMessage, HandsTheWholeFrameToTheHandlerAndReturnsItsResult) {
    MemoryConnection c;
    c.AjouteSegment(Trame(nv::Alerte, "abc", "zz"));
    Enregistreur h;
    h.resultat = 77;
    EXPECT_EQ(nv::RecoitMessage(c, &h), 77);
    ASSERT_EQ(h.recus.size(), 1u);
    EXPECT_EQ(h.recus[0].entete.TypeMessage, nv::Alerte);
    EXPECT_EQ(h.recus[0].entete.Taille1, 3);
    EXPECT_EQ(h.recus[0].entete.Taille2, 2);
    EXPECT_EQ(h.recus[0].trame, Trame(nv::Alerte, "abc", "zz"));
}

TEST(RecoitMessage, WithoutHandlerConsumesTheFrameAndReturnsZero) {
    MemoryConnection c;
    c.AjouteSegment(Trame(nv::Alerte, "abc") + Trame(nv::TestLiaisonServeur));
    EXPECT_EQ(nv::RecoitMessage(c, nullptr), 0);
    Enregistreur h;
    EXPECT_EQ(nv::RecoitMessage(c, &h), 0);
    ASSERT_EQ(h.recus.size(), 1u);
    EXPECT_EQ(h.recus[0].entete.TypeMessage, nv::TestLiaisonServeur);
}

TEST(RecoitMessage, AnyWrongSignatureBitIsRejectedAndNeverReachesTheHandler) {
    for (int bit = 0; bit < 32; ++bit) {
        MemoryConnection c;
        const auto bad = static_cast<std::int32_t>(123456u ^ (1u << bit));
        c.AjouteSegment(Trame(nv::Alerte, "bad", {}, bad));
        c.AjouteSegment(Trame(nv::Alerte, "good"));
        Enregistreur h;
        EXPECT_EQ(nv::RecoitMessage(c, &h), 0) << bit;
        ASSERT_EQ(h.recus.size(), 1u) << bit;
        EXPECT_EQ(h.recus[0].trame.substr(24), "good") << bit;
    }
}

TEST(RecoitMessage, NegativeLengthsAreRejected) {
    for (auto [t1, t2] : {std::pair{-1, 0}, std::pair{0, -1}, std::pair{INT32_MIN, 5}}) {
        MemoryConnection c;
        c.AjouteSegment(Trame(nv::Alerte, {}, {}, 123456, t1, t2));
        c.AjouteSegment(Trame(nv::Alerte, "ok"));
        Enregistreur h;
        EXPECT_EQ(nv::RecoitMessage(c, &h), 0);
        ASSERT_EQ(h.recus.size(), 1u);
        EXPECT_EQ(h.recus[0].trame.substr(24), "ok");
    }
}

TEST(RecoitMessage, RejectedHeaderDropsWhatHadAlreadyArrived) {
    MemoryConnection c;
    // The good frame came in the same read as the bad header: it is lost.
    c.AjouteSegment(Trame(nv::Alerte, "x", {}, 0) + Trame(nv::Alerte, "lost"));
    c.AjouteSegment(Trame(nv::Alerte, "next"));
    Enregistreur h;
    EXPECT_EQ(nv::RecoitMessage(c, &h), 0);
    ASSERT_EQ(h.recus.size(), 1u);
    EXPECT_EQ(h.recus[0].trame.substr(24), "next");
}

TEST(RecoitMessage, EmptyFillerIsInvisibleButFillerWithPayloadIsHandled) {
    MemoryConnection c;
    c.AjouteSegment(Trame(nv::Bourrage) + Trame(nv::Bourrage) + Trame(nv::Bourrage, "abc") +
                    Trame(nv::Alerte));
    Enregistreur h;
    EXPECT_EQ(nv::RecoitMessage(c, &h), 0);
    EXPECT_EQ(nv::RecoitMessage(c, &h), 0);
    ASSERT_EQ(h.recus.size(), 2u);
    EXPECT_EQ(h.recus[0].entete.TypeMessage, nv::Bourrage);
    EXPECT_EQ(h.recus[0].trame.size(), 27u);
    // An empty alert still reaches the handler, with a length of 0.
    EXPECT_EQ(h.recus[1].entete.TypeMessage, nv::Alerte);
    EXPECT_EQ(h.recus[1].entete.Taille1, 0);
    EXPECT_EQ(h.recus[1].trame.size(), 24u);
}

TEST(RecoitMessage, FailedReadsGiveTheirCodeOr1460) {
    {
        MemoryConnection c; // nothing arrives
        c.CodeLectureEnFin(10054);
        EXPECT_EQ(nv::RecoitMessage(c, nullptr), 10054);
    }
    {
        MemoryConnection c; // header then half a block, then the peer closes
        c.AjouteSegment(Trame(nv::Alerte, "abcdef").substr(0, 27));
        c.FermeParPair();
        Enregistreur h;
        EXPECT_EQ(nv::RecoitMessage(c, &h), 1460);
        EXPECT_TRUE(h.recus.empty());
    }
    {
        MemoryConnection c; // block 2 missing
        c.AjouteSegment(Trame(nv::Alerte, "ab", "cd").substr(0, 27));
        c.CodeLectureEnFin(10060);
        EXPECT_EQ(nv::RecoitMessage(c, nullptr), 10060);
    }
}

TEST(RecoitMessage, OversizedBlocksAreRefusedBeforeReadingThem) {
    for (auto [t1, t2, refuse] :
         {std::tuple{nv::kTailleMaxBloc1 + 1, 0, true},
          std::tuple{0, nv::kTailleMaxBloc2 + 1, true}, std::tuple{INT32_MAX, INT32_MAX, true},
          std::tuple{nv::kTailleMaxBloc1, 0, false}, std::tuple{0, nv::kTailleMaxBloc2, false}}) {
        MemoryConnection c;
        c.AjouteSegment(Trame(nv::Alerte, {}, {}, 123456, t1, t2));
        c.AjouteSegment(std::string(static_cast<std::size_t>(refuse ? 10 : t1 + t2), 'p'));
        Enregistreur h;
        const std::int32_t r = nv::RecoitMessage(c, &h);
        if (refuse) {
            EXPECT_EQ(r, nv::kTrameTropGrande);
            EXPECT_TRUE(h.recus.empty());
        } else {
            EXPECT_EQ(r, 0);
            ASSERT_EQ(h.recus.size(), 1u);
            EXPECT_EQ(h.recus[0].trame.size(), 24u + static_cast<std::size_t>(t1 + t2));
        }
    }
}

// ---- the pump's filter ----------------------------------------------------

TEST(TraiteFileMessages, FilterBitsDropKeyboardAndMouseOnly) {
    using nv::SortMessage;
    EXPECT_EQ(nv::ClasseMessage(0x0012, 0), SortMessage::Quitter);
    EXPECT_EQ(nv::ClasseMessage(0x0012, 3), SortMessage::Quitter);
    for (UINT m : {0x0100u, 0x0102u, 0x0109u}) {
        EXPECT_EQ(nv::ClasseMessage(m, 1), SortMessage::Ecarter) << m;
        EXPECT_EQ(nv::ClasseMessage(m, 2), SortMessage::Distribuer) << m;
    }
    for (UINT m : {0x0200u, 0x0201u, 0x020Au}) {
        EXPECT_EQ(nv::ClasseMessage(m, 2), SortMessage::Ecarter) << m;
        EXPECT_EQ(nv::ClasseMessage(m, 1), SortMessage::Distribuer) << m;
    }
    for (UINT m : {0x00FFu, 0x010Au, 0x01FFu, 0x020Bu, 0x0403u})
        EXPECT_EQ(nv::ClasseMessage(m, 3), SortMessage::Distribuer) << m;
    EXPECT_EQ(nv::TraiteFileMessages(3), 0); // no queue here
}

// ---- over a real socket ---------------------------------------------------

TEST(FramingOverLoopback, LargeFrameArrivesWholeAndIsReadBack) {
    nvtest::Listener listener;
    auto client = nv::MakeTcpConnection();
    ASSERT_EQ(client->Connect("127.0.0.1", listener.port(), 2000), 0u);
    nvtest::Fd peer = listener.Accept();
    ASSERT_TRUE(peer);

    std::string bloc(300000, '\0');
    for (std::size_t i = 0; i < bloc.size(); ++i)
        bloc[i] = static_cast<char>(i % 251);
    std::string recu;
    std::thread lecteur([&] {
        char buf[65536];
        while (recu.size() < 24 + bloc.size()) {
            const ssize_t n = ::recv(peer.get(), buf, sizeof buf, 0);
            if (n <= 0)
                break;
            recu.append(buf, static_cast<std::size_t>(n));
        }
    });
    EXPECT_EQ(nv::EnvoieMessage(*client, nv::Identification, 0, 0, bloc.data(),
                                static_cast<std::int32_t>(bloc.size()), nullptr, 0),
              0);
    lecteur.join();
    EXPECT_EQ(recu, Trame(nv::Identification, bloc));

    // Back the other way: a bad header with its block, and later a good
    // frame, which must survive the discard of what came with the bad one.
    std::thread envoyeur([&] {
        nvtest::SendAll(peer.get(), Trame(nv::Alerte, "junk", {}, 654321));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        nvtest::SendAll(peer.get(), Trame(nv::Alerte, bloc.substr(0, 70000), "tail"));
    });
    Enregistreur h;
    EXPECT_EQ(nv::RecoitMessage(*client, &h), 0);
    envoyeur.join();
    ASSERT_EQ(h.recus.size(), 1u);
    EXPECT_EQ(h.recus[0].trame, Trame(nv::Alerte, bloc.substr(0, 70000), "tail"));

    peer.reset();
    EXPECT_NE(nv::RecoitMessage(*client, &h), 0); // orderly close mid-wait
    EXPECT_FALSE(client->IsOpen());
}

} // namespace
