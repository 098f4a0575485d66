// The five chunked transfer routines. They share one block loop: a count n
// is moved as n / 100000 full blocks followed by one final block of the
// remainder, which is transferred even when it is empty.
#include "core/transfer.h"

#include <zlib.h>

#include "core/gzstream.h"
#include "runtime/failure.h"
#include "runtime/stopsignals.h"

namespace {

// Runs step(block, size) once per block. The block lives on the stack of the
// calling routine for the duration of the call. Every block is a checkpoint
// for a request to stop (see stopsignals.h). A negative count moves
// nothing: it can only come from a damaged container, and a negative size
// must never reach a read or a write.
template <typename Step>
inline __attribute__((always_inline)) void forEachBlock(int32_t n, Step step)
{
    alignas(16) unsigned char block[transferBlockSize];
    if (n < 0)
        n = 0;
    const int32_t q = n / transferBlockSize;
    for (int32_t i = q; i >= 0; --i) {
        const int32_t size = i != 0 ? transferBlockSize : n - q * transferBlockSize;
        stopIfRequested();
        step(block, size);
    }
}

} // namespace

void skipFile(BinaryFile& file, int32_t n)
{
    forEachBlock(n, [&](unsigned char* block, int32_t size) {
        readBlock(file, block, size);
        checkIo();
    });
}

namespace {

// The file-to-file copy; moved(block, count) sees every block once written.
template <typename Moved>
inline __attribute__((always_inline)) void copyBetweenFiles(BinaryFile& source, BinaryFile& destination,
                                                            int32_t n, Moved moved)
{
    forEachBlock(n, [&](unsigned char* block, int32_t size) {
        const int32_t got = readCounted(source, block, size);
        checkIo();
        writeBlock(destination, block, got);
        checkIo();
        moved(block, got);
    });
}

} // namespace

void copyFileToFile(BinaryFile& source, BinaryFile& destination, int32_t n)
{
    copyBetweenFiles(source, destination, n, [](const unsigned char*, int32_t) {});
}

uint32_t copyFileToFileWithCrc(BinaryFile& source, BinaryFile& destination, int32_t n, uint32_t crc)
{
    copyBetweenFiles(source, destination, n, [&](const unsigned char* block, int32_t got) {
        crc = static_cast<uint32_t>(crc32(crc, block, static_cast<uInt>(got)));
    });
    return crc;
}

int64_t skipGz(GzStream* stream, int32_t n)
{
    int64_t delivered = 0;
    forEachBlock(n, [&](unsigned char* block, int32_t size) {
        const int32_t got = readGz(stream, block, size);
        if (got > 0)
            delivered += got;
    });
    return delivered;
}

// The header before these bytes already announced n of them: a source that
// delivers fewer (it shrank while being packed) would leave a stream whose
// later entries are read from the wrong place, so that ends the process.
void copyFileToGz(BinaryFile& source, GzStream* stream, int32_t n)
{
    int64_t delivered = 0;
    forEachBlock(n, [&](unsigned char* block, int32_t size) {
        const int32_t got = readCounted(source, block, size);
        checkIo();
        writeGz(stream, block, got);
        delivered += got;
    });
    if (delivered < n)
        failWithIoCode(ioReadPastEnd);
}

// The destination receives exactly what the stream delivers. A damaged
// stream (a negative result) and a stream that ends before n bytes arrived
// both end the process: a silently truncated file would look complete.
void copyGzToFile(GzStream* stream, BinaryFile& destination, int32_t n)
{
    int64_t delivered = 0;
    forEachBlock(n, [&](unsigned char* block, int32_t size) {
        const int32_t got = readGz(stream, block, size);
        if (got < 0)
            failWithIoCode(ioInvalidInput);
        writeBlock(destination, block, got);
        checkIo();
        delivered += got;
    });
    if (delivered < n)
        failWithIoCode(ioReadPastEnd);
}
