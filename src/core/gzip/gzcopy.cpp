// Moves bytes between files and gzip streams, block by block.
#include "core/gzip/gzcopy.h"

#include "core/gzip/gzstream.h"
#include "core/bytes/transferblock.h"

uint16_t skipGz(GzStream* stream, int32_t n, int64_t& delivered)
{
    delivered = 0;
    return forEachBlock(n, [&](unsigned char* block, int32_t size) {
        const int32_t got = readGz(stream, block, size);
        if (got > 0)
            delivered += got;
        return got < 0 ? gzFailure(stream) : uint16_t{0};
    });
}

// The header before these bytes already announced n of them: a source that
// delivers fewer (it shrank while being packed) would leave a stream whose
// later entries are read from the wrong place, so that is a failure.
uint16_t copyFileToGz(BinaryFile& source, GzStream* stream, int32_t n, void (*afterBlock)(int32_t bytes))
{
    int64_t delivered = 0;
    const uint16_t code = forEachBlock(n, [&](unsigned char* block, int32_t size) {
        const int32_t got = readCounted(source, block, size);
        if (const uint16_t failure = ioResult(); failure != 0)
            return failure;
        writeGz(stream, block, got);
        if (const uint16_t failure = gzFailure(stream); failure != 0)
            return failure;
        delivered += got;
        if (afterBlock != nullptr)
            afterBlock(got);
        return uint16_t{0};
    });
    if (code != 0)
        return code;
    return delivered < n ? uint16_t{ioReadPastEnd} : uint16_t{0};
}

// The destination receives exactly what the stream delivers. A damaged
// stream (a negative result) and a stream that ends before n bytes arrived
// are both failures: a silently truncated file would look complete.
uint16_t copyGzToFile(GzStream* stream, BinaryFile& destination, int32_t n)
{
    int64_t delivered = 0;
    const uint16_t code = forEachBlock(n, [&](unsigned char* block, int32_t size) {
        const int32_t got = readGz(stream, block, size);
        if (got < 0)
            return gzFailure(stream) != 0 ? gzFailure(stream) : uint16_t{ioInvalidInput};
        writeBlock(destination, block, got);
        if (const uint16_t failure = ioResult(); failure != 0)
            return failure;
        delivered += got;
        return uint16_t{0};
    });
    if (code != 0)
        return code;
    return delivered < n ? uint16_t{ioReadPastEnd} : uint16_t{0};
}
