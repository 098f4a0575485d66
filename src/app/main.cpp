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

// Runs the chosen mode; returns the process exit code for a normal end.
int runSelectedMode(Mode mode, const Launch& launch)
{
    switch (mode) {
    case Mode::pack:
        packMode(launch);
        return 0;
    case Mode::justExtract:
        justExtractMode(selectedContainer(), selectedDirectory());
        return 0;
    case Mode::list:
        listMode(selectedContainer());
        return 0;
    case Mode::run:
        return runMode(selectedContainer(), launch.threads);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    initRuntime(argc, argv);
    const Launch launch = startUp();
    const int exitCode = runSelectedMode(selectMode(), launch);
    setStopCleanup(nullptr);
    removeWorkDirectory();
    // A request to stop that came during the removal still ends the process
    // as such a request does.
    stopIfRequested();
    terminateProcess(static_cast<uint32_t>(exitCode));
}
