// Transfers between files and the gzip stream layer, through the same
// 100000-byte block as the file-to-file copies.
#pragma once
#include <cstdint>
#include "runtime/fs/files.h"

struct GzStream;

// Returns how many bytes the stream delivered (its failures are not
// reported: a caller that needs all n bytes compares).
int64_t skipGz(GzStream* stream, int32_t n);
// afterBlock, when given, hears how many bytes each block moved (the
// packer's progress line).
void copyFileToGz(BinaryFile& source, GzStream* stream, int32_t n, void (*afterBlock)(int32_t bytes) = nullptr);
void copyGzToFile(GzStream* stream, BinaryFile& destination, int32_t n);
