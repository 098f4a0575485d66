#include "core/launch/appstate.h"

#include "core/bytes/text.h"
#include "runtime/os/ostypes.h"

AppState appState;

std::string launchArgument(const Launch& launch, std::size_t index)
{
    return index < launch.arguments.size() ? launch.arguments[index] : std::string();
}

void setWorkDirectory(const std::string& dir)
{
    appState.workDir = dir;
    appState.workFile = dir + pathSeparator + std::string(workFileName);
    appState.workDirSlash = replaceAll(dir, "\\", "/");
    appState.workDirBackslash = replaceAll(dir, "/", "\\");
}
