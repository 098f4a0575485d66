// Fuzz target: the recipe reader and the command-line splitter. The input is
// a recipe file, packed by the real packer in this process with its file
// calls confined to the scratch directory, which holds a small tree for the
// recipe to name (files, an empty file, nested and empty directories). The same bytes also go through
// splitCommandLine, and as one argument through quoteForSplitter and back,
// in the fuzzing process itself.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/launch/appstate.h"
#include "runtime/threads/threads.h"
#include "pack/pack.h"
#include "runtime/process/cmdline.h"
#include "runtime/process/cmdline_platform.h"
#include "runtime/base/iocodes.h"
#include "runtime/fs/textfile.h"
#include "support.h"

namespace {

void makeTree()
{
    const std::string root = fuzz::scratchRoot();
    mkdir((root + "/work").c_str(), 0700);
    mkdir((root + "/tree").c_str(), 0700);
    mkdir((root + "/tree/sub").c_str(), 0700);
    mkdir((root + "/tree/sub/deeper").c_str(), 0700);
    mkdir((root + "/tree/empty").c_str(), 0700);
    fuzz::writeFile(root + "/tree/a.txt", "alpha\n");
    fuzz::writeFile(root + "/tree/sub/b.bin", std::string(3000, '\x01'));
    fuzz::writeFile(root + "/tree/sub/deeper/.hidden", "");
    fuzz::writeFile(root + "/stub", "STUB BYTES");
}

// Tokens never hold a separator byte outside quotes, so together they are
// never longer than the text they came from.
void splitCommandLineOf(const uint8_t* data, std::size_t size)
{
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    std::size_t total = 0;
    for (const std::string& token : splitCommandLine(raw))
        total += token.size();
    if (total > size)
        std::abort();
}

// An argument quoted for the splitter comes back exactly, whatever quotes
// and separators it holds (arguments never hold a NUL byte).
void quoteForSplitterOf(const uint8_t* data, std::size_t size)
{
    std::string_view argument(reinterpret_cast<const char*>(data), size);
    argument = argument.substr(0, argument.find('\0'));
    const std::vector<std::string> tokens = splitCommandLine("p " + quoteForSplitter(argument));
    if (tokens.size() != 2 || tokens[1] != argument)
        std::abort();
}

void packRecipe(const uint8_t* data, std::size_t size)
{
    const std::string root = fuzz::scratchRoot();
    fuzz::writeFile(root + "/recipe.zop", std::string_view(reinterpret_cast<const char*>(data), size));
    // The packer's failure road removes its work directory.
    fuzz::emptyDirectory(root + "/work");
    mkdir((root + "/work").c_str(), 0700);
    std::remove((root + "/out.exe").c_str());
    fuzz::runConfined(root + "/tree", [&] {
        // The packer's failure line goes to a file of the scratch directory:
        // standard error is the fuzzer's own.
        struct QuietFailureLine {
            explicit QuietFailureLine(const std::string& path)
            {
                assignText(standardError, path);
                createText(standardError);
                ioResult();
            }
            ~QuietFailureLine()
            {
                closeText(standardError);
                ioResult();
            }
        } quiet(root + "/failure-line.txt");
        const std::vector<std::string> arguments = {root + "/stub", root + "/recipe.zop", root + "/out.exe"};
        AppState state;
        state.tempDir = root;
        state.workDir = root + "/work";
        state.workFile = state.workDir + "/zop.gz";
        state.workDirSlash = state.workDir;
        state.workDirBackslash = state.workDir;
        packMode(Launch{arguments, threadCount()}, state);
    });
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    makeTree();
    unsetenv("ZOP_EXE");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    splitCommandLineOf(data, size);
    quoteForSplitterOf(data, size);
    packRecipe(data, size);
    return 0;
}
