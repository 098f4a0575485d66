// Room runtime/threads: worker threads, locks, wake-up signals and the thread
// count, and the ordered queue built on them (orderedqueue.h). May include:
// runtime/fs, runtime/process, runtime/os, runtime/signals, runtime/failure,
// runtime/base (docs/architecture.md).
//
// Worker threads for packing and launching on every core: start and join,
// a lock with its wake-up signal, and how many threads to use. Plain
// operating-system threads (pthreads, Win32 threads): the stub carries no
// thread library of its own.
#pragma once
#include <cstdint>

using ThreadBody = void (*)(void* context);

// Opaque handles; null when creating them failed.
struct WorkerThread;
struct ThreadLock;
struct ThreadSignal;

// Starts body(context) on a new thread. The thread never takes the stop
// requests (TERM, HUP, INT, QUIT on Linux): they reach the main thread only,
// whose checkpoints answer them. Null when the system refuses a thread.
WorkerThread* startThread(ThreadBody body, void* context);
// Waits for the thread to end and releases it.
void joinThread(WorkerThread* thread);

ThreadLock* createLock();
void destroyLock(ThreadLock* lock);
void acquireLock(ThreadLock* lock);
void releaseLock(ThreadLock* lock);

ThreadSignal* createSignal();
void destroySignal(ThreadSignal* signal);
// Releases lock, sleeps until woken (or spuriously), takes lock again.
void waitSignal(ThreadSignal* signal, ThreadLock* lock);
// waitSignal that returns after at most `milliseconds` in any case.
void waitSignalFor(ThreadSignal* signal, ThreadLock* lock, int milliseconds);
// waitSignal that a request to stop wakes as well: for the thread that
// answers those requests (pendingStop), which then finds it pending. Where
// no request can arrive (Windows), the same as waitSignal.
void waitSignalOrStop(ThreadSignal* signal, ThreadLock* lock);
void wakeOne(ThreadSignal* signal);
void wakeAll(ThreadSignal* signal);

// Processors the system offers this process right now (at least 1).
int onlineProcessors();

// How many threads a parallel pack or launch uses: ZOP_THREADS when it holds
// a number from 1 on (capped at 64), else the online processors, at most 8.
int threadCount();
