// The 24-byte frame header and the message kinds of the client-server link.
// Every field travels as a 32-bit little-endian signed integer; the two
// payload blocks follow the header back to back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nv {

constexpr std::int32_t kSignatureEntete = 123456;
constexpr std::size_t kTailleEntete = 24;

enum TypeMessage : std::int32_t {
    Bourrage = 259,
    Identification = 4096,
    Alerte = 4097,
    AlerteLue = 4098,
    TestLiaison = 4099,
    ReponseTestLiaison = -4099,
    TestLiaisonServeur = 4101,
    ReponseTestLiaisonServeur = 4102,
};

struct EnteteMessage {
    std::int32_t Signature = kSignatureEntete;
    std::int32_t TypeMessage = 0;
    std::int32_t Param1 = 0;
    std::int32_t Param2 = 0;
    std::int32_t Taille1 = 0;
    std::int32_t Taille2 = 0;
};

// Explicit byte order, so the layout never depends on the compiler's.
inline void EcritEntete(const EnteteMessage& e, std::uint8_t* out) {
    const std::int32_t champs[6] = {e.Signature, e.TypeMessage, e.Param1,
                                    e.Param2,    e.Taille1,     e.Taille2};
    for (int i = 0; i < 6; ++i) {
        const auto v = static_cast<std::uint32_t>(champs[i]);
        out[i * 4 + 0] = static_cast<std::uint8_t>(v);
        out[i * 4 + 1] = static_cast<std::uint8_t>(v >> 8);
        out[i * 4 + 2] = static_cast<std::uint8_t>(v >> 16);
        out[i * 4 + 3] = static_cast<std::uint8_t>(v >> 24);
    }
}

inline EnteteMessage LitEntete(const std::uint8_t* in) {
    std::int32_t champs[6];
    for (int i = 0; i < 6; ++i) {
        const std::uint32_t v = static_cast<std::uint32_t>(in[i * 4]) |
                                static_cast<std::uint32_t>(in[i * 4 + 1]) << 8 |
                                static_cast<std::uint32_t>(in[i * 4 + 2]) << 16 |
                                static_cast<std::uint32_t>(in[i * 4 + 3]) << 24;
        champs[i] = static_cast<std::int32_t>(v);
    }
    EnteteMessage e;
    e.Signature = champs[0];
    e.TypeMessage = champs[1];
    e.Param1 = champs[2];
    e.Param2 = champs[3];
    e.Taille1 = champs[4];
    e.Taille2 = champs[5];
    return e;
}

} // namespace nv
