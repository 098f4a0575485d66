// Windows: one CreateProcessA per command, waited for without a time limit.
#include <windows.h>

#include "runtime/failure.h"
#include "runtime/process.h"

namespace {

std::string failureMessage(const std::string& commandLine, DWORD code)
{
    return "Failed to execute " + commandLine + " : " + std::to_string(static_cast<int32_t>(code));
}

} // namespace

uint32_t executeProgram(std::string_view path, std::string_view arguments)
{
    std::string commandLine = buildCommandLine(path, arguments);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.wShowWindow = 1;
    PROCESS_INFORMATION child{};
    // CreateProcessA may write into the command line it is given: hand it
    // a copy, so that the report names the line as it was built.
    std::string writable = commandLine;
    if (!CreateProcessA(nullptr, writable.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &child))
        raiseException("EOSError", failureMessage(commandLine, GetLastError()));
    CloseHandle(child.hThread);

    if (WaitForSingleObject(child.hProcess, INFINITE) == WAIT_FAILED) {
        const DWORD code = GetLastError();
        CloseHandle(child.hProcess);
        raiseException("EOSError", failureMessage(commandLine, code));
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(child.hProcess, &exitCode);
    CloseHandle(child.hProcess);
    return exitCode;
}

std::size_t commandLineMax()
{
    return 32767;
}
