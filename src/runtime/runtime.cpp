#include "runtime/runtime.h"

#include "runtime/cmdline.h"
#include "runtime/failure.h"
#include "runtime/stopsignals.h"
#include "runtime/textfile.h"

void initRuntime(int argc, char** argv)
{
    bindStandardFiles(windowedBuild);
    initCommandLine(argc, argv);
    installFaultHandlers();
    holdStopSignals();
}
