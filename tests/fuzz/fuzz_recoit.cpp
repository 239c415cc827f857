// The frame receiver over any byte stream, cut into arrivals as the input
// says: never a crash, an over-read or an allocation beyond the limits, and
// every frame handed on agrees with its header.
#include "client/AlerteTexte.h"
#include "client/URoutinesIndy.h"
#include "tests/support/MemoryConnection.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

class Verificateur : public nv::GestionnaireTrame {
  public:
    int appels = 0;
    std::int32_t TraiteTrame(const nv::EnteteMessage& e, const std::uint8_t* trame,
                             std::size_t taille) override {
        ++appels;
        Check(e.Signature == nv::kSignatureEntete);
        Check(e.Taille1 >= 0 && e.Taille1 <= nv::kTailleMaxBloc1);
        Check(e.Taille2 >= 0 && e.Taille2 <= nv::kTailleMaxBloc2);
        Check(taille == nv::kTailleEntete + static_cast<std::size_t>(e.Taille1) +
                            static_cast<std::size_t>(e.Taille2));
        Check(!(e.TypeMessage == nv::Bourrage && e.Taille1 == 0 && e.Taille2 == 0));
        const nv::EnteteMessage relu = nv::LitEntete(trame);
        Check(std::memcmp(&relu, &e, sizeof e) == 0);
        if (e.TypeMessage == nv::Alerte) {
            const nv::AlerteTexte a =
                nv::LitAlerteTexte(reinterpret_cast<const char*>(trame + nv::kTailleEntete),
                                   static_cast<std::size_t>(e.Taille1));
            Check(a.Lignes.size() <= static_cast<std::size_t>(e.Taille1));
        }
        // Both kinds of handler answer, so both paths of the caller run.
        return e.TypeMessage == nv::ReponseTestLiaison ? nv::ReponseTestLiaison : 0;
    }
};

} // namespace

// Input: arrivals, each a 16-bit little-endian length and that many bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t length) {
    nvtest::MemoryConnection connexion(true, true);
    std::size_t i = 0;
    while (i + 2 <= length) {
        std::size_t n = bytes[i] | static_cast<std::size_t>(bytes[i + 1]) << 8;
        i += 2;
        if (n > length - i)
            n = length - i;
        connexion.AjouteSegment(std::string(reinterpret_cast<const char*>(bytes + i), n));
        i += n;
    }
    Verificateur v;
    for (int tour = 0; tour < 10000; ++tour) {
        const int avant = v.appels;
        const std::int32_t r = nv::RecoitMessage(connexion, &v);
        if (r == 0 || r == nv::ReponseTestLiaison) {
            Check(v.appels == avant + 1);
            continue;
        }
        Check(v.appels == avant);
        break; // a read failed or the frame was refused: the caller would close
    }
    return 0;
}
