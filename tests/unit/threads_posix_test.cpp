// Linux: a request to stop wakes the main thread's wait on its workers, so
// that the wait needs no timeout to answer it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "runtime/signals/stopsignals.h"
#include "runtime/threads/orderedqueue.h"
#include "support/process_posix.h"

using namespace testsupport;

namespace {

void requestStopSoon(void*)
{
    usleep(100 * 1000);
    kill(getpid(), SIGTERM);  // the worker blocks it: it reaches the main thread
}

TEST(ThreadsPosix, ARequestToStopWakesTheOwnersWait)
{
    const ChildRun run = runInChild([] {
        alarm(5);  // a wait that no request woke ends the child here
        holdStopSignals();
        OrderedQueue q;
        openQueue(q, 1, true);
        WorkerThread* thread = startThread(requestStopSoon, nullptr);
        lockQueue(q);
        while (pendingStop() == 0)
            waitForWorkersOrStop(q);
        unlockQueue(q);
        joinThread(thread);
        _exit(pendingStop() == SIGTERM ? 42 : 1);
    });
    EXPECT_TRUE(run.exitedWith(42)) << run.status;
}

} // namespace
