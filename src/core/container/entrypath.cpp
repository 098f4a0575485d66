#include "core/container/entrypath.h"

#include "runtime/fs/files.h"

namespace {

bool isSeparator(char c)
{
    return c == '\\' || c == '/';
}

} // namespace

PathFault entryPathFault(std::string_view path)
{
    if (!path.empty() && isSeparator(path[0]))
        return PathFault::absolute;
    if (path.size() >= 2 && path[1] == ':')
        return PathFault::drive;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = start;
        while (end < path.size() && !isSeparator(path[end]))
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
