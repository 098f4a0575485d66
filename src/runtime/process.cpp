#include "runtime/process.h"

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
