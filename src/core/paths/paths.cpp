#include "core/paths/paths.h"

#include "runtime/fs/files.h"

namespace {

std::string_view afterLastOf(std::string_view path, std::string_view separators)
{
    const std::size_t cut = path.find_last_of(separators);
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

} // namespace

bool isPathSeparator(char c)
{
    return c == '\\' || c == '/';
}

std::string_view fileNamePart(std::string_view path)
{
    return afterLastOf(path, "\\/");
}

std::string_view fileNamePartAfterDrive(std::string_view path)
{
    return afterLastOf(path, "\\/:");
}

std::string_view nativeFileNamePart(std::string_view path)
{
    const char separators[] = {'\\', pathSeparator, '\0'};
    return afterLastOf(path, separators);
}

std::string_view parentDirectory(std::string_view path)
{
    const std::size_t cut = path.find_last_of("\\/");
    return cut == std::string_view::npos ? std::string_view() : path.substr(0, cut);
}

std::string_view directoryPrefix(std::string_view path)
{
    const std::size_t cut = path.find_last_of(driveLetters ? "\\/:" : "\\/");
    return cut == std::string_view::npos ? std::string_view() : path.substr(0, cut + 1);
}

std::string joinPath(std::string directory, std::string_view name)
{
    directory += pathSeparator;
    directory += name;
    return directory;
}

PathFault entryPathFault(std::string_view path)
{
    if (!path.empty() && isPathSeparator(path[0]))
        return PathFault::absolute;
    if (path.size() >= 2 && path[1] == ':')
        return PathFault::drive;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = start;
        while (end < path.size() && !isPathSeparator(path[end]))
            ++end;
        if (path.substr(start, end - start) == "..")
            return PathFault::parent;
        start = end + 1;
    }
    return PathFault::none;
}

bool holdsControlByte(std::string_view text, bool tabAllowed)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 && !(tabAllowed && c == '\t'))
            return true;
    return false;
}

bool isUnsafeEntryName(std::string_view name)
{
    return name.empty() || holdsControlByte(name, false) || entryPathFault(name) != PathFault::none ||
           isReservedDeviceName(name);
}
