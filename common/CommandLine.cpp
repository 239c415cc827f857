#include "common/CommandLine.h"

namespace nv {

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
} // namespace

std::string ArgumentsOf(const std::string& commandLine) {
    std::size_t i = 0;
    bool quoted = false;
    for (; i < commandLine.size(); ++i) {
        if (commandLine[i] == '"')
            quoted = !quoted;
        else if (!quoted && IsBlank(commandLine[i]))
            break;
    }
    while (i < commandLine.size() && IsBlank(commandLine[i]))
        ++i;
    return commandLine.substr(i);
}

std::vector<std::string> SplitArguments(const std::string& arguments) {
    std::vector<std::string> result;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (char c : arguments) {
        if (c == '"') {
            quoted = !quoted;
            inArgument = true;
        } else if (!quoted && IsBlank(c)) {
            if (inArgument)
                result.push_back(current);
            current.clear();
            inArgument = false;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inArgument)
        result.push_back(current);
    return result;
}

bool SwitchWithValue(const std::string& argument, const char* prefix, std::string& rest) {
    std::size_t i = 0;
    for (; prefix[i] != '\0'; ++i)
        if (i >= argument.size() || Upper(argument[i]) != Upper(prefix[i]))
            return false;
    rest = argument.substr(i);
    return true;
}

} // namespace nv
