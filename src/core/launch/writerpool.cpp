// The writer pool: files are the items of one ordered queue, whose lock
// guards the whole pool. The main thread reserves a file (it is staged: the
// writers do not see it yet), publishes it with its first bytes or its end,
// and waits for room (a buffer or a file slot came free, a file was
// finished); idle writers wait for work, and the one writer whose file is
// still being inflated waits for more of it. The main thread's waits end on
// a request to stop as well: a writer may be held up for good (by a FIFO in
// the file's place), and the request is answered all the same.
#include "core/launch/writerpool.h"

#include <new>

#include "core/paths/paths.h"
#include "runtime/base/checks.h"
#include "runtime/fs/files.h"
#include "runtime/signals/stopsignals.h"
#include "runtime/threads/orderedqueue.h"

namespace {

constexpr int32_t bufferSize = 65536;
constexpr int maxWriters = 16;
// Buffers per writer, plus a few for the main thread to fill ahead: they
// are most of the pool's memory, and a writer never writes more than one at
// a time. Files queued are cheap (a name each): more of them than buffers
// lets small files and empty ones wait in line, and gives idle writers a
// choice of directory.
constexpr int buffersPerWriter = 2;
constexpr int spareBuffers = 4;
constexpr int maxBuffers = spareBuffers + buffersPerWriter * maxWriters;
constexpr int fileSlotsPerWriter = 8;
constexpr int spareFileSlots = 8;
constexpr int maxFileSlots = spareFileSlots + fileSlotsPerWriter * maxWriters;
constexpr int32_t noBuffer = -1;
// Once a request to stop came: how long writers that make no progress are
// waited for, in waits of this many milliseconds.
constexpr int stallWaitMilliseconds = 50;
constexpr int stalledWaits = 4;

struct Buffer {
    int32_t length = 0;
    int32_t next = noBuffer;  // the file's next buffer, or the next free one
};

struct QueuedFile {
    std::string name;
    int32_t first = noBuffer;  // bytes waiting for the writer, in order
    int32_t last = noBuffer;
    bool complete = false;     // every byte has been passed on
};

} // namespace

struct WriterPool {
    // Files by queue item: slot = item % fileSlots.
    OrderedQueue queue;
    unsigned char* memory = nullptr;
    int bufferCount = 0;
    Buffer buffers[maxBuffers];
    int32_t freeBuffers = noBuffer;
    int32_t filling = noBuffer;  // the buffer fileBuffer gave the main thread
    QueuedFile files[maxFileSlots];
    int32_t lastPosition = -1;   // of the file queued last: positions only grow
    bool open = false;           // the newest file is not complete
    // Writers inside a file, and a count of their steps (files and buffers).
    int busy = 0;
    uint32_t progress = 0;
    WorkerThread* threads[maxWriters] = {};
    int threadCount = 0;
};

