// Transfers between files and the gzip stream layer, through the same
// 100000-byte block as the file-to-file copies.
#pragma once
#include <cstdint>
#include "runtime/fs/files.h"

struct GzStream;

// Returns how many bytes the stream delivered (its failures are not
// reported: a caller that needs all n bytes compares).
int64_t skipGz(GzStream* stream, int32_t n);
void copyFileToGz(BinaryFile& source, GzStream* stream, int32_t n);
void copyGzToFile(GzStream* stream, BinaryFile& destination, int32_t n);
