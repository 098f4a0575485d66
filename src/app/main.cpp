// Program entry of the stub: start-up, exactly one mode, work-directory
// removal, and the end of the process. A request to stop (see
// stopsignals.h) ends it early, the work directory removed too.
#include "app/startup.h"
#include "pack/pack.h"
#include "runtime/failure/failure.h"
#include "runtime/runtime.h"
#include "runtime/signals/stopsignals.h"
#include "unpack/unpack.h"

namespace {

// Runs the chosen mode; returns the process exit code for a normal end. Run
// mode may move the work directory: it changes context.state in place.
int runSelectedMode(LaunchContext& context)
{
    switch (context.mode) {
    case Mode::pack:
        packMode(context.launch, context.state);
        return 0;
    case Mode::justExtract:
        justExtractMode(context.container, context.state.workFile, context.packer.directory);
        return 0;
    case Mode::list:
        listMode(context.container, context.state.workFile);
        return 0;
    case Mode::run:
        return runMode(context.container, context.state, context.launch.threads);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    initRuntime(argc, argv);
    // Lives until the process ends: a request to stop removes the work
    // directory through it.
    LaunchContext context;
    startUp(context);
    const int exitCode = runSelectedMode(context);
    setStopCleanup(nullptr);
    removeWorkDirectory(context);
    // A request to stop that came during the removal still ends the process
    // as such a request does.
    stopIfRequested();
    terminateProcess(static_cast<uint32_t>(exitCode));
}
