// Segments inflate as raw deflate without a dictionary: the packer started
// each one afresh, so a reference before the segment's start is damage.
// The reader hands them out in stream order; worker threads inflate the
// segments after the one being handed out.
#include "core/gzip/gzsegments.h"

#include <cstring>
#include <string>
#include <zlib.h>

#include "core/bytes/littleendian.h"
#include "runtime/base/iocodes.h"
#include "runtime/fs/files.h"
#include "runtime/signals/stopsignals.h"
#include "runtime/threads/orderedqueue.h"

bool inflateSegment(const unsigned char* in, int64_t inLength, unsigned char* out, int64_t segmentSize, bool last,
                    bool only, InflatedSegment& result)
{
    // Callers keep segments far below zlib's 32-bit counts (the index
    // allows at most 64 MiB, and compressedSegmentLimit bounds the input).
    if (inLength < 0 || inLength > compressedSegmentLimit(segmentSize))
        return false;
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return false;
    z.next_in = const_cast<unsigned char*>(in);
    z.avail_in = static_cast<uInt>(inLength);
    z.next_out = out;
    // One byte of room past the segment: a segment that would give more
    // shows it instead of leaving input behind.
    z.avail_out = static_cast<uInt>(segmentSize + 1);
    // One call goes as far as the input, the room or the data allow.
    const int status = inflate(&z, Z_SYNC_FLUSH);
    const int64_t produced = static_cast<int64_t>(z.total_out);
    const bool usedAll = z.avail_in == 0;
    // zlib's report of where it stopped: exactly 128 means between blocks,
    // on a byte boundary, not in the last block, as a segment before the
    // last must end (a cut inside the flush marker ends mid-header).
    const bool betweenBlocks = z.data_type == 128;
    inflateEnd(&z);
    const bool whole = last ? status == Z_STREAM_END && usedAll && produced <= segmentSize && (produced > 0 || only)
                            : status == Z_OK && usedAll && betweenBlocks && produced == segmentSize;
    if (!whole)
        return false;
    result.length = produced;
    result.crc = static_cast<uint32_t>(crc32_z(0, out, static_cast<z_size_t>(produced)));
    return true;
}

// ---------------------------------------------------------------- reading

namespace {

// The packer's member header: no name, no time, no flags, so 10 bytes.
constexpr unsigned char packerHeader[4] = {0x1F, 0x8B, 8, 0};
constexpr int64_t packerHeaderSize = 10;
constexpr int64_t memberTrailerSize = 8;

struct SegmentSlot {
    unsigned char* input = nullptr;
    unsigned char* output = nullptr;
    int64_t inputLength = 0;
    bool last = false;
    InflatedSegment result;  // set by whoever inflated it, before it is finished
};

struct SegmentWorker {
    SegmentReader* reader = nullptr;
    WorkerThread* thread = nullptr;
};

} // namespace

struct SegmentReader {
    BinaryFile file;
    SegmentIndex index;
    uint32_t storedCrc = 0;
    uint32_t storedLength = 0;

    // Segments in stream order, one queue item each: the caller's thread
    // reads a segment's compressed bytes into a free slot and publishes it,
    // a worker inflates it, the caller's thread delivers it and retires it.
    OrderedQueue queue;
    SegmentSlot* slots = nullptr;
    SegmentWorker* workers = nullptr;
    int workersRunning = 0;

    int32_t current = 0;    // the segment being delivered
    int64_t handedOut = 0;  // of its bytes
    bool holding = false;   // current is inflated and being delivered
    uint32_t crc = 0;       // of every segment delivered
    int64_t total = 0;
    int status = segmentsOk;
};

