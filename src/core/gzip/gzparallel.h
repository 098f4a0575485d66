// Deflate in fixed blocks, on every core: the compressed side of a writing
// gzip stream.
//
// The uncompressed bytes are cut into blocks of deflateBlockSize. Each block
// is deflated on its own, with the 32 KiB of the stream before it as its
// dictionary, and ends on a byte boundary (sync flush); the last block ends
// the deflate data. Every segmentSize bytes a block starts without a
// dictionary (so does the first): a segment can be inflated on its own,
// from where its compressed bytes start, which the deflater records. The blocks' compressed bytes are
// handed out in stream order. They depend on the bytes written only, never
// on the thread count or on how the writes divide the data, and a stream of
// at most one block is exactly what one deflate call over it gives.
//
// Worker threads deflate blocks side by side; they start only once the
// stream has reached parallelThreshold, so a small stream starts no thread.
// All file work stays with the caller's thread: the sink is called there,
// in order.
#pragma once
#include <cstdint>

struct BlockDeflater;  // opaque; null when creating it failed

constexpr int32_t deflateBlockSize = 128 * 1024;
constexpr int32_t parallelThreshold = 1024 * 1024;
constexpr int32_t segmentSize = 1024 * 1024;
static_assert(segmentSize % deflateBlockSize == 0);

// Receives compressed bytes in stream order: true when it took them all.
// False (its own failure, which it keeps) stops the workers and the stream:
// every later call returns Z_ERRNO.
using DeflatedSink = bool (*)(void* context, const unsigned char* bytes, int32_t count);

// level and strategy as for zlib's deflateInit2 (raw deflate, 32 KiB
// window, memory level 8). threads is the most workers to use (1: none,
// every block is deflated on the caller's thread).
BlockDeflater* openBlockDeflater(int level, int strategy, int threads, DeflatedSink sink, void* context);

// Takes all count bytes: 0 (zlib's Z_OK), or the negative zlib status of a
// block that failed to deflate, Z_ERRNO when the sink failed (the workers
// have then stopped, and every later call returns it again).
int writeBlocks(BlockDeflater* deflater, const void* bytes, int32_t count);

// Ends the deflate data: every block is deflated and handed to the sink.
// 0, or a negative zlib status as for writeBlocks.
int finishBlocks(BlockDeflater* deflater);

// After finishBlocks: how many segments the deflate data holds, and where
// segment k's compressed bytes start (counted from the first byte handed
// to the sink).
int32_t deflatedSegments(const BlockDeflater* deflater);
int64_t segmentStart(const BlockDeflater* deflater, int32_t k);

// Lets the workers end their current block and joins them. Safe to call
// more than once.
void stopBlockWorkers(BlockDeflater* deflater);

// Stops the workers and releases everything.
void closeBlockDeflater(BlockDeflater* deflater);
