// Linux threads: pthreads (part of glibc itself, no extra library), and
// wake-up signals on a futex word of their own: a count of wake-ups that a
// sleeper compares against the count it saw, so that no wake-up between its
// look at the shared state and its sleep is lost. The stop-signal handler
// can raise that count too, which a condition variable does not allow.
#include "runtime/threads/threads.h"

#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <new>

#include "runtime/signals/signals_posix.h"
#include "runtime/signals/stopsignals.h"

struct WorkerThread {
    pthread_t id;
};
struct ThreadLock {
    pthread_mutex_t mutex;
};
struct ThreadSignal {
    std::atomic<uint32_t> wakeups{0};
    // Threads inside a wait: a wake-up with none skips the system call.
    // Counted while the sleeper still holds the lock, so a waker that
    // changed the shared state under that lock and finds none here wakes a
    // sleeper that will see the change anyway.
    std::atomic<int> sleepers{0};
};

namespace {

struct StartRecord {
    ThreadBody body;
    void* context;
};

void* runBody(void* argument)
{
    const StartRecord start = *static_cast<StartRecord*>(argument);
    delete static_cast<StartRecord*>(argument);
    start.body(start.context);
    return nullptr;
}

// Sleeps while the word still holds seen: until a wake-up, a signal handler
// or the timeout (null: none) ends the sleep, or spuriously.
void sleepOnWord(std::atomic<uint32_t>& word, uint32_t seen, const timespec* timeout)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen, timeout, nullptr, 0);
}

void wakeSleepers(ThreadSignal* signal, int count)
{
    signal->wakeups.fetch_add(1);
    if (signal->sleepers.load() > 0)
        syscall(SYS_futex, reinterpret_cast<uint32_t*>(&signal->wakeups), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

void waitWithTimeout(ThreadSignal* signal, ThreadLock* lock, const timespec* timeout)
{
    signal->sleepers.fetch_add(1);
    const uint32_t seen = signal->wakeups.load();
    releaseLock(lock);
    sleepOnWord(signal->wakeups, seen, timeout);
    acquireLock(lock);
    signal->sleepers.fetch_sub(1);
}

} // namespace

WorkerThread* startThread(ThreadBody body, void* context)
{
    // The new thread inherits the creator's signal mask: block the stop
    // signals around the creation so that only the main thread takes them.
    sigset_t previous;
    auto* start = new (std::nothrow) StartRecord{body, context};
    auto* thread = new (std::nothrow) WorkerThread{};
    if (start == nullptr || thread == nullptr) {
        delete start;
        delete thread;
        return nullptr;
    }
    blockStopSignals(previous);
    const int result = pthread_create(&thread->id, nullptr, runBody, start);
    restoreSignalMask(previous);
    if (result != 0) {
        delete start;
        delete thread;
        return nullptr;
    }
    return thread;
}

void joinThread(WorkerThread* thread)
{
    pthread_join(thread->id, nullptr);
    delete thread;
}

ThreadLock* createLock()
{
    auto* lock = new (std::nothrow) ThreadLock{};
    if (lock != nullptr)
        pthread_mutex_init(&lock->mutex, nullptr);
    return lock;
}

void destroyLock(ThreadLock* lock)
{
    pthread_mutex_destroy(&lock->mutex);
    delete lock;
}

void acquireLock(ThreadLock* lock) { pthread_mutex_lock(&lock->mutex); }
void releaseLock(ThreadLock* lock) { pthread_mutex_unlock(&lock->mutex); }

ThreadSignal* createSignal()
{
    return new (std::nothrow) ThreadSignal{};
}

void destroySignal(ThreadSignal* signal)
{
    delete signal;
}

void waitSignal(ThreadSignal* signal, ThreadLock* lock)
{
    waitWithTimeout(signal, lock, nullptr);
}

void waitSignalFor(ThreadSignal* signal, ThreadLock* lock, int milliseconds)
{
    const timespec timeout{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000};
    waitWithTimeout(signal, lock, &timeout);
}

// The handler of a stop signal raises the watched word. Set before the look
// at pendingStop: a request that comes after that look has changed the word
// by the time of the sleep (or, in the sleep, ends it), one before it is
// seen there.
void waitSignalOrStop(ThreadSignal* signal, ThreadLock* lock)
{
    watchForStop(&signal->wakeups);
    signal->sleepers.fetch_add(1);
    const uint32_t seen = signal->wakeups.load();
    if (pendingStop() == 0) {
        releaseLock(lock);
        sleepOnWord(signal->wakeups, seen, nullptr);
        acquireLock(lock);
    }
    signal->sleepers.fetch_sub(1);
    watchForStop(nullptr);
}

void wakeOne(ThreadSignal* signal) { wakeSleepers(signal, 1); }
void wakeAll(ThreadSignal* signal) { wakeSleepers(signal, INT_MAX); }

int onlineProcessors()
{
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online >= 1 ? static_cast<int>(online) : 1;
}
