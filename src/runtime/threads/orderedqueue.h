// An ordered queue: the one protocol between an owner thread that hands out
// numbered items and the worker threads that do them. A lock with a few
// values, and waits on conditions over those values.
//
// Items are numbered 0, 1, 2, ... in the order the owner publishes them and
// live in a ring of `capacity` slots: item n in slot n % capacity. Each
// item's slot goes, in this order only,
//
//   free -> reserved -> published -> taken -> finished -> free
//           (owner)     (owner)      (a worker  (its      (retire: the
//                                    or owner)   taker)    owner or taker)
//
// Invariants, checked in builds with ZOP_CHECKS:
//  - At most one item is reserved, and it is item `published` (the next to
//    publish): the owner fills it before the workers can see it.
//  - The owner reserves item n only when slot n % capacity is free: the
//    items that hold a slot are never more than capacity, and no two share
//    one. This bounds memory and lets the owner wait for room.
//  - firstWaiting is the oldest published item not taken (published when
//    there is none): items are taken in any order, but none below it waits.
//  - unfinished counts the published items not finished yet.
//  - The failure kept is that of the lowest-numbered item finished with a
//    non-zero code: "the first failure in stream order" whatever order the
//    workers finish in.
//  - Stopping and ending only ever go from false to true.
//
// Every function but openQueue, closeQueue and lockQueue is called with the
// lock held. A queue opened without threads has no lock and no signals: the
// owner does every item itself, and a wait that would block is a fault.
#pragma once
#include <cstdint>

#include "runtime/threads/threads.h"

// Its users read the fields (with the lock held) but change them only
// through the functions below. Item numbers are 32-bit: 2^31 items, 256 TiB
// in the block deflater's 128 KiB blocks.
struct OrderedQueue {
    ThreadLock* lock = nullptr;
    ThreadSignal* forWork = nullptr;     // idle workers: an item published or finished, stop, end
    ThreadSignal* forOwner = nullptr;    // the owner: an item finished, room freed
    ThreadSignal* forItem = nullptr;     // a worker waiting for more of its item
    unsigned char* states = nullptr;     // per slot
    int capacity = 0;
    int32_t published = 0;
    int32_t firstWaiting = 0;
    int unfinished = 0;
    bool reserved = false;
    bool ended = false;      // no item follows: idle workers end
    bool stopping = false;   // workers end after the item in hand
    int32_t failedItem = -1;
    int failure = 0;
};

// Makes a queue of capacity slots (at least 1). threaded: with the lock and
// the wake-up signals workers need. False when memory, the lock or a signal
// was refused; nothing is held then.
bool openQueue(OrderedQueue& q, int capacity, bool threaded);
// Releases everything; the workers must have ended.
void closeQueue(OrderedQueue& q);

void lockQueue(OrderedQueue& q);
void unlockQueue(OrderedQueue& q);

// ---------------------------------------------------------------- the owner

// True when the next item's slot is free, so that reserveItem may be called.
bool nextSlotFree(const OrderedQueue& q);
// Reserves the next item (none may be reserved, its slot must be free) and
// returns its number.
int32_t reserveItem(OrderedQueue& q);
// Makes the reserved item visible to the workers and wakes one.
void publishItem(OrderedQueue& q);
// The reserved item, else the last published one; -1 before the first.
int32_t newestItem(const OrderedQueue& q);
// No item follows: workers that find nothing waiting end (waitForWork).
void endItems(OrderedQueue& q);
// Workers end after the item in hand; what waits is dropped.
void stopQueue(OrderedQueue& q);

// ---------------------------------------------------------------- the workers

// Waits until an item is waiting (true), or the queue stops or has ended
// with nothing waiting (false).
bool waitForWork(OrderedQueue& q);
// A worker that found no waiting item it may take sleeps until an item is
// published or finished, the queue stops or ends, or spuriously.
void waitForOtherWork(OrderedQueue& q);
// A worker's whole life for items that need nothing more from the owner:
// takes the oldest waiting item, does it without the lock (doItem returns
// its failure code, 0 for none), finishes it, until waitForWork says to
// end. Called without the lock.
using QueueItemWork = int (*)(void* context, int32_t item);
void serveItems(OrderedQueue& q, QueueItemWork doItem, void* context);
// True when item is published and not yet taken.
bool isWaiting(const OrderedQueue& q, int32_t item);
// Takes a waiting item (a worker, or the owner when no worker runs).
void takeItem(OrderedQueue& q, int32_t item);
// The taken item is done; failure is 0 or the code it failed with. Wakes
// the owner, and the idle workers while items wait or once the queue has
// ended: a worker that left a waiting item alone (waitForOtherWork) looks
// again.
void finishItem(OrderedQueue& q, int32_t item, int failure);
// Gives a finished item's slot back. Wakes no one: the owner retires its
// items itself, and a worker that does retires in the same hold of the
// lock as finishItem, whose wake-up the owner then answers.
void retireItem(OrderedQueue& q, int32_t item);

// ---------------------------------------------------------------- state

bool isFinished(const OrderedQueue& q, int32_t item);
// True when the item is taken and not finished: a worker has it in hand.
bool isTaken(const OrderedQueue& q, int32_t item);
// True while slot holds an item (from reserve to retire).
bool slotInUse(const OrderedQueue& q, int slot);
// The slot that item lives in.
inline int slotOf(const OrderedQueue& q, int32_t item)
{
    return static_cast<int>(item % q.capacity);
}
// The failure code of the lowest-numbered failed item; 0 when none failed.
inline int firstFailure(const OrderedQueue& q)
{
    return q.failure;
}

// ---------------------------------------------------------------- waits

// The owner sleeps until a worker finishes or retires an item, gives room
// back (wakeOwner), or spuriously.
void waitForWorkers(OrderedQueue& q);
// waitForWorkers that a request to stop wakes as well (on the thread that
// answers those requests): for waits that answer it.
void waitForWorkersOrStop(OrderedQueue& q);
// waitForWorkers that returns after at most milliseconds in any case: for
// waits that give up on a worker held up in a call that does not return.
void waitForWorkersFor(OrderedQueue& q, int milliseconds);
void wakeOwner(OrderedQueue& q);
// A worker sleeps until the owner adds to the item in its hand
// (wakeItemWorker), the queue stops, or spuriously.
void waitForOwner(OrderedQueue& q);
void wakeItemWorker(OrderedQueue& q);
