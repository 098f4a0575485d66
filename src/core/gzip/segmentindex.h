// The segment index: where a packer's gzip member can be entered without
// inflating what comes before.
//
// The packer starts a block without a dictionary every segmentSize bytes of
// the uncompressed stream, on a byte boundary, so segment k (uncompressed
// bytes k*segmentSize onward) inflates on its own as raw deflate from its
// compressed start. The member stays one valid gzip member. The index
// follows it inside the stream area, so it is read from the area's end:
//
//   0       4 bytes   segment size, little-endian
//   4       4 bytes   segment count N (at least 1)
//   8       8N bytes  each segment's compressed start, counted from the
//                     member's first byte, 64-bit little-endian, rising
//   8+8N    4 bytes   the record's own length, 20 + 8N
//   12+8N   8 bytes   the tag "zopsegix"
//
// A stream area without the tag at its end has no index (every reader
// already ignores bytes after the member). An index that is there but does
// not hold together is damage.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr std::string_view segmentIndexTag = "zopsegix";
// The index's fixed part: size, count, length and tag.
constexpr int64_t segmentIndexFixedSize = 20;
// The bytes at the area's end that say whether, and how long, an index is.
constexpr int64_t segmentIndexFooterSize = 12;
// A stream area holds less than 2 GiB, so no index lists more segments than
// 2 GiB has deflate blocks; a longer one is damage, never read into memory.
constexpr int64_t segmentIndexMostSegments = (int64_t{1} << 31) / (128 * 1024);

struct SegmentIndex {
    int64_t segmentSize = 0;
    int64_t memberLength = 0;        // the member's bytes: the index starts there
    std::vector<int64_t> starts;     // compressed start of each segment
};

// The record for these starts; needs a count of at least one.
std::string encodeSegmentIndex(int64_t segmentSize, const std::vector<int64_t>& starts);

enum class IndexFooter { none, present, damaged };
// Reads the last segmentIndexFooterSize bytes of a stream area of
// areaLength bytes: none when the tag is not there; present, with the
// record's length, when it is and the length can be an index in such an
// area; damaged otherwise.
IndexFooter readSegmentIndexFooter(std::string_view footer, int64_t areaLength, int64_t& recordLength);

// Decodes the record (the area's last recordLength bytes) of a stream area
// of areaLength bytes. False when it does not hold together: a count that
// does not match its length, a segment size that is not a whole number of
// deflate blocks, starts that do not rise, or a start before the shortest
// gzip header or too late to leave room for a final block and the member's
// trailer.
bool decodeSegmentIndex(std::string_view record, int64_t areaLength, SegmentIndex& index);

// Where segment k's uncompressed bytes start.
inline int64_t segmentOffset(const SegmentIndex& index, std::size_t k)
{
    return static_cast<int64_t>(k) * index.segmentSize;
}
