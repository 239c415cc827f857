// Sending and receiving one frame (header, block 1, block 2) on the server
// connection. Both routines answer with a result code and never throw.
#pragma once

#include "client/UDataEntete.h"
#include "common/TcpClient.h"

#include <cstddef>
#include <cstdint>

namespace nv {

// Result codes besides 0 and the socket layer's own error codes.
constexpr std::int32_t kErreurMemoire = 8;  // frame buffer not allocated
constexpr std::int32_t kEnteteAbsente = 13; // kept for the table; a fixed array cannot go missing
constexpr std::int32_t kEcritureSansCode = 21;  // write failed, no system code
constexpr std::int32_t kParametreInvalide = 87; // negative length, or length without data
constexpr std::int32_t kLectureSansCode = 1460; // read failed, no system code
// A header announced a block over the limits below. The Winsock "message too
// long" code: a stream read never yields it, so it names this case alone.
constexpr std::int32_t kTrameTropGrande = 10040;

// Nothing the server sends legitimately comes near these; anything larger is
// refused before a byte of it is allocated.
constexpr std::int32_t kTailleMaxBloc1 = 1 << 20;
constexpr std::int32_t kTailleMaxBloc2 = 1 << 16;

constexpr std::size_t kTailleMorceau = 65536;

// The receiver's callback: the header and the whole frame (header then both
// blocks). Its result is what RecoitMessage returns.
class GestionnaireTrame {
  public:
    virtual std::int32_t TraiteTrame(const EnteteMessage& entete, const std::uint8_t* trame,
                                     std::size_t taille) = 0;

  protected:
    ~GestionnaireTrame() = default;
};

// The whole frame's size, header included, when it fits in `limite` bytes
// (the address space: on i686 two large lengths would wrap around).
[[nodiscard]] bool TailleTrame(std::int32_t taille1, std::int32_t taille2, std::size_t limite,
                               std::size_t& total);

// Builds the whole frame in one buffer and writes it in chunks of at most
// 64 KiB. 0, 8 (no buffer, or a frame larger than the address space), 87
// (bad lengths), the write's system code, or 21.
[[nodiscard]] std::int32_t EnvoieMessage(TcpConnection& connexion, std::int32_t typeMessage,
                                         std::int32_t param1, std::int32_t param2,
                                         const void* bloc1, std::int32_t taille1, const void* bloc2,
                                         std::int32_t taille2);

// A frame without blocks, as every client frame but Identification is.
[[nodiscard]] inline std::int32_t EnvoieMessage(TcpConnection& connexion,
                                                std::int32_t typeMessage) {
    return EnvoieMessage(connexion, typeMessage, 0, 0, nullptr, 0, nullptr, 0);
}

// Reads frames until one is for the handler (rejected headers and empty
// filler are skipped). The handler's result, 0 without a handler, the read's
// system code or 1460, 8 when the frame buffer cannot be had, 10040 for an
// oversized frame (the stream is then out of step: the caller must close).
[[nodiscard]] std::int32_t RecoitMessage(TcpConnection& connexion, GestionnaireTrame* gestionnaire);

} // namespace nv
