// Linux: the arguments arrive split; argument 0 is the executable itself.
#include "runtime/process/cmdline.h"
#include "runtime/process/cmdline_platform.h"
#include "runtime/os/oscalls.h"

void initCommandLine(int argc, char** argv)
{
    std::vector<std::string> arguments;
    std::string path = osExecutablePath();
    if (!path.empty())
        arguments.push_back(std::move(path));
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
