// Windows: the raw command line is split by the system's own rules;
// argument 0 is the module path.
#include "runtime/process/cmdline.h"
#include "runtime/process/cmdline_platform.h"
#include "runtime/os/oscalls.h"

void initCommandLine(int, char**)
{
    std::vector<std::string> tokens = splitCommandLine(osCommandLine());
    std::vector<std::string> arguments;
    arguments.reserve(tokens.empty() ? 1 : tokens.size());
    arguments.push_back(osExecutablePath());
    // The first token is the program name as typed: argument 0 is the
    // module path instead.
    for (std::size_t i = 1; i < tokens.size(); ++i)
        arguments.push_back(std::move(tokens[i]));
    setArgumentTable(std::move(arguments));
}

std::string exactArguments()
{
    const std::string raw = osCommandLine();
    return raw.substr(windowsArgumentsStart(raw));
}
