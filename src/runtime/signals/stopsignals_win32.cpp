// Windows delivers no stop signals to a console program's main thread: a
// console's Control-C ends the process as it always has.
#include "runtime/signals/stopsignals.h"

void holdStopSignals()
{
}

int pendingStop()
{
    return 0;
}

void answerStop()
{
}
