// Linux: TERM, HUP, INT and QUIT are caught from the start. The handler only
// counts the request and, while a command runs, passes it on; the program
// acts on it at its next checkpoint. The handlers are installed without
// SA_RESTART, so a blocking read, write, open or wait returns and reaches one.
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>

#include <cerrno>

#include "runtime/signals/signals_posix.h"
#include "runtime/signals/stopsignals.h"

namespace {

constexpr int stopSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

volatile sig_atomic_t requestsReceived = 0;
volatile sig_atomic_t firstPendingSignal = 0;
sig_atomic_t requestsAnswered = 0;

volatile sig_atomic_t stopTarget = 0;
volatile sig_atomic_t abandoned = 0;
// Milliseconds of the first TERM passed on to the running command; touched
// only by the handler and while the stop signals are blocked.
long long firstTermAt = -1;

sigset_t ignoredAtStart;

// Set and read on the answering thread only (its handler included).
std::atomic<std::atomic<uint32_t>*> watchedWord{nullptr};

// The thread that installed the handlers answers the requests. A worker
// thread's file calls reach the same checkpoints; there a request is never
// pending, so that the clean-up and the end of the process stay with the
// main thread.
pthread_t answeringThread;
bool answeringThreadKnown = false;

long long monotonicMilliseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void sigsetOfStopSignals(sigset_t& set)
{
    sigemptyset(&set);
    for (int signal : stopSignals)
        sigaddset(&set, signal);
}

// A terminal sends INT and QUIT to its whole foreground process group,
// the command included: such a signal (sent by the kernel) is not passed on
// again. A TERM that comes twice within a second (`timeout` signals the
// launcher and then its group) does not count as insisting.
void onStopSignal(int signal, siginfo_t* info, void*)
{
    const int savedErrno = errno;
    if (requestsReceived == requestsAnswered)
        firstPendingSignal = signal;
    requestsReceived = requestsReceived + 1;
    const pid_t child = stopTarget;
    if (child > 0) {
        if (info == nullptr || info->si_code != SI_KERNEL)
            kill(child, signal);
        if (signal == SIGTERM) {
            const long long now = monotonicMilliseconds();
            if (firstTermAt < 0)
                firstTermAt = now;
            else if (now - firstTermAt >= 1000)
                abandoned = 1;
        }
    }
    if (std::atomic<uint32_t>* word = watchedWord.load()) {
        word->fetch_add(1);
        syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
    }
    errno = savedErrno;
}

} // namespace

void holdStopSignals()
{
    answeringThread = pthread_self();
    answeringThreadKnown = true;
    struct sigaction action{};
    action.sa_sigaction = onStopSignal;
    action.sa_flags = SA_SIGINFO;
    sigsetOfStopSignals(action.sa_mask);
    sigemptyset(&ignoredAtStart);
    for (int signal : stopSignals) {
        struct sigaction current{};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
            sigaddset(&ignoredAtStart, signal);
            continue;
        }
        sigaction(signal, &action, nullptr);
    }
}

int pendingStop()
{
    if (answeringThreadKnown && pthread_equal(pthread_self(), answeringThread) == 0)
        return 0;
    return requestsReceived != requestsAnswered ? static_cast<int>(firstPendingSignal) : 0;
}

void answerStop()
{
    sigset_t previous;
    blockStopSignals(previous);
    requestsAnswered = requestsReceived;
    restoreSignalMask(previous);
}

void blockStopSignals(sigset_t& previous)
{
    sigset_t set;
    sigsetOfStopSignals(set);
    pthread_sigmask(SIG_BLOCK, &set, &previous);
}

void restoreSignalMask(const sigset_t& previous)
{
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void setStopTarget(pid_t child)
{
    if (child > 0) {
        firstTermAt = -1;
        abandoned = 0;
    }
    stopTarget = child;
}

void addDefaultedStopSignals(sigset_t& set)
{
    for (int signal : stopSignals)
        if (sigismember(&ignoredAtStart, signal) != 1)
            sigaddset(&set, signal);
}

void removeStopSignals(sigset_t& mask)
{
    for (int signal : stopSignals)
        sigdelset(&mask, signal);
}

bool waitAbandoned()
{
    return abandoned != 0;
}

void watchForStop(std::atomic<uint32_t>* word)
{
    watchedWord.store(word);
}
