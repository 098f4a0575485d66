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

namespace {

// The file-to-file copy; moved(block, count) sees every block once written.
template <typename Moved>
inline __attribute__((always_inline)) uint16_t copyBetweenFiles(BinaryFile& source, BinaryFile& destination,
                                                                int32_t n, Moved moved)
{
    return forEachBlock(n, [&](unsigned char* block, int32_t size) {
        const int32_t got = readCounted(source, block, size);
        if (const uint16_t code = ioResult(); code != 0)
            return code;
        writeBlock(destination, block, got);
        if (const uint16_t code = ioResult(); code != 0)
            return code;
        moved(block, got);
        return uint16_t{0};
    });
}

} // namespace

uint16_t copyFileToFile(BinaryFile& source, BinaryFile& destination, int32_t n)
{
    return copyBetweenFiles(source, destination, n, [](const unsigned char*, int32_t) {});
}

uint16_t copyFileToFileWithCrc(BinaryFile& source, BinaryFile& destination, int32_t n, uint32_t& crc)
{
    return copyBetweenFiles(source, destination, n, [&](const unsigned char* block, int32_t got) {
        crc = static_cast<uint32_t>(crc32(crc, block, static_cast<uInt>(got)));
    });
}

uint16_t copyFileToFileWithDigests(BinaryFile& source, BinaryFile& destination, int32_t n, uint32_t& crc,
                                   Sha256& sha)
{
    return copyBetweenFiles(source, destination, n, [&](const unsigned char* block, int32_t got) {
        crc = static_cast<uint32_t>(crc32(crc, block, static_cast<uInt>(got)));
        feedSha256(sha, block, static_cast<std::size_t>(got));
    });
}
