// Linux threads: pthreads (part of glibc itself, no extra library).
#include "runtime/threads/threads.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "runtime/signals/signals_posix.h"

struct WorkerThread {
    pthread_t id;
};
struct ThreadLock {
    pthread_mutex_t mutex;
};
struct ThreadSignal {
    pthread_cond_t condition;
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
    auto* signal = new (std::nothrow) ThreadSignal{};
    if (signal == nullptr)
        return nullptr;
    // Timed waits count on the monotonic clock: setting the date moves no
    // deadline.
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&signal->condition, &attributes);
    pthread_condattr_destroy(&attributes);
    return signal;
}

void destroySignal(ThreadSignal* signal)
{
    pthread_cond_destroy(&signal->condition);
    delete signal;
}

void waitSignal(ThreadSignal* signal, ThreadLock* lock)
{
    pthread_cond_wait(&signal->condition, &lock->mutex);
}
void waitSignalFor(ThreadSignal* signal, ThreadLock* lock, int milliseconds)
{
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
    }
    pthread_cond_timedwait(&signal->condition, &lock->mutex, &deadline);
}

void wakeOne(ThreadSignal* signal) { pthread_cond_signal(&signal->condition); }
void wakeAll(ThreadSignal* signal) { pthread_cond_broadcast(&signal->condition); }

int onlineProcessors()
{
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online >= 1 ? static_cast<int>(online) : 1;
}
