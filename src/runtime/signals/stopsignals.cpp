#include "runtime/signals/stopsignals.h"

#include "runtime/failure/failure.h"

namespace {

StopCleanup stopCleanup = nullptr;
const void* stopCleanupContext = nullptr;
void (*plainCleanup)() = nullptr;

void runPlainCleanup(const void*)
{
    plainCleanup();
}

// INT is the Control-C of a terminal: it keeps the report it always had.
constexpr int interruptSignal = 2;

} // namespace

void setStopCleanup(StopCleanup cleanup, const void* context)
{
    stopCleanup = cleanup;
    stopCleanupContext = context;
}

void setStopCleanup(void (*cleanup)())
{
    plainCleanup = cleanup;
    setStopCleanup(cleanup != nullptr ? runPlainCleanup : nullptr, nullptr);
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
        const StopCleanup cleanup = stopCleanup;
        stopCleanup = nullptr;
        cleanup(stopCleanupContext);
    }
    if (signal == interruptSignal)
        raiseException("EControlC", "Control-C hit");
    terminateProcess(128 + static_cast<uint32_t>(signal));
}
