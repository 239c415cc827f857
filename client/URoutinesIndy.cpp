#include "client/URoutinesIndy.h"

#include "client/URoutinesMessages.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace nv {

namespace {

std::int32_t CodeEcriture(const IoResult& r) {
    return r.osError != 0 ? static_cast<std::int32_t>(r.osError) : kEcritureSansCode;
}

std::int32_t CodeLecture(const IoResult& r) {
    return r.osError != 0 ? static_cast<std::int32_t>(r.osError) : kLectureSansCode;
}

// Drops what has already arrived after a rejected header; reading resumes
// with whatever comes next.
void EcarteRecu(TcpConnection& connexion) {
    std::uint8_t octet;
    while (connexion.WaitForData(0)) {
        if (!connexion.ReadExact(&octet, 1).ok)
            return;
    }
}

bool EnteteValide(const EnteteMessage& e) {
    return e.Signature == kSignatureEntete && e.Taille1 >= 0 && e.Taille2 >= 0;
}

} // namespace

bool TailleTrame(std::int32_t taille1, std::int32_t taille2, std::size_t limite,
                 std::size_t& total) {
    if (taille1 < 0 || taille2 < 0)
        return false;
    const auto t1 = static_cast<std::uint64_t>(taille1);
    const auto t2 = static_cast<std::uint64_t>(taille2);
    const std::uint64_t somme = kTailleEntete + t1 + t2; // at most 2^32 + 22: no wrap in 64 bits
    if (somme > limite)
        return false;
    total = static_cast<std::size_t>(somme);
    return true;
}

std::int32_t EnvoieMessage(TcpConnection& connexion, std::int32_t typeMessage, std::int32_t param1,
                           std::int32_t param2, const void* bloc1, std::int32_t taille1,
                           const void* bloc2, std::int32_t taille2) {
    if (taille1 < 0 || taille2 < 0 || (taille1 > 0 && !bloc1) || (taille2 > 0 && !bloc2))
        return kParametreInvalide;
    std::size_t total = 0;
    if (!TailleTrame(taille1, taille2, SIZE_MAX, total))
        return kErreurMemoire; // no buffer can hold it: refused before the sum wraps
    std::unique_ptr<std::uint8_t[]> trame(new (std::nothrow) std::uint8_t[total]);
    if (!trame)
        return kErreurMemoire;

    EnteteMessage entete;
    entete.TypeMessage = typeMessage;
    entete.Param1 = param1;
    entete.Param2 = param2;
    entete.Taille1 = taille1;
    entete.Taille2 = taille2;
    EcritEntete(entete, trame.get());
    if (taille1 > 0)
        std::memcpy(trame.get() + kTailleEntete, bloc1, static_cast<std::size_t>(taille1));
    if (taille2 > 0)
        std::memcpy(trame.get() + kTailleEntete + taille1, bloc2,
                    static_cast<std::size_t>(taille2));

    for (std::size_t fait = 0; fait < total;) {
        if (PompeMessagesEnEnvoi)
            (void)TraiteFileMessages(kFiltreClavier | kFiltreSouris);
        const std::size_t morceau = total - fait < kTailleMorceau ? total - fait : kTailleMorceau;
        const IoResult r = connexion.Write(trame.get() + fait, morceau);
        if (!r.ok)
            return CodeEcriture(r);
        fait += morceau;
    }
    return 0;
}

std::int32_t RecoitMessage(TcpConnection& connexion, GestionnaireTrame* gestionnaire) {
    std::uint8_t brut[kTailleEntete];
    EnteteMessage entete;
    for (;;) {
        const IoResult r = connexion.ReadExact(brut, kTailleEntete);
        if (!r.ok)
            return CodeLecture(r);
        entete = LitEntete(brut);
        if (!EnteteValide(entete)) {
            EcarteRecu(connexion);
            continue;
        }
        if (entete.TypeMessage == Bourrage && entete.Taille1 == 0 && entete.Taille2 == 0)
            continue;
        break;
    }

    if (entete.Taille1 > kTailleMaxBloc1 || entete.Taille2 > kTailleMaxBloc2)
        return kTrameTropGrande;

    const auto t1 = static_cast<std::size_t>(entete.Taille1);
    const auto t2 = static_cast<std::size_t>(entete.Taille2);
    const std::size_t total = kTailleEntete + t1 + t2;
    std::unique_ptr<std::uint8_t[]> trame(new (std::nothrow) std::uint8_t[total]);
    if (!trame)
        return kErreurMemoire;
    std::memcpy(trame.get(), brut, kTailleEntete);
    if (t1 > 0) {
        const IoResult r = connexion.ReadExact(trame.get() + kTailleEntete, t1);
        if (!r.ok)
            return CodeLecture(r);
    }
    if (t2 > 0) {
        const IoResult r = connexion.ReadExact(trame.get() + kTailleEntete + t1, t2);
        if (!r.ok)
            return CodeLecture(r);
    }
    if (!gestionnaire)
        return 0;
    return gestionnaire->TraiteTrame(entete, trame.get(), total);
}

} // namespace nv
