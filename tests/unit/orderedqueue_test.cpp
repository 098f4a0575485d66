// The ordered queue's contract: items taken in any order keep the first
// failure in item order, the ring bounds what is in flight, and a threaded
// queue carries every item through its workers exactly once, whatever the
// order they finish in. Misuse that would wait for ever stops at a check in
// the builds that have them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "core/launch/writerpool.h"
#include "runtime/threads/orderedqueue.h"
#include "support/scratch.h"

namespace {

int32_t publishNext(OrderedQueue& q)
{
    const int32_t item = reserveItem(q);
    publishItem(q);
    return item;
}

TEST(OrderedQueue, FirstFailureIsTheLowestItemWhateverOrderTheyFinishIn)
{
    OrderedQueue q;
    ASSERT_TRUE(openQueue(q, 4, false));
    for (int i = 0; i < 4; ++i)
        publishNext(q);
    takeItem(q, 2);
    EXPECT_EQ(q.firstWaiting, 0);
    takeItem(q, 0);
    EXPECT_EQ(q.firstWaiting, 1);  // item 2 is taken already: 1 is the oldest waiting
    takeItem(q, 1);
    EXPECT_EQ(q.firstWaiting, 3);
    finishItem(q, 2, 5);
    finishItem(q, 0, 0);
    finishItem(q, 1, 7);
    EXPECT_EQ(firstFailure(q), 7);  // item 1 failed before item 2 in item order
    EXPECT_EQ(q.unfinished, 1);
    EXPECT_TRUE(waitForWork(q));
    EXPECT_TRUE(isWaiting(q, 3));
    closeQueue(q);
}

TEST(OrderedQueue, TheRingBoundsTheItemsInFlight)
{
    OrderedQueue q;
    ASSERT_TRUE(openQueue(q, 2, false));
    publishNext(q);
    publishNext(q);
    EXPECT_FALSE(nextSlotFree(q));
    takeItem(q, 1);
    finishItem(q, 1, 0);
    retireItem(q, 1);
    EXPECT_FALSE(nextSlotFree(q));  // item 2 goes to item 0's slot, still held
    takeItem(q, 0);
    finishItem(q, 0, 0);
    EXPECT_FALSE(nextSlotFree(q));  // finished is not yet free
    retireItem(q, 0);
    ASSERT_TRUE(nextSlotFree(q));
    EXPECT_EQ(reserveItem(q), 2);
    EXPECT_EQ(newestItem(q), 2);
    EXPECT_TRUE(slotInUse(q, 0));
    EXPECT_FALSE(slotInUse(q, 1));
    closeQueue(q);
}

struct Workload {
    OrderedQueue queue;
    std::vector<std::atomic<int>> doneCount = std::vector<std::atomic<int>>(200);
};

// Takes the newest waiting item, not the oldest, to finish out of order.
void runWorker(void* context)
{
    auto& work = *static_cast<Workload*>(context);
    OrderedQueue& q = work.queue;
    lockQueue(q);
    while (waitForWork(q)) {
        int32_t item = q.published - 1;
        while (!isWaiting(q, item))
            --item;
        takeItem(q, item);
        unlockQueue(q);
        ++work.doneCount[static_cast<std::size_t>(item)];
        lockQueue(q);
        finishItem(q, item, item % 50 == 37 ? static_cast<int>(item) : 0);
        retireItem(q, item);
    }
    unlockQueue(q);
}

TEST(OrderedQueue, WorkersDoEveryItemOnceThroughASmallRing)
{
    Workload work;
    ASSERT_TRUE(openQueue(work.queue, 3, true));
    OrderedQueue& q = work.queue;
    WorkerThread* threads[4];
    for (WorkerThread*& thread : threads)
        ASSERT_NE(thread = startThread(runWorker, &work), nullptr);
    lockQueue(q);
    for (std::size_t i = 0; i < work.doneCount.size(); ++i) {
        while (!nextSlotFree(q))
            waitForWorkers(q);
        publishNext(q);
    }
    while (q.unfinished != 0)
        waitForWorkers(q);
    endItems(q);
    unlockQueue(q);
    for (WorkerThread* thread : threads)
        joinThread(thread);
    for (const std::atomic<int>& count : work.doneCount)
        EXPECT_EQ(count.load(), 1);
    EXPECT_EQ(firstFailure(q), 37);
    closeQueue(q);
}

TEST(OrderedQueue, StoppingEndsWorkersThatWait)
{
    Workload work;
    ASSERT_TRUE(openQueue(work.queue, 2, true));
    WorkerThread* thread = startThread(runWorker, &work);
    ASSERT_NE(thread, nullptr);
    lockQueue(work.queue);
    stopQueue(work.queue);
    unlockQueue(work.queue);
    joinThread(thread);
    closeQueue(work.queue);
}

// Writers keep out of a directory another writer works in: here most files
// share one, so idle writers wait for files elsewhere and must still be
// woken to see the queue end. Every file comes out whole, in any case.
class WriterPoolTest : public testsupport::ScratchDirTest {};

TEST_F(WriterPoolTest, WritesEveryFileWhenMostShareOneDirectory)
{
    for (const char* dir : {"a", "b", "c"})
        std::filesystem::create_directory(dir_ / dir);
    struct Case {
        const char* directories;  // of the files in queue order, one letter each
        int writers;
    };
    const Case cases[] = {{"aaaaaaaaaaaaaaaaaaaaaaaabbbbbbbbbbbbbbbbaaaaaaaaaaaaaaaaaa", 3},
                          {"abababababababababcccccccccccccccccccccccccccc", 2},
                          {"cccccccccccccccccccccccccccccccccccccccccccc", 4}};
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.directories);
        const std::string prefix = "/r" + std::to_string(++round) + "f";
        WriterPool* pool = startWriterPool(c.writers);
        ASSERT_NE(pool, nullptr);
        std::vector<std::string> expected;
        const std::string_view dirs = c.directories;
        for (std::size_t i = 0; i < dirs.size(); ++i) {
            const std::string name = path(std::string(1, dirs[i]) + prefix + std::to_string(i));
            ASSERT_EQ(queueFile(pool, name, static_cast<int32_t>(i)), 0);
            // Empty, or filling one or three buffers.
            const std::string bytes = i % 3 == 0 ? std::string() : std::string(70000 * (i % 3), char('0' + i % 10));
            for (std::size_t at = 0; at < bytes.size();) {
                unsigned char* buffer = nullptr;
                int32_t capacity = 0;
                ASSERT_EQ(fileBuffer(pool, buffer, capacity), 0);
                const std::size_t n = std::min(bytes.size() - at, static_cast<std::size_t>(capacity));
                std::memcpy(buffer, bytes.data() + at, n);
                at += n;
                passBytes(pool, static_cast<int32_t>(n), at == bytes.size());
            }
            if (bytes.empty())
                endFile(pool);
            expected.push_back(bytes);
        }
        ASSERT_EQ(stopWriterPool(pool), 0);
        for (std::size_t i = 0; i < dirs.size(); ++i)
            EXPECT_EQ(testsupport::readFile(path(std::string(1, dirs[i]) + prefix + std::to_string(i))), expected[i])
                << i;
    }
}