namespace {

SegmentSlot& slotFor(SegmentReader& r, int32_t segment)
{
    return r.slots[slotOf(r.queue, segment)];
}

int32_t segmentCount(const SegmentReader& r)
{
    return static_cast<int32_t>(r.index.starts.size());
}

// Where segment k's compressed bytes end: the next one's start, or the
// member's trailer.
int64_t compressedEnd(const SegmentReader& r, int32_t k)
{
    return k + 1 < segmentCount(r) ? r.index.starts[k + 1] : r.index.memberLength - memberTrailerSize;
}

void inflateSlot(SegmentReader& r, SegmentSlot& slot)
{
    if (!inflateSegment(slot.input, slot.inputLength, slot.output, r.index.segmentSize, slot.last,
                        segmentCount(r) == 1, slot.result))
        slot.result.length = -1;
}

int inflateSegmentItem(void* context, int32_t segment)
{
    SegmentReader& r = *static_cast<SegmentReader*>(context);
    SegmentSlot& slot = slotFor(r, segment);
    inflateSlot(r, slot);
    return slot.result.length < 0 ? 1 : 0;
}

void runSegmentWorker(void* context)
{
    SegmentReader& r = *static_cast<SegmentWorker*>(context)->reader;
    serveItems(r.queue, inflateSegmentItem, &r);
}

// Reads count bytes at offset of the stream file; false on any failure.
bool readAt(SegmentReader& r, int64_t offset, void* buffer, int64_t count)
{
    seekFile(r.file, static_cast<int32_t>(offset));
    readBlock(r.file, buffer, static_cast<int32_t>(count));
    return ioResult() == 0;
}

// Publishes segments while slots are free: their compressed bytes read
// here, on the caller's thread, which owns the file.
bool publishSegments(SegmentReader& r)
{
    for (;;) {
        lockQueue(r.queue);
        const int32_t k = r.queue.published;
        const bool room = k < segmentCount(r) && nextSlotFree(r.queue);
        if (room)
            reserveItem(r.queue);
        unlockQueue(r.queue);
        if (!room)
            return true;
        SegmentSlot& slot = slotFor(r, k);
        slot.inputLength = compressedEnd(r, k) - r.index.starts[k];
        slot.last = k + 1 == segmentCount(r);
        if (!readAt(r, r.index.starts[k], slot.input, slot.inputLength))
            return false;
        lockQueue(r.queue);
        publishItem(r.queue);
        if (k + 1 == segmentCount(r))
            endItems(r.queue);
        unlockQueue(r.queue);
    }
}

// Waits until the current segment is inflated (inflating it here when no
// worker runs); false when it could not be, or a request to stop came.
bool awaitCurrent(SegmentReader& r)
{
    lockQueue(r.queue);
    if (r.workersRunning == 0 && isWaiting(r.queue, r.current)) {
        takeItem(r.queue, r.current);
        finishItem(r.queue, r.current, inflateSegmentItem(&r, r.current));
    }
    // A request to stop ends the wait: the segment is not had, and the
    // reader of the stream hands the request on (gzFailure).
    while (!isFinished(r.queue, r.current)) {
        if (pendingStop() != 0) {
            unlockQueue(r.queue);
            return false;
        }
        waitForWorkersOrStop(r.queue);
    }
    unlockQueue(r.queue);
    return slotFor(r, r.current).result.length >= 0;
}

void startSegmentWorkers(SegmentReader& r, int threads)
{
    for (int i = 0; i < threads; ++i) {
        SegmentWorker& worker = r.workers[i];
        worker.reader = &r;
        worker.thread = startThread(runSegmentWorker, &worker);
        if (worker.thread == nullptr)
            break;
        ++r.workersRunning;
    }
}

void stopSegmentWorkers(SegmentReader& r)
{
    if (r.workersRunning == 0)
        return;
    lockQueue(r.queue);
    stopQueue(r.queue);
    unlockQueue(r.queue);
    for (int i = 0; i < r.workersRunning; ++i)
        joinThread(r.workers[i].thread);
    r.workersRunning = 0;
}

// The member's own framing around the segments: the packer's header, the
// first segment right after it, every segment small enough to be real, and
// the CRC-32 and length the trailer holds.
bool readFraming(SegmentReader& r)
{
    unsigned char header[packerHeaderSize];
    unsigned char trailer[memberTrailerSize];
    if (!readAt(r, 0, header, packerHeaderSize) ||
        !readAt(r, r.index.memberLength - memberTrailerSize, trailer, memberTrailerSize))
        return false;
    if (std::memcmp(header, packerHeader, sizeof packerHeader) != 0 || r.index.starts[0] != packerHeaderSize)
        return false;
    for (int32_t k = 0; k < segmentCount(r); ++k)
        if (compressedEnd(r, k) - r.index.starts[k] > compressedSegmentLimit(r.index.segmentSize))
            return false;
    r.storedCrc = loadLittleEndian32(trailer);
    r.storedLength = loadLittleEndian32(trailer + 4);
    return true;
}

// Reads and checks the index at the end of the open stream file.
SegmentOpen readIndex(SegmentReader& r)
{
    const int64_t size = fileSize(r.file);
    if (ioResult() != 0 || size < segmentIndexFooterSize)
        return SegmentOpen::none;
    char footer[segmentIndexFooterSize];
    if (!readAt(r, size - segmentIndexFooterSize, footer, segmentIndexFooterSize))
        return SegmentOpen::none;
    int64_t length = 0;
    switch (readSegmentIndexFooter(std::string_view(footer, sizeof footer), size, length)) {
    case IndexFooter::none:
        return SegmentOpen::none;
    case IndexFooter::damaged:
        return SegmentOpen::damaged;
    case IndexFooter::present:
        break;
    }
    std::string record(static_cast<std::size_t>(length), '\0');
    if (!readAt(r, size - length, record.data(), length) || !decodeSegmentIndex(record, size, r.index) ||
        !readFraming(r))
        return SegmentOpen::damaged;
    return SegmentOpen::opened;
}

bool allocateSlots(SegmentReader& r, int threads)
{
    if (!openQueue(r.queue, threads, true))
        return false;
    r.slots = new SegmentSlot[threads];
    r.workers = new SegmentWorker[threads];
    for (int i = 0; i < threads; ++i) {
        r.slots[i].input = new unsigned char[compressedSegmentLimit(r.index.segmentSize)];
        r.slots[i].output = new unsigned char[r.index.segmentSize + 1];
    }
    return true;
}

// The current segment is delivered: its CRC joins the stream's, its slot
// goes back, and after the last one the trailer must match.
void finishCurrent(SegmentReader& r)
{
    const InflatedSegment& done = slotFor(r, r.current).result;
    r.crc = static_cast<uint32_t>(crc32_combine(r.crc, done.crc, static_cast<z_off_t>(done.length)));
    r.total += done.length;
    lockQueue(r.queue);
    retireItem(r.queue, r.current);
    unlockQueue(r.queue);
    ++r.current;
    r.holding = false;
    r.handedOut = 0;
    if (r.current == segmentCount(r))
        r.status = r.crc == r.storedCrc && static_cast<uint32_t>(r.total) == r.storedLength ? segmentsEnd
                                                                                              : segmentsDamaged;
}

} // namespace

