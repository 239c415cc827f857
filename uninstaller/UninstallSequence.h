// The uninstall, as a click on "Desinstaller..." runs it. The registry, the
// files, the process list, the client's window and the environment are
// reached through their interfaces; the window's own part through a host.
#pragma once

#include "common/Clock.h"

#include <string>

namespace nv {

class UninstallHost {
  public:
    virtual ~UninstallHost() = default;
    // True only for "OK"; closing the box counts as "Annuler".
    virtual bool ConfirmUninstall(const char* text) = 0;
    // The running program's full file name (GetModuleFileNameA); empty if unknown.
    virtual std::string OwnModuleName() = 0;
    virtual void CloseWindow() = 0;
};

// False when the confirmation was refused (nothing was touched). Every step
// after the confirmation is attempted whatever the previous one did.
bool RunUninstallSequence(UninstallHost& host, Clock& clock = SystemClock());

} // namespace nv
