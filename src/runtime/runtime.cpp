#include "runtime/runtime.h"

#include "runtime/cmdline.h"
#include "runtime/failure.h"
#include "runtime/files_os.h"
#include "runtime/stopsignals.h"
#include "runtime/textfile.h"

void initRuntime(int argc, char** argv)
{
    bindStandardFiles(windowedBuild);
    initCommandLine(argc, argv);
    installFaultHandlers();
    holdStopSignals();
}

void resetRuntimeState()
{
    osCloseTrackedFiles();
    ioError = 0;
    searchStatus = 0;
    fileOpenMode = 2;
    resetFailureState();
    setStopCleanup(nullptr);
    bindStandardFiles(windowedBuild);
}
