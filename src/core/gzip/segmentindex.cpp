// The segment index's bytes, written and checked.
#include "core/gzip/segmentindex.h"

#include "core/gzip/gzparallel.h"

static_assert(segmentIndexMostSegments * deflateBlockSize == int64_t{1} << 31);

namespace {

// The shortest gzip member: a 10-byte header, an empty final block (two
// bytes) and the 8-byte trailer.
constexpr int64_t gzipHeaderSize = 10;
constexpr int64_t finalBlockAndTrailer = 2 + 8;
constexpr int64_t largestSegment = 64 * 1024 * 1024;

void putLittleEndian(std::string& out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>(value >> (8 * i)));
}

uint64_t littleEndianAt(std::string_view bytes, std::size_t at, int count)
{
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return value;
}

bool isSegmentSize(uint64_t size)
{
    return size >= static_cast<uint64_t>(deflateBlockSize) && size <= largestSegment &&
           size % deflateBlockSize == 0;
}

}  // namespace

std::string encodeSegmentIndex(int64_t segmentSize, const std::vector<int64_t>& starts)
{
    std::string record;
    putLittleEndian(record, static_cast<uint64_t>(segmentSize), 4);
    putLittleEndian(record, starts.size(), 4);
    for (const int64_t start : starts)
        putLittleEndian(record, static_cast<uint64_t>(start), 8);
    putLittleEndian(record, record.size() + segmentIndexFooterSize, 4);
    record.append(segmentIndexTag);
    return record;
}

IndexFooter readSegmentIndexFooter(std::string_view footer, int64_t areaLength, int64_t& recordLength)
{
    if (footer.size() != static_cast<std::size_t>(segmentIndexFooterSize) || footer.substr(4) != segmentIndexTag)
        return IndexFooter::none;
    recordLength = static_cast<int64_t>(littleEndianAt(footer, 0, 4));
    const bool fits = recordLength >= segmentIndexFixedSize + 8 &&
                      recordLength <= segmentIndexFixedSize + 8 * segmentIndexMostSegments &&
                      recordLength <= areaLength - gzipHeaderSize - finalBlockAndTrailer;
    return fits ? IndexFooter::present : IndexFooter::damaged;
}

bool decodeSegmentIndex(std::string_view record, int64_t areaLength, SegmentIndex& index)
{
    const int64_t length = static_cast<int64_t>(record.size());
    if (length < segmentIndexFixedSize + 8 || length > areaLength)
        return false;
    const uint64_t size = littleEndianAt(record, 0, 4);
    const uint64_t count = littleEndianAt(record, 4, 4);
    if (!isSegmentSize(size) || count == 0 || count != static_cast<uint64_t>(length - segmentIndexFixedSize) / 8 ||
        static_cast<int64_t>(littleEndianAt(record, record.size() - segmentIndexFooterSize, 4)) != length ||
        (length - segmentIndexFixedSize) % 8 != 0)
        return false;
    index.segmentSize = static_cast<int64_t>(size);
    index.memberLength = areaLength - length;
    index.starts.clear();
    index.starts.reserve(count);
    int64_t previous = gzipHeaderSize - 1;
    for (uint64_t k = 0; k < count; ++k) {
        const uint64_t start = littleEndianAt(record, 8 + 8 * k, 8);
        if (start <= static_cast<uint64_t>(previous) ||
            start > static_cast<uint64_t>(index.memberLength - finalBlockAndTrailer))
            return false;
        previous = static_cast<int64_t>(start);
        index.starts.push_back(previous);
    }
    return true;
}
