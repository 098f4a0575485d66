#include "core/entrypath.h"

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
