// Chunked transfers: every bulk movement of bytes goes through one
// 100000-byte block that lives on the calling routine's stack.
#pragma once
#include <cstdint>
#include "runtime/files.h"

struct GzStream;

constexpr int32_t transferBlockSize = 100000;

void skipFile(BinaryFile& file, int32_t n);
void copyFileToFile(BinaryFile& source, BinaryFile& destination, int32_t n);
// Returns how many bytes the stream delivered (its failures are not
// reported: a caller that needs all n bytes compares).
int64_t skipGz(GzStream* stream, int32_t n);
void copyFileToGz(BinaryFile& source, GzStream* stream, int32_t n);
void copyGzToFile(GzStream* stream, BinaryFile& destination, int32_t n);
