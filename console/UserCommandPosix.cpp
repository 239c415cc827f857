#include "console/UserCommand.h"

#include <cstdio>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace nvconsole {

bool StdinPasswordInput::IsTerminal() {
    return isatty(STDIN_FILENO) == 1;
}

std::optional<std::string> StdinPasswordInput::ReadLine(const char* prompt) {
    termios saved{};
    const bool tty = IsTerminal() && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (tty) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (!got)
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace nvconsole
