// Linux: the arguments arrive split; argument 0 is the executable itself.
#include <limits.h>
#include <unistd.h>

#include "runtime/process/cmdline.h"
#include "runtime/process/cmdline_platform.h"

extern char** environ;

void initCommandLine(int argc, char** argv)
{
    std::vector<std::string> arguments;
    // A link as long as the buffer may have been cut: it is kept one byte
    // longer than any path the file services accept.
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length > 0)
        arguments.emplace_back(path, static_cast<std::size_t>(length));
    else if (argc > 0 && argv[0] != nullptr)
        arguments.emplace_back(argv[0]); // no /proc: the name we were started by
    else
        arguments.emplace_back();
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    setArgumentTable(std::move(arguments));
}

std::string exactArguments()
{
    std::string text;
    for (int32_t i = 1; i <= argumentCount(); ++i) {
        if (i > 1)
            text += ' ';
        text += quoteForSplitter(argumentAt(i));
    }
    return text;
}

std::string environmentValue(std::string_view name)
{
    const std::string upperName = environmentLookupName(name);
    std::string value;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        if (matchEnvironmentEntry(text.substr(0, environmentEntryMax), upperName, value))
            return value;
    }
    return {};
}
