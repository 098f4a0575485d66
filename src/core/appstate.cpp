#include "core/appstate.h"

#include "core/text.h"
#include "runtime/ostypes.h"

AppState appState;

void setWorkDirectory(const std::string& dir)
{
    appState.workDir = dir;
    appState.workFile = dir + pathSeparator + std::string(workFileName);
    appState.workDirSlash = replaceAll(dir, "\\", "/");
    appState.workDirBackslash = replaceAll(dir, "/", "\\");
}