#if defined(ZOP_CHECKS)
TEST(OrderedQueueDeathTest, MisuseThatWouldWaitForEverIsCaught)
{
    OrderedQueue q;
    ASSERT_TRUE(openQueue(q, 2, false));
    reserveItem(q);
    EXPECT_DEATH(reserveItem(q), "check failed");        // a second reserved item
    EXPECT_DEATH(takeItem(q, 0), "check failed");        // not published yet
    publishItem(q);
    EXPECT_DEATH(finishItem(q, 0, 0), "check failed");   // not taken
    EXPECT_DEATH(waitForWorkers(q), "check failed");     // nobody could wake it
    closeQueue(q);
}

TEST(OrderedQueueDeathTest, TheWriterPoolCatchesMisuseInsteadOfWaiting)
{
    EXPECT_DEATH(
        {
            WriterPool* pool = startWriterPool(2);
            (void)queueFile(pool, "first", 0);
            (void)queueFile(pool, "second", 1);  // the first has neither bytes nor its end
        },
        "check failed");
    EXPECT_DEATH(
        {
            WriterPool* pool = startWriterPool(2);
            (void)queueFile(pool, "first", 0);
            unsigned char* bytes = nullptr;
            int32_t capacity = 0;
            (void)fileBuffer(pool, bytes, capacity);
            (void)fileBuffer(pool, bytes, capacity);  // the first buffer would be lost
        },
        "check failed");
}
#endif

} // namespace
