// Windows: one CreateProcessA per command, waited for without a time limit.
#include <windows.h>

#include <vector>

#include "runtime/cmdline.h"
#include "runtime/failure.h"
#include "runtime/process.h"

namespace {

std::string failureMessage(const std::string& commandLine, DWORD code)
{
    return "Failed to execute " + commandLine + " : " + std::to_string(static_cast<int32_t>(code));
}

// The program name as CreateProcessA takes it from a command line: a quoted
// first token without its quotes, else the text up to the first blank or tab.
std::string programName(std::string_view commandLine)
{
    std::string_view name = commandLine.substr(0, windowsArgumentsStart(commandLine));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
        name.remove_suffix(1);
    if (!name.empty() && name.front() == '"') {
        name.remove_prefix(1);
        if (!name.empty() && name.back() == '"')
            name.remove_suffix(1);
    }
    return std::string(name);
}

bool isBareName(std::string_view name)
{
    return !name.empty() && name.find_first_of("\\/:") == std::string_view::npos;
}

bool isAbsolute(std::string_view dir)
{
    return (dir.size() >= 3 && dir[1] == ':' && (dir[2] == '\\' || dir[2] == '/')) ||
           dir.substr(0, 2) == "\\\\";
}

std::string systemFolder(UINT (WINAPI* query)(LPSTR, UINT))
{
    char buffer[MAX_PATH + 1] = {};
    const UINT length = query(buffer, MAX_PATH);
    return length > 0 && length <= MAX_PATH ? std::string(buffer, length) : std::string();
}

// PATH at full length (environmentValue cuts values to fit 255 bytes).
std::string pathVariable()
{
    const DWORD size = GetEnvironmentVariableA("PATH", nullptr, 0);
    if (size == 0)
        return {};
    std::string value(size, '\0');
    const DWORD length = GetEnvironmentVariableA("PATH", value.data(), size);
    value.resize(length < size ? length : 0);
    return value;
}

// The directories a bare program name is looked up in, in order: the given
// first one, the system and Windows directories, then the absolute entries
// of PATH. Unlike CreateProcessA's own search, neither the launcher's folder
// nor the current directory is among them, so a program planted beside the
// packed executable (say, in Downloads) is never started in place of the
// system's.
std::vector<std::string> searchDirectories(std::string_view first)
{
    std::vector<std::string> dirs;
    if (!first.empty())
        dirs.emplace_back(first);
    dirs.push_back(systemFolder(GetSystemDirectoryA));
    dirs.push_back(systemFolder(GetWindowsDirectoryA));
    const std::string path = pathVariable();
    std::size_t from = 0;
    while (from <= path.size()) {
        std::size_t end = path.find(';', from);
        if (end == std::string::npos)
            end = path.size();
        std::string dir = path.substr(from, end - from);
        if (dir.size() >= 2 && dir.front() == '"' && dir.back() == '"')
            dir = dir.substr(1, dir.size() - 2);
        // A relative entry would be looked up from the current directory.
        if (isAbsolute(dir))
            dirs.push_back(std::move(dir));
        from = end + 1;
    }
    return dirs;
}

// The full path of a bare program name, found as CreateProcessA would name
// it (".exe" added to a name without any dot); empty when found nowhere.
std::string findProgram(const std::string& name, std::string_view firstDirectory)
{
    const std::string file = name.find('.') == std::string::npos ? name + ".exe" : name;
    for (const std::string& dir : searchDirectories(firstDirectory)) {
        if (dir.empty())
            continue;
        const bool endsInSeparator = dir.back() == '\\' || dir.back() == '/';
        const std::string candidate = dir + (endsInSeparator ? "" : "\\") + file;
        const DWORD attributes = GetFileAttributesA(candidate.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return candidate;
    }
    return {};
}

} // namespace

uint32_t executeProgram(std::string_view path, std::string_view arguments, std::string_view searchFirst)
{
    std::string commandLine = buildCommandLine(path, arguments);

    // A bare program name is looked up here; the command line stays as it
    // was built, and the found file goes to CreateProcessA by its full path.
    std::string application;
    const std::string name = programName(commandLine);
    if (isBareName(name)) {
        application = findProgram(name, searchFirst);
        if (application.empty())
            raiseException("EOSError", failureMessage(commandLine, ERROR_FILE_NOT_FOUND));
    }

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.wShowWindow = 1;
    PROCESS_INFORMATION child{};
    // CreateProcessA may write into the command line it is given: hand it
    // a copy, so that the report names the line as it was built.
    std::string writable = commandLine;
    if (!CreateProcessA(application.empty() ? nullptr : application.c_str(), writable.data(), nullptr, nullptr,
                        FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &child))
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
