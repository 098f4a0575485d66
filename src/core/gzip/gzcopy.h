// Transfers between files and the gzip stream layer, through the same
// 100000-byte block as the file-to-file copies. Each returns its result: 0,
// or the I/O code of the first failure (ioStopRequested for a request to
// stop), the rest of the transfer not done.
#pragma once
#include <cstdint>
#include "runtime/fs/files.h"

struct GzStream;

// delivered: how many bytes the stream delivered (damage is not reported:
// a caller that needs all n bytes compares; a failed file read and a
// request to stop are, see gzFailure).
[[nodiscard]] uint16_t skipGz(GzStream* stream, int32_t n, int64_t& delivered);
// afterBlock, when given, hears how many bytes each block moved (the
// packer's progress line).
[[nodiscard]] uint16_t copyFileToGz(BinaryFile& source, GzStream* stream, int32_t n,
                                    void (*afterBlock)(int32_t bytes) = nullptr);
[[nodiscard]] uint16_t copyGzToFile(GzStream* stream, BinaryFile& destination, int32_t n);
