#include "core/launch/appstate.h"

#include "core/bytes/text.h"
#include "runtime/failure/failure.h"
#include "runtime/fs/files.h"
#include "runtime/os/ostypes.h"
#include "runtime/workdir/workdir.h"

AppState appState;

void setWorkDirectory(const std::string& dir)
{
    appState.workDir = dir;
    appState.workFile = dir + pathSeparator + std::string(workFileName);
    appState.workDirSlash = replaceAll(dir, "\\", "/");
    appState.workDirBackslash = replaceAll(dir, "/", "\\");
}

namespace {

// Draws of a work-directory name before the launch gives up.
constexpr int maxWorkDirDraws = 10000;

// Creates "zop.N" in the current directory under a fresh random N.
std::string createWorkDirectory()
{
    uint16_t lastFailure = 0;
    for (int draw = 0; draw < maxWorkDirDraws; ++draw) {
        std::string name = "zop." + std::to_string(drawWorkDirNumber());
        makePrivateDirectory(name);
        lastFailure = ioResult();
        if (lastFailure == 0)
            return name;
    }
    failWithIoCode(lastFailure);
}

} // namespace

void makeTempWorkDirectory()
{
    changeDirectory(appState.tempDir);
    checkIo();
    const std::string name = createWorkDirectory();
    changeDirectory(appState.originalDir);
    checkIo();
    setWorkDirectory(appState.tempDir + pathSeparator + name);
    appState.workDirIdentity = directoryIdentity(appState.workDir);
}
