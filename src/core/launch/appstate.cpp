#include "core/launch/appstate.h"

#include "core/bytes/text.h"
#include "core/paths/paths.h"
#include "runtime/workdir/workdir.h"
#include "runtime/os/ostypes.h"

AppState appState;

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
