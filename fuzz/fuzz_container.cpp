// Fuzz target: a packed executable read by each unpacking mode (list, just
// extract, run). The input is the whole file: stub bytes, entry stream and
// trailer. Each mode runs in this process with its file calls confined to
// the scratch directory; run mode creates what the entries say, and its
// commands "run" through a program start that never starts anything. List
// mode and just-extract mode must not write anything outside the work
// directory and the current directory.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/launch/appstate.h"
#include "runtime/process/cmdline_platform.h"
#include "support.h"
#include "unpack/container.h"
#include "unpack/unpack.h"

namespace {

enum class Reader { list, justExtract, run };

// A fresh launch state in the scratch root. Run mode makes its own work
// directory (zop.N) in tempDir and comes back to originalDir, the directory
// runConfined starts the mode in.
AppState prepareState()
{
    const std::string& root = fuzz::scratchRoot();
    AppState state;
    state.tempDir = root + "/work";
    state.originalDir = root + "/out";
    state.workDir = root + "/work";
    state.workFile = state.workDir + "/zop.gz";
    state.workDirSlash = state.workDir;
    state.workDirBackslash = state.workDir;
    return state;
}

Container prepareContainer(const uint8_t* data, std::size_t size)
{
    const std::string& root = fuzz::scratchRoot();
    Container container;
    container.path = root + "/packed";
    std::memcpy(&container.trailer, data + size - sizeof(tail), sizeof(tail));
    container.end = static_cast<int32_t>(size);
    return container;
}

// Anything in the scratch root besides the three places the harness made is
// a write outside the directories the mode may use.
bool strayEntries()
{
    bool stray = false;
    DIR* dir = opendir(fuzz::scratchRoot().c_str());
    for (dirent* e; dir != nullptr && (e = readdir(dir)) != nullptr;) {
        const std::string name = e->d_name;
        if (name != "." && name != ".." && name != "packed" && name != "work" && name != "out") {
            std::fprintf(stderr, "fuzz: stray entry %s in the scratch directory\n", name.c_str());
            const std::string path = fuzz::scratchRoot() + "/" + name;
            fuzz::emptyDirectory(path);
            std::remove(path.c_str());
            stray = true;
        }
    }
    if (dir != nullptr)
        closedir(dir);
    return stray;
}

void readWith(Reader reader, const uint8_t* data, std::size_t size)
{
    const std::string& root = fuzz::scratchRoot();
    fuzz::emptyDirectory(root + "/work");
    fuzz::emptyDirectory(root + "/out");
    const fuzz::RunResult result = fuzz::runConfined(root + "/out", [&] {
        AppState state = prepareState();
        const Container container = prepareContainer(data, size);
        switch (reader) {
        case Reader::list:
            listMode(container, state.workFile);
            break;
        case Reader::justExtract:
            justExtractMode(container, state.workFile);
            break;
        case Reader::run:
            runMode(container, state, 1);
            break;
        }
    });
    // A crafted run-mode entry may name "../x": run mode takes entry paths
    // as they stand (the packed application is trusted as much as the
    // commands it runs). The other modes must stay inside, and start nothing.
    const bool stray = strayEntries();
    if (reader != Reader::run && (stray || result.refusedPath || result.startedProgram))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const std::string& root = fuzz::scratchRoot();
    mkdir((root + "/work").c_str(), 0700);
    mkdir((root + "/out").c_str(), 0700);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    // Start-up ends the process before any mode runs when the trailer cannot
    // be read whole.
    if (size < sizeof(tail))
        return -1;
    fuzz::writeFile(fuzz::scratchRoot() + "/packed",
                    std::string_view(reinterpret_cast<const char*>(data), size));
    readWith(Reader::list, data, size);
    readWith(Reader::justExtract, data, size);
    readWith(Reader::run, data, size);
    return 0;
}
