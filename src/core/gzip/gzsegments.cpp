// Segments inflate as raw deflate without a dictionary: the packer started
// each one afresh, so a reference before the segment's start is damage.
#include "core/gzip/gzsegments.h"

#include <zlib.h>

bool inflateSegment(const unsigned char* in, int64_t inLength, unsigned char* out, int64_t segmentSize, bool last,
                    bool only, InflatedSegment& result)
{
    // Callers keep segments far below zlib's 32-bit counts (the index
    // allows at most 64 MiB, and compressedSegmentLimit bounds the input).
    if (inLength < 0 || inLength > compressedSegmentLimit(segmentSize))
        return false;
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return false;
    z.next_in = const_cast<unsigned char*>(in);
    z.avail_in = static_cast<uInt>(inLength);
    z.next_out = out;
    // One byte of room past the segment: a segment that would give more
    // shows it instead of leaving input behind.
    z.avail_out = static_cast<uInt>(segmentSize + 1);
    // One call goes as far as the input, the room or the data allow.
    const int status = inflate(&z, Z_SYNC_FLUSH);
    const int64_t produced = static_cast<int64_t>(z.total_out);
    const bool usedAll = z.avail_in == 0;
    // zlib's report of where it stopped: exactly 128 means between blocks,
    // on a byte boundary, not in the last block, as a segment before the
    // last must end (a cut inside the flush marker ends mid-header).
    const bool betweenBlocks = z.data_type == 128;
    inflateEnd(&z);
    const bool whole = last ? status == Z_STREAM_END && usedAll && produced <= segmentSize && (produced > 0 || only)
                            : status == Z_OK && usedAll && betweenBlocks && produced == segmentSize;
    if (!whole)
        return false;
    result.length = produced;
    result.crc = static_cast<uint32_t>(crc32_z(0, out, static_cast<z_size_t>(produced)));
    return true;
}
