// One worker thread running a plain routine: Windows' own thread in the
// programs (no C++ thread library, no winpthread), std::thread on Linux.
#pragma once

namespace nv {

class Fil {
  public:
    using Routine = void (*)(void* contexte);

    Fil() = default;
    ~Fil() { Attend(); }
    Fil(const Fil&) = delete;
    Fil& operator=(const Fil&) = delete;

    // False when no thread could be had; the routine then never runs.
    bool Demarre(Routine routine, void* contexte);
    // Waits for the routine's end; nothing to wait for when never started.
    void Attend();

    // What the new thread runs; the platform's thread start calls it.
    static void Execute(void* fil) {
        auto* f = static_cast<Fil*>(fil);
        f->routine_(f->contexte_);
    }

  private:
    Routine routine_ = nullptr;
    void* contexte_ = nullptr;
    void* poignee_ = nullptr;
};

} // namespace nv
