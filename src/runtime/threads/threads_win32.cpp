// Windows threads: CreateThread, critical sections and condition variables
// (all from KERNEL32, Windows Vista on).
#include "runtime/threads/threads.h"

#include <windows.h>

#include <new>

struct WorkerThread {
    HANDLE handle;
};
struct ThreadLock {
    CRITICAL_SECTION section;
};
struct ThreadSignal {
    CONDITION_VARIABLE condition;
};

namespace {

struct StartRecord {
    ThreadBody body;
    void* context;
};

DWORD WINAPI runBody(LPVOID argument)
{
    const StartRecord start = *static_cast<StartRecord*>(argument);
    delete static_cast<StartRecord*>(argument);
    start.body(start.context);
    return 0;
}

} // namespace

// Windows has no stop signals to keep away from the thread.
WorkerThread* startThread(ThreadBody body, void* context)
{
    auto* start = new (std::nothrow) StartRecord{body, context};
    auto* thread = new (std::nothrow) WorkerThread{};
    if (start == nullptr || thread == nullptr) {
        delete start;
        delete thread;
        return nullptr;
    }
    thread->handle = CreateThread(nullptr, 0, runBody, start, 0, nullptr);
    if (thread->handle == nullptr) {
        delete start;
        delete thread;
        return nullptr;
    }
    return thread;
}

void joinThread(WorkerThread* thread)
{
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    delete thread;
}

ThreadLock* createLock()
{
    auto* lock = new (std::nothrow) ThreadLock{};
    if (lock != nullptr)
        InitializeCriticalSection(&lock->section);
    return lock;
}

void destroyLock(ThreadLock* lock)
{
    DeleteCriticalSection(&lock->section);
    delete lock;
}

void acquireLock(ThreadLock* lock) { EnterCriticalSection(&lock->section); }
void releaseLock(ThreadLock* lock) { LeaveCriticalSection(&lock->section); }

ThreadSignal* createSignal()
{
    auto* signal = new (std::nothrow) ThreadSignal{};
    if (signal != nullptr)
        InitializeConditionVariable(&signal->condition);
    return signal;
}

void destroySignal(ThreadSignal* signal) { delete signal; }

void waitSignal(ThreadSignal* signal, ThreadLock* lock)
{
    SleepConditionVariableCS(&signal->condition, &lock->section, INFINITE);
}
void waitSignalFor(ThreadSignal* signal, ThreadLock* lock, int milliseconds)
{
    SleepConditionVariableCS(&signal->condition, &lock->section, static_cast<DWORD>(milliseconds));
}

// No request to stop ever arrives: a console's Control-C ends the process.
void waitSignalOrStop(ThreadSignal* signal, ThreadLock* lock)
{
    waitSignal(signal, lock);
}

void wakeOne(ThreadSignal* signal) { WakeConditionVariable(&signal->condition); }
void wakeAll(ThreadSignal* signal) { WakeAllConditionVariable(&signal->condition); }

int onlineProcessors()
{
    DWORD_PTR processMask = 0, systemMask = 0;
    int count = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask))
        for (; processMask != 0; processMask &= processMask - 1)
            ++count;
    return count >= 1 ? count : 1;
}