namespace {

// ---------------------------------------------------------------- names

// What a name could be taken for by the file system: its last component,
// compared without regard to ASCII letter case, with the trailing dots and
// blanks Windows ignores dropped and anything from a colon (a stream name)
// on left out. Bytes beyond ASCII compare equal to each other, and a "~"
// (a short 8.3 name may stand for any long one) to everything: such names
// only wait a little longer.
std::string_view lastComponent(std::string_view name)
{
    name = fileNamePart(name);
    name = name.substr(0, name.find(':'));
    while (!name.empty() && (name.back() == '.' || name.back() == ' '))
        name.remove_suffix(1);
    return name;
}

unsigned char foldedByte(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80)
        return 0x80;
    return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

bool couldBeSameFile(std::string_view a, std::string_view b)
{
    a = lastComponent(a);
    b = lastComponent(b);
    if (a.find('~') != std::string_view::npos || b.find('~') != std::string_view::npos)
        return true;
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (foldedByte(a[i]) != foldedByte(b[i]))
            return false;
    return true;
}

// ---------------------------------------------------------------- queue (lock held)

QueuedFile& fileAt(WriterPool& pool, int32_t item)
{
    return pool.files[slotOf(pool.queue, item)];
}

unsigned char* bytesOf(WriterPool& pool, int32_t buffer)
{
    return pool.memory + static_cast<std::size_t>(buffer) * bufferSize;
}

void releaseBuffer(WriterPool& pool, int32_t buffer)
{
    pool.buffers[buffer].next = pool.freeBuffers;
    pool.freeBuffers = buffer;
}

// True when a queued file not yet finished matches name.
bool nameInUse(WriterPool& pool, std::string_view name)
{
    for (int slot = 0; slot < pool.queue.capacity; ++slot)
        if (slotInUse(pool.queue, slot) && couldBeSameFile(pool.files[slot].name, name))
            return true;
    return false;
}

// New bytes or the end of the newest file: a staged file becomes visible
// now; a visible one has its writer woken.
void announceProgress(WriterPool& pool)
{
    if (pool.queue.reserved)
        publishItem(pool.queue);
    else
        wakeItemWorker(pool.queue);
}

// ---------------------------------------------------------------- writers

// The next file for an idle writer, taken; -1 when every waiting file lies
// in a directory another writer is working in. Creating files in one
// directory takes that directory's lock in the kernel, one creation at a
// time, and a second writer waiting there spins on it, burning the core the
// inflating thread needs (a quarter more CPU for the same launch on Linux,
// and no faster): such a file waits for the writer already there, which
// takes it next. The directories in use (at most one per writer) are
// gathered once, so the choice costs one pass over the ring.
int32_t claimNextFile(WriterPool& pool)
{
    OrderedQueue& q = pool.queue;
    std::string_view busy[maxWriters];
    int busyCount = 0;
    const int32_t oldest = q.published > q.capacity ? q.published - q.capacity : 0;
    for (int32_t item = oldest; item < q.published && busyCount < maxWriters; ++item)
        if (isTaken(q, item))
            busy[busyCount++] = parentDirectory(fileAt(pool, item).name);
    int32_t chosen = -1;
    for (int32_t item = q.firstWaiting; item < q.published && chosen < 0; ++item) {
        if (!isWaiting(q, item))
            continue;
        const std::string_view directory = parentDirectory(fileAt(pool, item).name);
        bool shared = false;
        for (int i = 0; i < busyCount && !shared; ++i)
            shared = busy[i] == directory;
        if (!shared)
            chosen = item;
    }
    if (chosen >= 0)
        takeItem(q, chosen);
    return chosen;
}

// Takes the file's next buffer, waiting for the main thread to fill it;
// noBuffer once the file has all its bytes.
int32_t nextBufferOf(WriterPool& pool, QueuedFile& file)
{
    while (file.first == noBuffer && !file.complete && !pool.queue.stopping)
        waitForOwner(pool.queue);
    const int32_t buffer = file.first;
    if (buffer != noBuffer) {
        file.first = pool.buffers[buffer].next;
        if (file.first == noBuffer)
            file.last = noBuffer;
    }
    return buffer;
}

// Creates, fills and closes one file. After a failure the rest of its bytes
// are taken and dropped, so that the main thread never waits for them.
uint16_t writeFile(WriterPool& pool, QueuedFile& file)
{
    OsHandle handle = noHandle;
    uint16_t code = createFileHandle(file.name, handle);
    lockQueue(pool.queue);
    for (int32_t buffer; (buffer = nextBufferOf(pool, file)) != noBuffer;) {
        const bool wanted = code == 0 && !pool.queue.stopping;
        unlockQueue(pool.queue);
        if (wanted)
            code = writeAllToHandle(handle, bytesOf(pool, buffer), static_cast<uint32_t>(pool.buffers[buffer].length));
        lockQueue(pool.queue);
        releaseBuffer(pool, buffer);
        ++pool.progress;
        wakeOwner(pool.queue);
    }
    unlockQueue(pool.queue);
    if (handle != noHandle)
        closeFileHandle(handle);
    return code;
}

void runWriter(void* context)
{
    WriterPool& pool = *static_cast<WriterPool*>(context);
    lockQueue(pool.queue);
    while (waitForWork(pool.queue)) {
        const int32_t item = claimNextFile(pool);
        if (item < 0) {
            waitForOtherWork(pool.queue);  // until a file is published or finished
            continue;
        }
        ++pool.busy;
        unlockQueue(pool.queue);
        const uint16_t code = writeFile(pool, fileAt(pool, item));
        lockQueue(pool.queue);
        --pool.busy;
        ++pool.progress;
        finishItem(pool.queue, item, code);
        retireItem(pool.queue, item);
    }
    unlockQueue(pool.queue);
}

// Lock held. The writers drop what is queued and end, each after the buffer
// in hand; returns once all are idle, or none made progress for a while
// (one may be held up in a call that does not return).
void abandonWriters(WriterPool& pool)
{
    stopQueue(pool.queue);
    uint32_t seen = pool.progress;
    for (int stalled = 0; pool.busy != 0 && stalled < stalledWaits;) {
        waitForWorkersFor(pool.queue, stallWaitMilliseconds);
        stalled = pool.progress == seen ? stalled + 1 : 0;
        seen = pool.progress;
    }
}

// Every wait of the main thread: a request to stop wakes it and ends the
// wait with ioStopRequested, after the writers have been stopped (the
// clean-up then removes a quiet tree); 0 once woken otherwise.
uint16_t waitForRoom(WriterPool& pool)
{
    if (pendingStop() != 0) {
        abandonWriters(pool);
        return ioStopRequested;
    }
    waitForWorkersOrStop(pool.queue);
    return 0;
}

// Lock held: waits while busy() holds; 0, or ioStopRequested (see
// waitForRoom).
template <typename Busy>
uint16_t waitWhile(WriterPool& pool, Busy busy)
{
    while (busy())
        if (waitForRoom(pool) != 0)
            return ioStopRequested;
    return 0;
}

void releasePool(WriterPool* pool)
{
    closeQueue(pool->queue);
    delete[] pool->memory;
    delete pool;
}

} // namespace

