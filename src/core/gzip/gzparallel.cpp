// Deflate in fixed blocks, on every core. The caller's thread fills the
// blocks in a ring of slots, hands each full one to the workers and writes
// the finished ones out in order; a worker only ever touches the slot it
// took and its own deflate state. Every buffer is allocated when the
// deflater is opened, so memory stays the same whatever the stream's size:
// two slots per worker, each holding a block, its dictionary and room for
// its compressed bytes.
#include "core/gzip/gzparallel.h"

#include <cstring>
#include <vector>
#include <zlib.h>

#include "runtime/threads/orderedqueue.h"

namespace {

constexpr int32_t dictionarySize = 32 * 1024;
constexpr int32_t blocksPerSegment = segmentSize / deflateBlockSize;
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
    // Set by whoever deflated it, before the queue marks the block finished.
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

    // Blocks in stream order, one queue item each: the one being filled is
    // the reserved item, the workers take the published ones, and the
    // caller's thread writes them out and retires them in order. With
    // workers allowed the queue has its lock from the start.
    OrderedQueue queue;
    Slot* slots = nullptr;
    int32_t nextWritten = 0;

    // Compressed bytes handed to the sink so far, and where each segment
    // started among them.
    int64_t compressedOut = 0;
    std::vector<int64_t> segmentStarts;

    // Each with its own deflate state, made when the workers start; the
    // first one's, made at once, also serves the caller's thread while no
    // worker runs.
    Worker* workers = nullptr;
    int workerLimit = 0;
    int workersRunning = 0;
    bool workersTried = false;
};

