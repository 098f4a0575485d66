// Windows: one CreateProcessA per command, waited for without a time limit.
#include <windows.h>

#include "runtime/process/cmdline.h"
#include "runtime/os/oscalls.h"
#include "runtime/process/process.h"

namespace {

// The full path of the first existing file (not a directory) of that name
// in the directories of the search; empty when there is none. Unlike
// CreateProcessA's own search, this never looks in the launcher's folder or
// the current directory, so a program planted beside the packed executable
// (say, in Downloads) never starts in place of the system's.
std::string findProgram(const std::string& file, std::string_view firstDirectory)
{
    const auto dirs = programSearchDirectories(firstDirectory, osSystemDirectory(false), osSystemDirectory(true),
                                               wholeEnvironmentValue("PATH"));
    for (const std::string& dir : dirs) {
        const bool endsInSeparator = dir.back() == '\\' || dir.back() == '/';
        const std::string candidate = dir + (endsInSeparator ? "" : "\\") + file;
        uint16_t attributes = 0;
        if (osGetAttributes(candidate, attributes) == 0 && !(attributes & faDirectory))
            return candidate;
    }
    return {};
}

// cmd's own default for delayed expansion: the DelayedExpansion value of
// its registry key, the user's before the machine's; off without either.
bool cmdDelayedExpansionDefault()
{
    for (const bool machine : {false, true}) {
        uint32_t value = 0;
        if (osRegistryNumber(machine, "Software\\Microsoft\\Command Processor", "DelayedExpansion", value))
            return value != 0;
    }
    return false;
}

} // namespace

bool argumentsForCommand(std::string_view commandLine, std::string_view exactArgs, std::string& inserted)
{
    const CmdReader reader = cmdReaderOf(commandLine);
    if (reader == CmdReader::none) {
        inserted = exactArgs;
        return true;
    }
    bool delayed = cmdDelayedExpansionDefault();
    if (reader == CmdReader::interpreter)
        delayed = cmdExpandsDelayed(commandLine.substr(windowsArgumentsStart(commandLine)), delayed);
    return quoteArgumentsForCmd(exactArgs, delayed, inserted);
}

uint32_t nativeExecuteProgram(std::string_view path, std::string_view arguments, std::string_view searchFirst,
                              uint32_t& exitCode)
{
    std::string commandLine = buildCommandLine(path, arguments);

    // A bare program name is looked up here; the command line stays as it
    // was built, and the found file goes to CreateProcessA by its full path.
    std::string application;
    const std::string file = bareProgramFile(commandLine);
    if (!file.empty()) {
        application = findProgram(file, searchFirst);
        if (application.empty())
            return osFileNotFound;
    }

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    // CreateProcessA may write into the command line it is given: hand it
    // a copy, so that the report names the line as it was built.
    std::string writable = commandLine;
    if (!CreateProcessA(application.empty() ? nullptr : application.c_str(), writable.data(), nullptr, nullptr,
                        FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &child))
        return GetLastError();
    CloseHandle(child.hThread);

    if (WaitForSingleObject(child.hProcess, INFINITE) == WAIT_FAILED) {
        const DWORD code = GetLastError();
        CloseHandle(child.hProcess);
        return code;
    }
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    exitCode = code;
    return 0;
}

std::size_t commandLineMax()
{
    return 32767;
}

std::size_t commandLineLength(std::string_view commandText)
{
    return commandText.size();
}
