// The ordered queue: its bookkeeping, and the waits on the thread service.
#include "runtime/threads/orderedqueue.h"

#include <initializer_list>
#include <new>

#include "runtime/base/checks.h"

namespace {

enum SlotState : unsigned char { slotFree, slotReserved, slotPublished, slotTaken, slotFinished };

unsigned char stateOf(const OrderedQueue& q, int32_t item)
{
    return q.states[slotOf(q, item)];
}

// Items below `published` and not older than a ring's length still hold
// their slot, or held it last.
bool inRing(const OrderedQueue& q, int32_t item)
{
    return item >= 0 && item < q.published && item >= q.published - q.capacity;
}

void releaseParts(OrderedQueue& q)
{
    if (q.lock != nullptr)
        destroyLock(q.lock);
    for (ThreadSignal* signal : {q.forWork, q.forOwner, q.forItem})
        if (signal != nullptr)
            destroySignal(signal);
    delete[] q.states;
    q = OrderedQueue{};
}

} // namespace

bool openQueue(OrderedQueue& q, int capacity, bool threaded)
{
    ZOP_CHECK(capacity >= 1 && q.states == nullptr);
    q = OrderedQueue{};
    q.capacity = capacity;
    q.states = new (std::nothrow) unsigned char[static_cast<unsigned>(capacity)]();
    if (threaded) {
        q.lock = createLock();
        q.forWork = createSignal();
        q.forOwner = createSignal();
        q.forItem = createSignal();
    }
    const bool complete =
        q.states != nullptr && (!threaded || (q.lock != nullptr && q.forWork != nullptr && q.forOwner != nullptr &&
                                              q.forItem != nullptr));
    if (!complete)
        releaseParts(q);
    return complete;
}

void closeQueue(OrderedQueue& q)
{
    releaseParts(q);
}

void lockQueue(OrderedQueue& q)
{
    if (q.lock != nullptr)
        acquireLock(q.lock);
}

void unlockQueue(OrderedQueue& q)
{
    if (q.lock != nullptr)
        releaseLock(q.lock);
}

// ---------------------------------------------------------------- the owner

bool nextSlotFree(const OrderedQueue& q)
{
    return q.states[slotOf(q, q.published)] == slotFree;
}

int32_t reserveItem(OrderedQueue& q)
{
    ZOP_CHECK(!q.reserved);
    ZOP_CHECK(nextSlotFree(q));
    q.states[slotOf(q, q.published)] = slotReserved;
    q.reserved = true;
    return q.published;
}

void publishItem(OrderedQueue& q)
{
    ZOP_CHECK(q.reserved && !q.ended);
    q.states[slotOf(q, q.published)] = slotPublished;
    q.reserved = false;
    ++q.published;
    ++q.unfinished;
    if (q.forWork != nullptr)
        wakeOne(q.forWork);
}

int32_t newestItem(const OrderedQueue& q)
{
    return q.reserved ? q.published : q.published - 1;
}

void endItems(OrderedQueue& q)
{
    ZOP_CHECK(!q.reserved);
    q.ended = true;
    if (q.forWork != nullptr)
        wakeAll(q.forWork);
}

void stopQueue(OrderedQueue& q)
{
    q.stopping = true;
    if (q.forWork != nullptr) {
        wakeAll(q.forWork);
        wakeAll(q.forItem);
    }
}

// ---------------------------------------------------------------- the workers

bool waitForWork(OrderedQueue& q)
{
    for (;;) {
        if (q.stopping)
            return false;
        if (q.firstWaiting < q.published)
            return true;
        if (q.ended)
            return false;
        ZOP_CHECK(q.forWork != nullptr);
        waitSignal(q.forWork, q.lock);
    }
}

void waitForOtherWork(OrderedQueue& q)
{
    ZOP_CHECK(q.forWork != nullptr);
    waitSignal(q.forWork, q.lock);
}

bool isWaiting(const OrderedQueue& q, int32_t item)
{
    return item >= q.firstWaiting && item < q.published && stateOf(q, item) == slotPublished;
}

void takeItem(OrderedQueue& q, int32_t item)
{
    ZOP_CHECK(isWaiting(q, item));
    q.states[slotOf(q, item)] = slotTaken;
    // No item below firstWaiting waits, and none of those above it has
    // wrapped round the ring while it waits: only its own slot is held.
    while (q.firstWaiting < q.published && stateOf(q, q.firstWaiting) != slotPublished)
        ++q.firstWaiting;
}

void finishItem(OrderedQueue& q, int32_t item, int failure)
{
    ZOP_CHECK(inRing(q, item) && stateOf(q, item) == slotTaken);
    q.states[slotOf(q, item)] = slotFinished;
    --q.unfinished;
    if (failure != 0 && (q.failedItem < 0 || item < q.failedItem)) {
        q.failedItem = item;
        q.failure = failure;
    }
    wakeOwner(q);
    if (q.forWork != nullptr && (q.ended || q.firstWaiting < q.published))
        wakeAll(q.forWork);
}

void retireItem(OrderedQueue& q, int32_t item)
{
    ZOP_CHECK(inRing(q, item) && stateOf(q, item) == slotFinished);
    q.states[slotOf(q, item)] = slotFree;
}

// ---------------------------------------------------------------- state

bool isFinished(const OrderedQueue& q, int32_t item)
{
    return inRing(q, item) && stateOf(q, item) == slotFinished;
}

bool isTaken(const OrderedQueue& q, int32_t item)
{
    return inRing(q, item) && stateOf(q, item) == slotTaken;
}

bool slotInUse(const OrderedQueue& q, int slot)
{
    return q.states[slot] != slotFree;
}

// ---------------------------------------------------------------- waits

void waitForWorkers(OrderedQueue& q)
{
    ZOP_CHECK(q.forOwner != nullptr);
    waitSignal(q.forOwner, q.lock);
}

void waitForWorkersOrStop(OrderedQueue& q)
{
    ZOP_CHECK(q.forOwner != nullptr);
    waitSignalOrStop(q.forOwner, q.lock);
}

void waitForWorkersFor(OrderedQueue& q, int milliseconds)
{
    ZOP_CHECK(q.forOwner != nullptr);
    waitSignalFor(q.forOwner, q.lock, milliseconds);
}

void wakeOwner(OrderedQueue& q)
{
    if (q.forOwner != nullptr)
        wakeOne(q.forOwner);
}

void waitForOwner(OrderedQueue& q)
{
    ZOP_CHECK(q.forItem != nullptr);
    waitSignal(q.forItem, q.lock);
}

void wakeItemWorker(OrderedQueue& q)
{
    if (q.forItem != nullptr)
        wakeOne(q.forItem);
}

void serveItems(OrderedQueue& q, QueueItemWork doItem, void* context)
{
    lockQueue(q);
    while (waitForWork(q)) {
        const int32_t item = q.firstWaiting;
        takeItem(q, item);
        unlockQueue(q);
        const int failure = doItem(context, item);
        lockQueue(q);
        finishItem(q, item, failure);
    }
    unlockQueue(q);
}