namespace {

Slot& slotFor(BlockDeflater& d, int32_t block) { return d.slots[slotOf(d.queue, block)]; }

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

int deflateBlock(void* context, int32_t block)
{
    Worker& worker = *static_cast<Worker*>(context);
    Slot& slot = slotFor(*worker.deflater, block);
    deflateSlot(worker.z, slot);
    return slot.status;
}

void runWorker(void* context)
{
    serveItems(static_cast<Worker*>(context)->deflater->queue, deflateBlock, context);
}

bool initDeflate(BlockDeflater& d, Worker& worker)
{
    return deflateInit2(&worker.z, d.level, Z_DEFLATED, -MAX_WBITS, 8, d.strategy) == Z_OK;
}

// Starts the workers, once. Those the system refuses a thread or memory
// for are done without: the bytes are the same with fewer.
void startWorkers(BlockDeflater& d)
{
    if (d.workerLimit < 2 || d.workersTried)
        return;
    d.workersTried = true;
    for (int i = 0; i < d.workerLimit; ++i) {
        Worker& worker = d.workers[i];
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
bool deflated(BlockDeflater& d, int32_t block, bool wait)
{
    lockQueue(d.queue);
    if (wait && d.workersRunning == 0 && isWaiting(d.queue, block)) {
        takeItem(d.queue, block);
        finishItem(d.queue, block, deflateBlock(&d.workers[0], block));
    }
    while (wait && !isFinished(d.queue, block))
        waitForWorkers(d.queue);
    const bool done = isFinished(d.queue, block);
    unlockQueue(d.queue);
    return done;
}

// Writes out the next block, which is deflated. A failed block or a failed
// sink stops the workers and the stream.
void writeOut(BlockDeflater& d)
{
    Slot& slot = slotFor(d, d.nextWritten);
    if (slot.status != Z_OK) {
        stopBlockWorkers(&d);
        d.status = slot.status;
        return;
    }
    if (d.nextWritten % blocksPerSegment == 0)
        d.segmentStarts.push_back(d.compressedOut);
    if (!d.sink(d.context, slot.output, slot.outputLength)) {
        stopBlockWorkers(&d);
        d.status = Z_ERRNO;
        return;
    }
    d.compressedOut += slot.outputLength;
    lockQueue(d.queue);
    retireItem(d.queue, d.nextWritten);
    unlockQueue(d.queue);
    ++d.nextWritten;
}

// Writes out the deflated blocks in order, waiting for those up to
// `through` when they are not deflated yet.
void writeFinished(BlockDeflater& d, int32_t through)
{
    while (d.status == Z_OK && d.nextWritten < d.queue.published && deflated(d, d.nextWritten, d.nextWritten <= through))
        writeOut(d);
}

// Hands the block being filled over for deflating, and makes the next slot
// ready to fill: free, with the last 32 KiB of this block as its dictionary.
void handOver(BlockDeflater& d, bool last)
{
    const int32_t block = d.queue.published;
    Slot& slot = slotFor(d, block);
    slot.last = last;
    // Every block before this one is full, and so is this one unless it is
    // the last: the workers start once that much reaches the threshold and
    // more follows.
    if (!last && (static_cast<int64_t>(block) + 1) * deflateBlockSize >= parallelThreshold)
        startWorkers(d);
    lockQueue(d.queue);
    publishItem(d.queue);
    unlockQueue(d.queue);
    // Without workers the block is deflated now. With them, the slot to
    // fill next held the block slotCount before: that one must be out.
    writeFinished(d, last || d.workersRunning == 0 ? block : block + 1 - d.queue.capacity);
    if (last || d.status != Z_OK)
        return;
    lockQueue(d.queue);
    Slot& next = slotFor(d, reserveItem(d.queue));
    unlockQueue(d.queue);
    std::memcpy(next.input, slot.input + deflateBlockSize, dictionarySize);  // the block's last 32 KiB
    next.dictionaryLength = (block + 1) % blocksPerSegment == 0 ? 0 : dictionarySize;
    next.length = 0;
}

void releaseAll(BlockDeflater* d)
{
    if (d->slots != nullptr)
        for (int i = 0; i < d->queue.capacity; ++i) {
            delete[] d->slots[i].input;
            delete[] d->slots[i].output;
        }
    delete[] d->slots;
    for (int i = 0; i < d->workerLimit; ++i)
        if (d->workers[i].z.state != nullptr)
            deflateEnd(&d->workers[i].z);
    delete[] d->workers;
    closeQueue(d->queue);
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
    // Without the lock and signals workers need, the caller's thread does
    // every block: the bytes are the same.
    const int slotCount = d->workerLimit < 2 ? 2 : 2 * d->workerLimit;
    if (!openQueue(d->queue, slotCount, d->workerLimit >= 2)) {
        d->workerLimit = 1;
        if (!openQueue(d->queue, slotCount, false)) {
            delete d;
            return nullptr;
        }
    }
    d->workers = new Worker[d->workerLimit];
    for (int i = 0; i < d->workerLimit; ++i)
        d->workers[i].deflater = d;
    d->slots = new Slot[slotCount];
    for (int i = 0; i < slotCount; ++i) {
        d->slots[i].input = new unsigned char[dictionarySize + deflateBlockSize];
        d->slots[i].output = new unsigned char[outputCapacity];
    }
    if (!initDeflate(*d, d->workers[0])) {
        releaseAll(d);
        return nullptr;
    }
    reserveItem(d->queue);
    return d;
}

int writeBlocks(BlockDeflater* d, const void* bytes, int32_t count)
{
    const auto* from = static_cast<const unsigned char*>(bytes);
    while (count > 0 && d->status == Z_OK) {
        Slot& slot = slotFor(*d, d->queue.published);
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

int32_t deflatedSegments(const BlockDeflater* d)
{
    return static_cast<int32_t>(d->segmentStarts.size());
}

int64_t segmentStart(const BlockDeflater* d, int32_t k)
{
    return d->segmentStarts[static_cast<std::size_t>(k)];
}

void stopBlockWorkers(BlockDeflater* d)
{
    if (d->workersRunning == 0)
        return;
    lockQueue(d->queue);
    stopQueue(d->queue);
    unlockQueue(d->queue);
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
