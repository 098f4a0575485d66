// Chunked transfers: every bulk movement of bytes goes through one
// 100000-byte block that lives on the calling routine's stack.
#pragma once
#include <cstdint>
#include "runtime/files.h"

struct GzStream;

constexpr int32_t transferBlockSize = 100000;

void skipFile(BinaryFile& file, int32_t n);
void copyFileToFile(BinaryFile& source, BinaryFile& destination, int32_t n);
// copyFileToFile that also carries a CRC-32 (zlib's) over the bytes it
// moves: crc is the value so far (0 to start), the result the value after.
uint32_t copyFileToFileWithCrc(BinaryFile& source, BinaryFile& destination, int32_t n, uint32_t crc);
// Returns how many bytes the stream delivered (its failures are not
// reported: a caller that needs all n bytes compares).
int64_t skipGz(GzStream* stream, int32_t n);
void copyFileToGz(BinaryFile& source, GzStream* stream, int32_t n);
void copyGzToFile(GzStream* stream, BinaryFile& destination, int32_t n);
