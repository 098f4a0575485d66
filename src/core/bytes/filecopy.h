// Room core/bytes: the transfer block loop, file-to-file copies, CRC-32 and
// SHA-256 on the way, text helpers, little-endian numbers. May include:
// runtime (docs/architecture.md).
//
// File-to-file transfers: every bulk movement of bytes between files goes
// through one 100000-byte block that lives on the calling routine's stack.
// Every block is a checkpoint for a request to stop. Each returns its
// result: 0, or the I/O code of the first failure (ioStopRequested for a
// request to stop), the rest of the transfer not done.
#pragma once
#include <cstdint>
#include "core/bytes/sha256.h"
#include "runtime/fs/files.h"

[[nodiscard]] uint16_t skipFile(BinaryFile& file, int32_t n);
// Copies n bytes. When given, crc carries a CRC-32 (zlib's) over the bytes
// moved: it holds the value so far (0 to start), and afterwards the value
// after them; sha is fed the bytes.
[[nodiscard]] uint16_t copyFileToFile(BinaryFile& source, BinaryFile& destination, int32_t n,
                                      uint32_t* crc = nullptr, Sha256* sha = nullptr);
[[nodiscard]] inline uint16_t copyFileToFileWithCrc(BinaryFile& source, BinaryFile& destination, int32_t n,
                                                    uint32_t& crc)
{
    return copyFileToFile(source, destination, n, &crc);
}
[[nodiscard]] inline uint16_t copyFileToFileWithDigests(BinaryFile& source, BinaryFile& destination, int32_t n,
                                                        uint32_t& crc, Sha256& sha)
{
    return copyFileToFile(source, destination, n, &crc, &sha);
}
