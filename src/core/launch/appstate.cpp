#include "core/launch/appstate.h"

#include "core/bytes/text.h"
#include "runtime/os/ostypes.h"

AppState appState;

void setWorkDirectory(const std::string& dir)
{
    appState.workDir = dir;
    appState.workFile = dir + pathSeparator + std::string(workFileName);
    appState.workDirSlash = replaceAll(dir, "\\", "/");
    appState.workDirBackslash = replaceAll(dir, "/", "\\");
}
