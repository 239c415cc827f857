// Running programs: is one started from a given executable file name, and
// start a command line without waiting for it.
#pragma once

#include "common/WinTypes.h"

#include <string>

namespace nv {

// True when a listed process's executable file name equals exeFileName,
// ASCII letters compared without case. A name with a folder never matches.
// Every failure answers false.
bool IsProcessRunning(const std::string& exeFileName);

// True when the process with this id is listed under exeFileName (same
// comparison). Every failure answers false.
bool IsProcessNamed(DWORD processId, const std::string& exeFileName);

// Starts commandLine as it is (no quotes added), in workingFolder when it is
// not empty, showing its window as showMode; 0 when started, else the
// system's code. Never waits for the program.
DWORD LaunchProgram(const std::u16string& commandLine, const std::u16string& workingFolder, WORD showMode);

} // namespace nv
