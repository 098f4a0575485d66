// Fuzz target: the segment index reader. The input is a whole stream area;
// whatever its last bytes claim, the reader either says there is no index,
// refuses it, or gives one that holds together: rising starts inside the
// member, a member and an index that make up the area exactly, and a record
// that writes back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/gzip/segmentindex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string_view area(reinterpret_cast<const char*>(data), size);
    const auto areaLength = static_cast<int64_t>(size);
    if (areaLength < segmentIndexFooterSize)
        return 0;
    int64_t length = 0;
    if (readSegmentIndexFooter(area.substr(size - segmentIndexFooterSize), areaLength, length) !=
        IndexFooter::present)
        return 0;
    if (length > areaLength)
        std::abort();
    const std::string_view record = area.substr(size - static_cast<std::size_t>(length));
    SegmentIndex index;
    if (!decodeSegmentIndex(record, areaLength, index))
        return 0;
    if (index.starts.empty() || index.memberLength + length != areaLength || index.starts.front() < 10)
        std::abort();
    for (std::size_t k = 1; k < index.starts.size(); ++k)
        if (index.starts[k] <= index.starts[k - 1])
            std::abort();
    if (index.starts.back() + 10 > index.memberLength)
        std::abort();
    if (encodeSegmentIndex(index.segmentSize, index.starts) != record)
        std::abort();
    return 0;
}
