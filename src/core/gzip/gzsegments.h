// Reading a stream file whose member carries a segment index (core/gzip/
// segmentindex.h): its segments inflate on worker threads, side by side,
// and come out in stream order.
#pragma once
#include <cstdint>
#include <string_view>

#include "core/gzip/segmentindex.h"

// Room for a segment's compressed bytes that any well-made segment of
// segmentSize bytes fits in (deflate's worst case, stored blocks and the
// flush markers between blocks); a segment that claims more is damage.
constexpr int64_t compressedSegmentLimit(int64_t segmentSize)
{
    return segmentSize + (segmentSize >> 6) + 4096;
}

struct InflatedSegment {
    int64_t length = 0;  // bytes produced
    uint32_t crc = 0;    // their CRC-32
};

// Inflates one segment: in holds its compressed bytes exactly (for the last
// segment, up to the member's trailer), out has room for segmentSize bytes
// and one more. A segment before the last must use all its bytes, give
// exactly segmentSize bytes and not end the deflate data; the last must end
// the deflate data with its last byte and give 1 to segmentSize bytes
// (0 too when it is the only one: an empty stream). Anything else, or data
// zlib cannot inflate without what came before, is damage: false.
bool inflateSegment(const unsigned char* in, int64_t inLength, unsigned char* out, int64_t segmentSize, bool last,
                    bool only, InflatedSegment& result);

// ---------------------------------------------------------------- reading

struct SegmentReader;  // opaque

enum class SegmentOpen {
    none,     // the file has no index (or cannot be read): read it as a plain member
    opened,   // a reader is open
    damaged,  // the file has an index that does not hold together
};

// Opens the stream file at path when it ends in a segment index that holds
// together with the member before it (the packer's 10-byte header, the
// first segment right after it, no segment longer than a real one can be),
// and starts up to `threads` workers (at least 1) that inflate segments
// while earlier ones are handed out; with none started the caller's thread
// inflates each in turn. Memory: `threads` slots of about twice the segment
// size, whatever the stream's size. Runs on the thread that owns the
// program's files (it reads the file through the file services).
SegmentOpen openSegmentReader(std::string_view path, int threads, SegmentReader*& reader);

constexpr int segmentsOk = 0;
constexpr int segmentsEnd = 1;      // every byte handed out, CRC-32 and length right
constexpr int segmentsDamaged = -3; // as the gzip layer's data error

// Hands out up to count bytes of the stream in order: how many (fewer only
// at the end), or -1 once a segment, the member's CRC-32 or its length
// turned out wrong. A stop request while it waits for a worker is answered
// (the process ends through the stop path).
int32_t readSegments(SegmentReader* reader, void* buffer, int32_t count);
// segmentsOk while bytes remain, segmentsEnd once all were handed out and
// the member's trailer matched them, or segmentsDamaged.
int segmentStatus(const SegmentReader* reader);
// The length the member's trailer holds (modulo 2^32), known from opening.
uint32_t segmentedMemberLength(const SegmentReader* reader);
// Stops the workers (each ends with its segment in hand) and releases all.
void closeSegmentReader(SegmentReader* reader);
