#include "runtime/runtime.h"

#include "runtime/process/cmdline.h"
#include "runtime/failure/failure.h"
#include "runtime/os/oscalls.h"
#include "runtime/signals/stopsignals.h"
#include "runtime/fs/handles.h"
#include "runtime/fs/textfile.h"

void initRuntime(int argc, char** argv)
{
    bindStandardFiles(windowedBuild);
    initCommandLine(argc, argv);
    installFaultHandlers();
    holdStopSignals();
    setStopAnswer(stopIfRequested);
}

void resetRuntimeState()
{
    closeHeldFiles();
    ioResult();
    searchStatus = 0;
    fileOpenMode = 2;
    resetFailureState();
    setStopCleanup(nullptr);
    bindStandardFiles(windowedBuild);
}
