// Copies between files and passes over file bytes, block by block.
#include "core/bytes/filecopy.h"

#include <zlib.h>

#include "core/bytes/transferblock.h"
#include "runtime/failure/failure.h"

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

uint32_t copyFileToFileWithDigests(BinaryFile& source, BinaryFile& destination, int32_t n, uint32_t crc,
                                   Sha256& sha)
{
    copyBetweenFiles(source, destination, n, [&](const unsigned char* block, int32_t got) {
        crc = static_cast<uint32_t>(crc32(crc, block, static_cast<uInt>(got)));
        feedSha256(sha, block, static_cast<std::size_t>(got));
    });
    return crc;
}
