// Pumping the calling thread's message queue while a long send is under way,
// so that a thread with windows would stay responsive.
#pragma once

#include "common/WinTypes.h"

#include <cstdint>

namespace nv {

constexpr DWORD kFiltreClavier = 1;      // drop keyboard messages
constexpr DWORD kFiltreSouris = 2;       // drop mouse messages
constexpr std::int32_t kQuitteRecu = 18; // WM_QUIT met: posted again, pump stopped

// Process-wide: EnvoieMessage pumps before each chunk while this is on.
// It starts on and nothing in the client turns it off.
extern bool PompeMessagesEnEnvoi;

enum class SortMessage { Quitter, Ecarter, Distribuer };

// What the pump does with one message under the given filter bits.
SortMessage ClasseMessage(UINT message, DWORD filtre);

// Empties the calling thread's queue: 0 when empty, 18 after WM_QUIT (posted
// again with its exit code). Linux has no queue: always 0.
std::int32_t TraiteFileMessages(DWORD filtre);

} // namespace nv
