#include "runtime/signals/stopsignals.h"

#include "runtime/failure/failure.h"

namespace {

void (*stopCleanup)() = nullptr;

// INT is the Control-C of a terminal: it keeps the report it always had.
constexpr int interruptSignal = 2;

} // namespace

void setStopCleanup(void (*cleanup)())
{
    stopCleanup = cleanup;
}

uint16_t stopRequestCode()
{
    return pendingStop() != 0 ? ioStopRequested : 0;
}

void stopIfRequested()
{
    const int signal = pendingStop();
    if (signal == 0)
        return;
    answerStop();
    if (stopCleanup != nullptr) {
        void (*cleanup)() = stopCleanup;
        stopCleanup = nullptr;
        cleanup();
    }
    if (signal == interruptSignal)
        raiseException("EControlC", "Control-C hit");
    terminateProcess(128 + static_cast<uint32_t>(signal));
}
