#include "runtime/process/process.h"

#include <string>

#include "runtime/process/cmdline.h"
#include "runtime/os/oscalls.h"

std::string buildCommandLine(std::string_view path, std::string_view arguments)
{
    std::string line;
    line.reserve(path.size() + arguments.size() + 3);
    // A path that already carries quotes is passed as it is.
    if (path.find('"') == std::string_view::npos) {
        line += '"';
        line += path;
        line += '"';
    } else {
        line += path;
    }
    if (!arguments.empty()) {
        line += ' ';
        line += arguments;
    }
    return line;
}

uint32_t executeProgram(std::string_view path, std::string_view arguments, std::string_view searchFirst,
                        uint32_t& exitCode)
{
    exitCode = 0;
    return osCalls.executeProgram(path, arguments, searchFirst, exitCode);
}

std::string executeFailureMessage(std::string_view path, std::string_view arguments, uint32_t code)
{
    return "Failed to execute " + buildCommandLine(path, arguments) + " : " +
           std::to_string(static_cast<int32_t>(code));
}

namespace {

bool isAbsoluteDirectory(std::string_view dir)
{
    const bool drive = dir.size() >= 3 && dir[1] == ':' && (dir[2] == '\\' || dir[2] == '/');
    return drive || dir.substr(0, 2) == "\\\\";
}

} // namespace

std::string bareProgramFile(std::string_view commandLine)
{
    const std::string_view name = windowsProgramPart(commandLine);
    if (name.empty() || name.find_first_of("\\/:\"") != std::string_view::npos)
        return {};
    return std::string(name) + (name.find('.') == std::string_view::npos ? ".exe" : "");
}

std::vector<std::string> programSearchDirectories(std::string_view first, std::string_view systemDir,
                                                  std::string_view windowsDir, std::string_view pathVariable)
{
    std::vector<std::string> dirs;
    for (std::string_view dir : {first, systemDir, windowsDir})
        if (!dir.empty())
            dirs.emplace_back(dir);
    std::size_t from = 0;
    while (from <= pathVariable.size()) {
        std::size_t end = pathVariable.find(';', from);
        if (end == std::string_view::npos)
            end = pathVariable.size();
        std::string_view dir = pathVariable.substr(from, end - from);
        if (dir.size() >= 2 && dir.front() == '"' && dir.back() == '"')
            dir = dir.substr(1, dir.size() - 2);
        if (isAbsoluteDirectory(dir))
            dirs.emplace_back(dir);
        from = end + 1;
    }
    return dirs;
}
