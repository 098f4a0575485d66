// Inflating a member's independent segments, each on its own: the worker's
// part of reading a stream that carries a segment index (core/gzip/
// segmentindex.h). Memory to memory: whoever calls it has read the
// segment's compressed bytes already.
#pragma once
#include <cstdint>

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
