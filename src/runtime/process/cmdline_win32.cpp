// Windows: the raw command line is split by the system's own rules; the
// environment block is fetched afresh for every lookup.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "runtime/process/cmdline.h"
#include "runtime/process/cmdline_platform.h"

namespace {

// The program's own path, past MAX_PATH where the system's long-path setting
// allows one. A path the system cuts to the buffer is longer than the file
// services accept, so that opening it fails instead of opening another file.
std::string modulePath()
{
    std::string path(32768 + 1, '\0');
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(std::min<std::size_t>(length, path.size()));
    return path;
}

} // namespace

void initCommandLine(int, char**)
{
    std::vector<std::string> tokens = splitCommandLine(GetCommandLineA());
    std::vector<std::string> arguments;
    arguments.reserve(tokens.empty() ? 1 : tokens.size());

    arguments.push_back(modulePath());

    // The first token is the program name as typed: argument 0 is the
    // module path instead.
    for (std::size_t i = 1; i < tokens.size(); ++i)
        arguments.push_back(std::move(tokens[i]));
    setArgumentTable(std::move(arguments));
}

std::string exactArguments()
{
    const std::string_view raw = GetCommandLineA();
    return std::string(raw.substr(windowsArgumentsStart(raw)));
}

std::string environmentValue(std::string_view name)
{
    const std::string upperName = environmentLookupName(name);
    std::string value;
    bool found = false;
    char* block = GetEnvironmentStringsA();
    if (block == nullptr)
        return {};
    for (const char* entry = block; *entry != '\0' && !found; entry += std::strlen(entry) + 1) {
        const std::string_view text(entry);
        found = matchEnvironmentEntry(text.substr(0, environmentEntryMax), upperName, value);
    }
    FreeEnvironmentStringsA(block);
    return found ? value : std::string();
}
