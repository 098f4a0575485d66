// Room core/bytes: the transfer block loop, file-to-file copies, CRC-32 and
// SHA-256 on the way, text helpers, little-endian numbers. May include:
// runtime (docs/architecture.md).
//
// File-to-file transfers: every bulk movement of bytes between files goes
// through one 100000-byte block that lives on the calling routine's stack.
// Every block is a checkpoint for a request to stop.
#pragma once
#include <cstdint>
#include "core/bytes/sha256.h"
#include "runtime/fs/files.h"

void skipFile(BinaryFile& file, int32_t n);
void copyFileToFile(BinaryFile& source, BinaryFile& destination, int32_t n);
// copyFileToFile that also carries a CRC-32 (zlib's) over the bytes it
// moves: crc is the value so far (0 to start), the result the value after.
uint32_t copyFileToFileWithCrc(BinaryFile& source, BinaryFile& destination, int32_t n, uint32_t crc);
// copyFileToFileWithCrc that also feeds the bytes to sha.
uint32_t copyFileToFileWithDigests(BinaryFile& source, BinaryFile& destination, int32_t n, uint32_t crc,
                                   Sha256& sha);