WriterPool* startWriterPool(int writers)
{
    if (writers > maxWriters)
        writers = maxWriters;
    auto* pool = new (std::nothrow) WriterPool;
    if (pool == nullptr)
        return nullptr;
    pool->bufferCount = spareBuffers + buffersPerWriter * writers;
    pool->memory = new (std::nothrow) unsigned char[static_cast<std::size_t>(pool->bufferCount) * bufferSize];
    if (!openQueue(pool->queue, spareFileSlots + fileSlotsPerWriter * writers, true) || pool->memory == nullptr) {
        releasePool(pool);
        return nullptr;
    }
    for (int32_t buffer = pool->bufferCount - 1; buffer >= 0; --buffer)
        releaseBuffer(*pool, buffer);
    for (int i = 0; i < writers; ++i) {
        WorkerThread* thread = startThread(runWriter, pool);
        if (thread == nullptr)
            break;
        pool->threads[pool->threadCount++] = thread;
    }
    if (pool->threadCount == 0) {
        releasePool(pool);
        return nullptr;
    }
    return pool;
}

uint16_t queueFile(WriterPool* pool, std::string name, int32_t position)
{
    lockQueue(pool->queue);
    // A staged file must have its first bytes or its end first: its slot is
    // the one this file would wait for.
    ZOP_CHECK(!pool->queue.reserved);
    ZOP_CHECK(position > pool->lastPosition);
    if (waitWhile(*pool, [&] { return nameInUse(*pool, name) || !nextSlotFree(pool->queue); }) != 0) {
        unlockQueue(pool->queue);
        return ioStopRequested;
    }
    QueuedFile& file = fileAt(*pool, reserveItem(pool->queue));
    file.name = std::move(name);
    file.first = file.last = noBuffer;
    file.complete = false;
    pool->lastPosition = position;
    pool->open = true;
    unlockQueue(pool->queue);
    return 0;
}

uint16_t fileBuffer(WriterPool* pool, unsigned char*& bytes, int32_t& capacity)
{
    lockQueue(pool->queue);
    // One buffer in hand at a time: a second would never be passed on.
    ZOP_CHECK(pool->filling == noBuffer && pool->open);
    if (waitWhile(*pool, [&] { return pool->freeBuffers == noBuffer; }) != 0) {
        unlockQueue(pool->queue);
        return ioStopRequested;
    }
    pool->filling = pool->freeBuffers;
    pool->freeBuffers = pool->buffers[pool->filling].next;
    unlockQueue(pool->queue);
    capacity = bufferSize;
    bytes = bytesOf(*pool, pool->filling);
    return 0;
}

void passBytes(WriterPool* pool, int32_t count, bool last)
{
    lockQueue(pool->queue);
    ZOP_CHECK(pool->filling != noBuffer);
    const int32_t buffer = pool->filling;
    pool->filling = noBuffer;
    QueuedFile& file = fileAt(*pool, newestItem(pool->queue));
    if (count <= 0) {
        releaseBuffer(*pool, buffer);
    } else {
        pool->buffers[buffer].length = count;
        pool->buffers[buffer].next = noBuffer;
        if (file.last == noBuffer)
            file.first = buffer;
        else
            pool->buffers[file.last].next = buffer;
        file.last = buffer;
    }
    if (last) {
        file.complete = true;
        pool->open = false;
    }
    announceProgress(*pool);
    unlockQueue(pool->queue);
}

void endFile(WriterPool* pool)
{
    lockQueue(pool->queue);
    if (pool->open) {
        fileAt(*pool, newestItem(pool->queue)).complete = true;
        pool->open = false;
        announceProgress(*pool);
    }
    unlockQueue(pool->queue);
}

uint16_t waitForName(WriterPool* pool, std::string_view name)
{
    lockQueue(pool->queue);
    const uint16_t code = waitWhile(*pool, [&] { return nameInUse(*pool, name); });
    unlockQueue(pool->queue);
    return code;
}

void abandonWriterPool(WriterPool* pool)
{
    lockQueue(pool->queue);
    abandonWriters(*pool);
    unlockQueue(pool->queue);
}

bool writerFailed(WriterPool* pool)
{
    lockQueue(pool->queue);
    const bool failed = firstFailure(pool->queue) != 0;
    unlockQueue(pool->queue);
    return failed;
}

uint16_t finishQueuedFiles(WriterPool* pool)
{
    lockQueue(pool->queue);
    uint16_t code = waitWhile(*pool, [&] { return pool->queue.unfinished != 0; });
    if (code == 0)
        code = static_cast<uint16_t>(firstFailure(pool->queue));
    unlockQueue(pool->queue);
    return code;
}

uint16_t stopWriterPool(WriterPool* pool)
{
    endFile(pool);
    const uint16_t code = finishQueuedFiles(pool);
    if (code == ioStopRequested)
        return code;
    lockQueue(pool->queue);
    endItems(pool->queue);
    unlockQueue(pool->queue);
    for (int i = 0; i < pool->threadCount; ++i)
        joinThread(pool->threads[i]);
    releasePool(pool);
    return code;
}
