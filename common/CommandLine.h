// The silent modes' command line: the arguments after the program's name,
// split as Windows programs split them (blanks outside double quotes; the
// quotes themselves dropped), and switches compared without ASCII case.
#pragma once

#include <string>
#include <vector>

namespace nv {

// Everything after the program's name (quoted or bare) in a whole command line.
std::string ArgumentsOf(const std::string& commandLine);

std::vector<std::string> SplitArguments(const std::string& arguments);

// True when `argument` starts with `prefix` (ASCII case ignored); `rest` then
// holds what follows it.
bool SwitchWithValue(const std::string& argument, const char* prefix, std::string& rest);

// The log of a silent run: lines ended by CR LF, appended to `path` as 8-bit
// text. False when the file cannot be opened or written. Windows only.
bool AppendLog(const std::string& path, const std::string& lines);

} // namespace nv
