// The writer pool: one lock guards the whole queue. The main thread waits on
// `room` (a buffer or a file slot came free, a file was finished); idle
// writers wait on `work` (a file was queued, the pool closes), and the one
// writer whose file is still being inflated waits on `more`. The main
// thread's waits look at the requests to stop a few times a second: a
// writer may be held up for good (by a FIFO in the file's place), and the
// request is answered all the same.
#include "core/launch/writerpool.h"

#include <atomic>
#include <new>

#include "runtime/fs/files.h"
#include "runtime/signals/stopsignals.h"
#include "runtime/threads/threads.h"

namespace {

constexpr int32_t bufferSize = 65536;
constexpr int maxWriters = 16;
// Buffers per writer, plus a few for the main thread to fill ahead.
constexpr int buffersPerWriter = 8;
constexpr int spareBuffers = 8;
constexpr int maxBuffers = spareBuffers + buffersPerWriter * maxWriters;
constexpr int32_t noBuffer = -1;
// How often a waiting main thread looks for a request to stop, and how long
// writers that make no progress are waited for once it came.
constexpr int stopPollMilliseconds = 50;
constexpr int stalledPolls = 4;

struct Buffer {
    int32_t length = 0;
    int32_t next = noBuffer;  // the file's next buffer, or the next free one
};

struct QueuedFile {
    std::string name;
    int32_t position = 0;
    int32_t first = noBuffer;  // bytes waiting for the writer, in order
    int32_t last = noBuffer;
    bool complete = false;     // every byte has been passed on
    bool claimed = false;      // a writer has taken it
    bool finished = true;      // closed (or never opened); the slot is free
};

} // namespace

