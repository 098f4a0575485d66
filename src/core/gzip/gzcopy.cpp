// Moves bytes between files and gzip streams, block by block.
#include "core/gzip/gzcopy.h"

#include "core/gzip/gzstream.h"
#include "core/bytes/transferblock.h"
#include "runtime/failure/failure.h"

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
void copyFileToGz(BinaryFile& source, GzStream* stream, int32_t n, void (*afterBlock)(int32_t bytes))
{
    int64_t delivered = 0;
    forEachBlock(n, [&](unsigned char* block, int32_t size) {
        const int32_t got = readCounted(source, block, size);
        checkIo();
        writeGz(stream, block, got);
        delivered += got;
        if (afterBlock != nullptr)
            afterBlock(got);
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
