// Copies between files and passes over file bytes, block by block.
#include "core/bytes/filecopy.h"

#include <zlib.h>

#include "core/bytes/transferblock.h"

uint16_t skipFile(BinaryFile& file, int32_t n)
{
    return forEachBlock(n, [&](unsigned char* block, int32_t size) {
        readBlock(file, block, size);
        return ioResult();
    });
}

uint16_t copyFileToFile(BinaryFile& source, BinaryFile& destination, int32_t n, uint32_t* crc, Sha256* sha)
{
    return forEachBlock(n, [&](unsigned char* block, int32_t size) {
        const int32_t got = readCounted(source, block, size);
        if (const uint16_t code = ioResult(); code != 0)
            return code;
        writeBlock(destination, block, got);
        if (const uint16_t code = ioResult(); code != 0)
            return code;
        if (crc != nullptr)
            *crc = static_cast<uint32_t>(crc32(*crc, block, static_cast<uInt>(got)));
        if (sha != nullptr)
            feedSha256(*sha, block, static_cast<std::size_t>(got));
        return uint16_t{0};
    });
}