struct WriterPool {
    ThreadLock* lock = nullptr;
    ThreadSignal* work = nullptr;
    ThreadSignal* more = nullptr;
    ThreadSignal* room = nullptr;
    unsigned char* memory = nullptr;
    int bufferCount = 0;
    Buffer buffers[maxBuffers];
    int32_t freeBuffers = noBuffer;
    int32_t filling = noBuffer;  // the buffer fileBuffer gave the main thread
    // Files by sequence number: slot = number % fileSlots. Of the files
    // queued, the writers have claimed the first `claimed` and some after
    // them (see claimNextFile). A file the main
    // thread has queued but not yet handed anything for is `staged`: the
    // writers do not see it yet. `open`: the last file is not complete.
    QueuedFile files[maxBuffers];
    int fileSlots = 0;
    int32_t queued = 0;
    int32_t claimed = 0;
    int unfinished = 0;
    bool staged = false;
    bool open = false;
    bool closing = false;
    bool abandoned = false;
    // Writers inside a file, and a count of their steps (files and buffers).
    int busy = 0;
    uint32_t progress = 0;
    std::atomic<bool> failed{false};
    int32_t failedPosition = 0;
    uint16_t failedCode = 0;
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
    const std::size_t cut = name.find_last_of("/\\");
    if (cut != std::string_view::npos)
        name.remove_prefix(cut + 1);
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

QueuedFile& fileAt(WriterPool& pool, int32_t sequence)
{
    return pool.files[sequence % pool.fileSlots];
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

std::string_view directoryPart(std::string_view name)
{
    const std::size_t cut = name.find_last_of("/\\");
    return cut == std::string_view::npos ? std::string_view() : name.substr(0, cut);
}

bool inSameDirectory(std::string_view a, std::string_view b)
{
    return directoryPart(a) == directoryPart(b);
}

// True when a queued file not yet finished (and, when `claimedOnly`, taken
// by a writer) matches name.
bool unfinishedFileMatches(WriterPool& pool, std::string_view name, bool claimedOnly,
                           bool (*matches)(std::string_view, std::string_view))
{
    const int32_t oldest = pool.queued > pool.fileSlots ? pool.queued - pool.fileSlots : 0;
    for (int32_t sequence = oldest; sequence < pool.queued; ++sequence) {
        const QueuedFile& file = fileAt(pool, sequence);
        if (!file.finished && (file.claimed || !claimedOnly) && matches(file.name, name))
            return true;
    }
    return false;
}

bool nameInUse(WriterPool& pool, std::string_view name)
{
    return unfinishedFileMatches(pool, name, false, couldBeSameFile);
}

// The staged file becomes visible to the writers.
void publishStaged(WriterPool& pool)
{
    pool.staged = false;
    ++pool.queued;
    ++pool.unfinished;
    wakeOne(pool.work);
}

// New bytes or the end of the file being queued: a staged file becomes
// visible now; a visible one has its writer woken.
void announceProgress(WriterPool& pool)
{
    if (pool.staged)
        publishStaged(pool);
    else
        wakeOne(pool.more);
}

void recordOutcome(WriterPool& pool, QueuedFile& file, uint16_t code)
{
    file.finished = true;
    --pool.unfinished;
    --pool.busy;
    ++pool.progress;
    if (code != 0 && (!pool.failed || file.position < pool.failedPosition)) {
        pool.failedPosition = file.position;
        pool.failedCode = code;
        pool.failed = true;
    }
}

// ---------------------------------------------------------------- writers

// The next file for an idle writer, null when none waits. Creating files in
// one directory takes that directory's lock in the kernel, one creation at a
// time: a writer takes the first waiting file of a directory no other writer
// is creating in, and the first waiting file when every one is.
QueuedFile* claimNextFile(WriterPool& pool)
{
    QueuedFile* first = nullptr;
    QueuedFile* chosen = nullptr;
    for (int32_t sequence = pool.claimed; sequence < pool.queued && chosen == nullptr; ++sequence) {
        QueuedFile& file = fileAt(pool, sequence);
        if (file.claimed)
            continue;
        if (first == nullptr)
            first = &file;
        if (!unfinishedFileMatches(pool, file.name, true, inSameDirectory))
            chosen = &file;
    }
    if (chosen == nullptr)
        chosen = first;
    if (chosen != nullptr)
        chosen->claimed = true;
    while (pool.claimed < pool.queued && fileAt(pool, pool.claimed).claimed)
        ++pool.claimed;
    return chosen;
}

// Takes the file's next buffer, waiting for the main thread to fill it;
// noBuffer once the file has all its bytes.
int32_t nextBufferOf(WriterPool& pool, QueuedFile& file)
{
    while (file.first == noBuffer && !file.complete && !pool.abandoned)
        waitSignal(pool.more, pool.lock);
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
    uint16_t code = createFileOnWorker(file.name, handle);
    acquireLock(pool.lock);
    for (int32_t buffer; (buffer = nextBufferOf(pool, file)) != noBuffer;) {
        const bool wanted = code == 0 && !pool.abandoned;
        releaseLock(pool.lock);
        if (wanted)
            code = writeAllOnWorker(handle, bytesOf(pool, buffer), static_cast<uint32_t>(pool.buffers[buffer].length));
        acquireLock(pool.lock);
        releaseBuffer(pool, buffer);
        ++pool.progress;
        wakeOne(pool.room);
    }
    releaseLock(pool.lock);
    if (handle != noHandle)
        closeFileOnWorker(handle);
    return code;
}

void runWriter(void* context)
{
    WriterPool& pool = *static_cast<WriterPool*>(context);
    acquireLock(pool.lock);
    for (;;) {
        while (pool.claimed == pool.queued && !pool.closing && !pool.abandoned)
            waitSignal(pool.work, pool.lock);
        if (pool.claimed == pool.queued || pool.abandoned)
            break;
        QueuedFile& file = *claimNextFile(pool);
        ++pool.busy;
        releaseLock(pool.lock);
        const uint16_t code = writeFile(pool, file);
        acquireLock(pool.lock);
        recordOutcome(pool, file, code);
        wakeOne(pool.room);
    }
    releaseLock(pool.lock);
}

// Lock held. The writers drop what is queued and end, each after the buffer
// in hand; returns once all are idle, or none made progress for a while
// (one may be held up in a call that does not return).
void abandonWriters(WriterPool& pool)
{
    pool.abandoned = true;
    wakeAll(pool.work);
    wakeAll(pool.more);
    uint32_t seen = pool.progress;
    for (int stalled = 0; pool.busy != 0 && stalled < stalledPolls;) {
        waitSignalFor(pool.room, pool.lock, stopPollMilliseconds);
        stalled = pool.progress == seen ? stalled + 1 : 0;
        seen = pool.progress;
    }
}

// Every wait of the main thread: a request to stop is answered from here,
// after the writers have been stopped (the clean-up then removes a quiet
// tree).
void waitForRoom(WriterPool& pool)
{
    if (pendingStop() != 0) {
        abandonWriters(pool);
        releaseLock(pool.lock);
        stopIfRequested();
        acquireLock(pool.lock);
    }
    waitSignalFor(pool.room, pool.lock, stopPollMilliseconds);
}

void releasePool(WriterPool* pool)
{
    if (pool->lock != nullptr)
        destroyLock(pool->lock);
    for (ThreadSignal* signal : {pool->work, pool->more, pool->room})
        if (signal != nullptr)
            destroySignal(signal);
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
    pool->lock = createLock();
    pool->work = createSignal();
    pool->more = createSignal();
    pool->room = createSignal();
    pool->bufferCount = spareBuffers + buffersPerWriter * writers;
    pool->fileSlots = pool->bufferCount;
    pool->memory = new (std::nothrow) unsigned char[static_cast<std::size_t>(pool->bufferCount) * bufferSize];
    if (pool->lock == nullptr || pool->work == nullptr || pool->more == nullptr || pool->room == nullptr ||
        pool->memory == nullptr) {
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

void queueFile(WriterPool* pool, std::string name, int32_t position)
{
    acquireLock(pool->lock);
    while (nameInUse(*pool, name) || !fileAt(*pool, pool->queued).finished)
        waitForRoom(*pool);
    QueuedFile& file = fileAt(*pool, pool->queued);
    file.name = std::move(name);
    file.position = position;
    file.first = file.last = noBuffer;
    file.complete = file.claimed = file.finished = false;
    pool->staged = true;
    pool->open = true;
    releaseLock(pool->lock);
}

unsigned char* fileBuffer(WriterPool* pool, int32_t& capacity)
{
    acquireLock(pool->lock);
    while (pool->freeBuffers == noBuffer)
        waitForRoom(*pool);
    pool->filling = pool->freeBuffers;
    pool->freeBuffers = pool->buffers[pool->filling].next;
    releaseLock(pool->lock);
    capacity = bufferSize;
    return bytesOf(*pool, pool->filling);
}

void passBytes(WriterPool* pool, int32_t count, bool last)
{
    acquireLock(pool->lock);
    const int32_t buffer = pool->filling;
    pool->filling = noBuffer;
    QueuedFile& file = fileAt(*pool, pool->staged ? pool->queued : pool->queued - 1);
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
    releaseLock(pool->lock);
}

void endFile(WriterPool* pool)
{
    acquireLock(pool->lock);
    if (pool->open) {
        fileAt(*pool, pool->staged ? pool->queued : pool->queued - 1).complete = true;
        pool->open = false;
        announceProgress(*pool);
    }
    releaseLock(pool->lock);
}

void waitForName(WriterPool* pool, std::string_view name)
{
    acquireLock(pool->lock);
    while (nameInUse(*pool, name))
        waitForRoom(*pool);
    releaseLock(pool->lock);
}

void abandonWriterPool(WriterPool* pool)
{
    acquireLock(pool->lock);
    abandonWriters(*pool);
    releaseLock(pool->lock);
}

bool writerFailed(WriterPool* pool)
{
    return pool->failed;
}

uint16_t finishQueuedFiles(WriterPool* pool)
{
    acquireLock(pool->lock);
    while (pool->unfinished != 0)
        waitForRoom(*pool);
    const uint16_t code = pool->failed ? pool->failedCode : 0;
    releaseLock(pool->lock);
    return code;
}

uint16_t stopWriterPool(WriterPool* pool)
{
    endFile(pool);
    const uint16_t code = finishQueuedFiles(pool);
    acquireLock(pool->lock);
    pool->closing = true;
    wakeAll(pool->work);
    releaseLock(pool->lock);
    for (int i = 0; i < pool->threadCount; ++i)
        joinThread(pool->threads[i]);
    releasePool(pool);
    return code;
}
