#include "core/launch/appstate.h"

#include "core/bytes/text.h"
#include "core/paths/paths.h"
#include "runtime/base/iocodes.h"
#include "runtime/fs/files.h"
#include "runtime/os/ostypes.h"
#include "runtime/workdir/workdir.h"

std::string launchArgument(const Launch& launch, std::size_t index)
{
    return index < launch.arguments.size() ? launch.arguments[index] : std::string();
}

void setWorkDirectory(AppState& state, const std::string& dir)
{
    state.workDir = dir;
    state.workFile = joinPath(dir, workFileName);
    state.workDirSlash = replaceAll(dir, "\\", "/");
    state.workDirBackslash = replaceAll(dir, "/", "\\");
}

bool workFileFitsBelow(std::string_view root)
{
    return fitsPathLength(root.size() + 1 + longestWorkDirName + 1 + workFileName.size());
}

namespace {

// Draws of a work-directory name before the launch gives up.
constexpr int maxWorkDirDraws = 10000;

// Creates "zop.N" in the current directory under a fresh random N; the
// code of the last draw's failure when none could be created.
uint16_t createWorkDirectory(std::string& name)
{
    uint16_t lastFailure = 0;
    for (int draw = 0; draw < maxWorkDirDraws; ++draw) {
        name = "zop." + std::to_string(drawWorkDirNumber());
        lastFailure = makePrivateDirectory(name);
        if (lastFailure == 0)
            return 0;
    }
    return lastFailure;
}

} // namespace

uint16_t makeTempWorkDirectory(AppState& state)
{
    changeDirectory(state.tempDir);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    std::string name;
    if (const uint16_t code = createWorkDirectory(name); code != 0)
        return code;
    changeDirectory(state.originalDir);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    setWorkDirectory(state, joinPath(state.tempDir, name));
    state.workDirIdentity = directoryIdentity(state.workDir);
    return 0;
}