SegmentOpen openSegmentReader(std::string_view path, int threads, SegmentReader*& reader)
{
    reader = nullptr;
    auto* r = new SegmentReader;
    assignFile(r->file, path);
    openFile(r->file, 1);
    if (ioResult() != 0) {
        delete r;
        return SegmentOpen::none;
    }
    const SegmentOpen found = readIndex(*r);
    if (found != SegmentOpen::opened || !allocateSlots(*r, threads)) {
        closeSegmentReader(r);
        return found == SegmentOpen::damaged ? SegmentOpen::damaged : SegmentOpen::none;
    }
    startSegmentWorkers(*r, threads);
    reader = r;
    return SegmentOpen::opened;
}

int32_t readSegments(SegmentReader* r, void* buffer, int32_t count)
{
    auto* to = static_cast<unsigned char*>(buffer);
    int32_t given = 0;
    while (given < count && r->status == segmentsOk) {
        if (!r->holding) {
            if (!publishSegments(*r) || !awaitCurrent(*r)) {
                r->status = segmentsDamaged;
                break;
            }
            r->holding = true;
        }
        const SegmentSlot& slot = slotFor(*r, r->current);
        const int64_t left = slot.result.length - r->handedOut;
        const int32_t n = left < count - given ? static_cast<int32_t>(left) : count - given;
        std::memcpy(to + given, slot.output + r->handedOut, static_cast<std::size_t>(n));
        given += n;
        r->handedOut += n;
        if (r->handedOut == slot.result.length)
            finishCurrent(*r);
    }
    return r->status == segmentsDamaged ? -1 : given;
}

uint32_t segmentedMemberLength(const SegmentReader* r)
{
    return r->storedLength;
}

int segmentStatus(const SegmentReader* r)
{
    return r->status;
}

void closeSegmentReader(SegmentReader* r)
{
    if (r == nullptr)
        return;
    stopSegmentWorkers(*r);
    if (r->slots != nullptr)
        for (int i = 0; i < r->queue.capacity; ++i) {
            delete[] r->slots[i].input;
            delete[] r->slots[i].output;
        }
    delete[] r->slots;
    delete[] r->workers;
    if (r->queue.capacity > 0)
        closeQueue(r->queue);
    closeFile(r->file);
    ioResult();
    delete r;
}
