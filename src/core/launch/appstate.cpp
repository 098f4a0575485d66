#include "core/launch/appstate.h"

#include "core/bytes/text.h"
#include "core/paths/paths.h"
#include "runtime/workdir/workdir.h"
#include "runtime/os/ostypes.h"

AppState appState;

std::string launchArgument(const Launch& launch, std::size_t index)
{
    return index < launch.arguments.size() ? launch.arguments[index] : std::string();
}

void setWorkDirectory(const std::string& dir)
{
    appState.workDir = dir;
    appState.workFile = joinPath(dir, workFileName);
    appState.workDirSlash = replaceAll(dir, "\\", "/");
    appState.workDirBackslash = replaceAll(dir, "/", "\\");
}

bool workFileFitsBelow(std::string_view root)
{
    return fitsPathLength(root.size() + 1 + longestWorkDirName + 1 + workFileName.size());
}
