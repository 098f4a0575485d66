// Deflate in fixed blocks, on every core. The caller's thread fills the
// blocks in a ring of slots, hands each full one to the workers and writes
// the finished ones out in order; a worker only ever touches the slot it
// took and its own deflate state. Every buffer is allocated when the
// deflater is opened, so memory stays the same whatever the stream's size:
// two slots per worker, each holding a block, its dictionary and room for
// its compressed bytes.
#include "core/gzip/gzparallel.h"

#include <cstring>
#include <zlib.h>

#include "runtime/threads/threads.h"

namespace {

constexpr int32_t dictionarySize = 32 * 1024;
// Room for a block's compressed bytes: zlib's bound for any level and
// strategy (an eighth and a sixty-fourth more, stored blocks' headers), and
// the sync flush's empty stored block.
constexpr int32_t outputCapacity = deflateBlockSize + (deflateBlockSize >> 3) + (deflateBlockSize >> 6) + 64;

struct Slot {
    // The dictionary (its last dictionaryLength bytes), then the block.
    unsigned char* input = nullptr;
    unsigned char* output = nullptr;
    int32_t dictionaryLength = 0;
    int32_t length = 0;
    bool last = false;
    // Set by whoever deflated it; guarded by the lock while workers run.
    bool done = false;
    int status = Z_OK;
    int32_t outputLength = 0;
};

struct Worker {
    z_stream z{};
    BlockDeflater* deflater = nullptr;
    WorkerThread* thread = nullptr;
};

} // namespace

struct BlockDeflater {
    DeflatedSink sink = nullptr;
    void* context = nullptr;
    int level = 0;
    int strategy = 0;
    int status = Z_OK;

    Slot* slots = nullptr;
    int slotCount = 0;

    // Each with its own deflate state, made when the workers start; the
    // first one's, made at once, also serves the caller's thread while no
    // worker runs.
    Worker* workers = nullptr;
    int workerLimit = 0;
    int workersRunning = 0;

    // Block numbers in stream order: the one being filled (those before it
    // are handed over; changed under the lock while workers run), the next
    // one a worker takes, the next one to write out.
    int64_t filling = 0;
    int64_t nextTaken = 0;
    int64_t nextWritten = 0;
    bool stopping = false;

    ThreadLock* lock = nullptr;
    ThreadSignal* workReady = nullptr;
    ThreadSignal* blockDone = nullptr;
};

