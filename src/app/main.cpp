// Program entry of the stub: start-up, exactly one mode, work-directory
// removal, and the end of the process.
#include "app/removetree.h"
#include "app/state.h"
#include "runtime/failure.h"
#include "runtime/runtime.h"

int main(int argc, char** argv)
{
    initRuntime(argc, argv);
    startUp();
    const int exitCode = runSelectedMode(selectMode());
    removeTree(appState.workDir);
    terminateProcess(static_cast<uint32_t>(exitCode));
}