namespace {

Slot& slotOf(BlockDeflater& d, int64_t block) { return d.slots[block % d.slotCount]; }

// Deflates one block: the same bytes wherever and whenever it runs.
void deflateSlot(z_stream& z, Slot& slot)
{
    const unsigned char* data = slot.input + dictionarySize;
    slot.status = deflateReset(&z);
    if (slot.status == Z_OK && slot.dictionaryLength > 0)
        slot.status = deflateSetDictionary(&z, data - slot.dictionaryLength, static_cast<uInt>(slot.dictionaryLength));
    if (slot.status == Z_OK) {
        z.next_in = const_cast<Bytef*>(data);
        z.avail_in = static_cast<uInt>(slot.length);
        z.next_out = slot.output;
        z.avail_out = outputCapacity;
        const int result = deflate(&z, slot.last ? Z_FINISH : Z_SYNC_FLUSH);
        // All of the block must have gone out in this one call, and room
        // must be left: a full buffer could hide flushed bits still pending.
        if (slot.last ? result != Z_STREAM_END : result != Z_OK)
            slot.status = result == Z_OK || result == Z_STREAM_END ? Z_BUF_ERROR : result;
        else if (z.avail_in != 0 || z.avail_out == 0)
            slot.status = Z_BUF_ERROR;
        slot.outputLength = outputCapacity - static_cast<int32_t>(z.avail_out);
    }
}

void runWorker(void* context)
{
    Worker& worker = *static_cast<Worker*>(context);
    BlockDeflater& d = *worker.deflater;
    acquireLock(d.lock);
    for (;;) {
        while (!d.stopping && d.nextTaken == d.filling)
            waitSignal(d.workReady, d.lock);
        if (d.stopping)
            break;
        Slot& slot = slotOf(d, d.nextTaken++);
        releaseLock(d.lock);
        deflateSlot(worker.z, slot);
        acquireLock(d.lock);
        slot.done = true;
        wakeOne(d.blockDone);
    }
    releaseLock(d.lock);
}

bool initDeflate(BlockDeflater& d, Worker& worker)
{
    return deflateInit2(&worker.z, d.level, Z_DEFLATED, -MAX_WBITS, 8, d.strategy) == Z_OK;
}

// Starts the workers. Those the system refuses a thread or memory for are
// done without: the bytes are the same with fewer.
void startWorkers(BlockDeflater& d)
{
    if (d.workerLimit < 2 || d.lock != nullptr)
        return;
    d.lock = createLock();
    d.workReady = createSignal();
    d.blockDone = createSignal();
    if (d.lock == nullptr || d.workReady == nullptr || d.blockDone == nullptr)
        return;
    d.nextTaken = d.filling;
    for (int i = 0; i < d.workerLimit; ++i) {
        Worker& worker = d.workers[i];
        worker.deflater = &d;
        if (i > 0 && !initDeflate(d, worker))
            break;
        worker.thread = startThread(runWorker, &worker);
        if (worker.thread == nullptr)
            break;
        ++d.workersRunning;
    }
}

// True when the handed-over block is deflated. With wait, it is made so:
// by waiting for the workers, or here when none runs.
bool deflated(BlockDeflater& d, int64_t block, bool wait)
{
    Slot& slot = slotOf(d, block);
    if (d.workersRunning == 0) {
        if (wait && !slot.done) {
            deflateSlot(d.workers[0].z, slot);
            slot.done = true;
        }
        return slot.done;
    }
    acquireLock(d.lock);
    while (wait && !slot.done)
        waitSignal(d.blockDone, d.lock);
    const bool done = slot.done;
    releaseLock(d.lock);
    return done;
}

// Writes out the next block, which is deflated. A failed block stops the
// workers and the stream.
void writeOut(BlockDeflater& d)
{
    Slot& slot = slotOf(d, d.nextWritten);
    if (slot.status != Z_OK) {
        stopBlockWorkers(&d);
        d.status = slot.status;
        return;
    }
    d.sink(d.context, slot.output, slot.outputLength);
    ++d.nextWritten;
}

// Writes out the deflated blocks in order, waiting for those up to
// `through` when they are not deflated yet.
void writeFinished(BlockDeflater& d, int64_t through)
{
    while (d.status == Z_OK && d.nextWritten < d.filling && deflated(d, d.nextWritten, d.nextWritten <= through))
        writeOut(d);
}

// Hands the block being filled over for deflating, and makes the next slot
// ready to fill: free, with the last 32 KiB of this block as its dictionary.
void handOver(BlockDeflater& d, bool last)
{
    Slot& slot = slotOf(d, d.filling);
    slot.last = last;
    slot.done = false;
    // Every block before this one is full, and so is this one unless it is
    // the last: the workers start once that much reaches the threshold and
    // more follows.
    if (!last && (d.filling + 1) * deflateBlockSize >= parallelThreshold)
        startWorkers(d);
    if (d.workersRunning == 0) {
        ++d.filling;
    } else {
        acquireLock(d.lock);
        ++d.filling;
        wakeOne(d.workReady);
        releaseLock(d.lock);
    }
    // Without workers the block is deflated now. With them, the slot to
    // fill next held the block slotCount before: that one must be out.
    writeFinished(d, last || d.workersRunning == 0 ? d.filling - 1 : d.filling - d.slotCount);
    if (last || d.status != Z_OK)
        return;
    Slot& next = slotOf(d, d.filling);
    std::memcpy(next.input, slot.input + deflateBlockSize, dictionarySize);  // the block's last 32 KiB
    next.dictionaryLength = dictionarySize;
    next.length = 0;
}

void releaseAll(BlockDeflater* d)
{
    if (d->slots != nullptr)
        for (int i = 0; i < d->slotCount; ++i) {
            delete[] d->slots[i].input;
            delete[] d->slots[i].output;
        }
    delete[] d->slots;
    for (int i = 0; i < d->workerLimit; ++i)
        if (d->workers[i].z.state != nullptr)
            deflateEnd(&d->workers[i].z);
    delete[] d->workers;
    if (d->lock != nullptr)
        destroyLock(d->lock);
    if (d->workReady != nullptr)
        destroySignal(d->workReady);
    if (d->blockDone != nullptr)
        destroySignal(d->blockDone);
    delete d;
}

} // namespace

BlockDeflater* openBlockDeflater(int level, int strategy, int threads, DeflatedSink sink, void* context)
{
    auto* d = new BlockDeflater;
    d->sink = sink;
    d->context = context;
    d->level = level;
    d->strategy = strategy;
    d->workerLimit = threads < 1 ? 1 : threads;
    d->workers = new Worker[d->workerLimit];
    d->slotCount = d->workerLimit < 2 ? 2 : 2 * d->workerLimit;
    d->slots = new Slot[d->slotCount];
    for (int i = 0; i < d->slotCount; ++i) {
        d->slots[i].input = new unsigned char[dictionarySize + deflateBlockSize];
        d->slots[i].output = new unsigned char[outputCapacity];
    }
    if (!initDeflate(*d, d->workers[0])) {
        releaseAll(d);
        return nullptr;
    }
    return d;
}

int writeBlocks(BlockDeflater* d, const void* bytes, int32_t count)
{
    const auto* from = static_cast<const unsigned char*>(bytes);
    while (count > 0 && d->status == Z_OK) {
        Slot& slot = slotOf(*d, d->filling);
        // A full block is handed over only once more bytes follow, so the
        // last block is never an empty one.
        if (slot.length == deflateBlockSize) {
            handOver(*d, false);
            continue;
        }
        const int32_t room = deflateBlockSize - slot.length;
        const int32_t n = count < room ? count : room;
        std::memcpy(slot.input + dictionarySize + slot.length, from, static_cast<std::size_t>(n));
        slot.length += n;
        from += n;
        count -= n;
    }
    return d->status;
}

int finishBlocks(BlockDeflater* d)
{
    if (d->status == Z_OK)
        handOver(*d, true);
    stopBlockWorkers(d);
    return d->status;
}

void stopBlockWorkers(BlockDeflater* d)
{
    if (d->workersRunning == 0)
        return;
    acquireLock(d->lock);
    d->stopping = true;
    wakeAll(d->workReady);
    releaseLock(d->lock);
    for (int i = 0; i < d->workersRunning; ++i)
        joinThread(d->workers[i].thread);
    d->workersRunning = 0;
}

void closeBlockDeflater(BlockDeflater* d)
{
    if (d == nullptr)
        return;
    stopBlockWorkers(d);
    releaseAll(d);
}
