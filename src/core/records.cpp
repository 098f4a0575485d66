// Recognising and reading the trailer at the end of a packed executable.
#include "core/records.h"

#include <algorithm>

#include "core/image.h"
#include "core/littleendian.h"
#include "core/transfer.h"
#include "runtime/failure.h"
#include "runtime/files.h"

namespace {

constexpr std::string_view crcMarker = "CRC1";
// The marker and the CRC-32 sit in the signature's filler, at trailer
// offsets 339 to 346.
constexpr std::size_t crcMarkerAt = recognitionString.size();
static_assert(crcMarkerAt + 8 <= sizeof(tail{}.signature.bytes));

// A signed file: the trailer lies before the certificate table and the
// padding. The trailer itself may end with zero bytes (the high bytes of
// entryCount), so the padding is found by trying each length of zero bytes
// in front of the table, shortest first, for a recognised trailer.
int32_t readTrailerBeforeCertificate(std::string_view path, const ImageLayout& layout, tail& t)
{
    const int32_t tableAt = static_cast<int32_t>(layout.certificateOffset);
    const int32_t padding =
        static_cast<int32_t>(std::min<int64_t>(maxSigningPadding, layout.certificateOffset - layout.sectionsEnd));
    unsigned char window[tailSize + maxSigningPadding];
    const int32_t windowSize = tailSize + padding;
    BinaryFile file;
    assignFile(file, path);
    openFile(file, 1);
    checkIo();
    skipFile(file, tableAt - windowSize);
    readBlock(file, window, windowSize);
    checkIo();
    closeFile(file);
    checkIo();

    int32_t zeros = 0;
    while (zeros < padding && window[windowSize - 1 - zeros] == 0)
        ++zeros;
    for (int32_t pad = 0; pad <= zeros; ++pad) {
        std::memcpy(&t, window + windowSize - pad - tailSize, tailSize);
        if (isPackedTrailer(t))
            return tableAt - pad;
    }
    // No packed file (a signed bare stub): its bytes end before all the
    // padding, and t holds the last 520 of them.
    return tableAt - zeros;
}

} // namespace

bool isPackedTrailer(const tail& t)
{
    return t.signature.view() == recognitionString;
}

int32_t readTrailer(std::string_view path, tail& t)
{
    const ImageLayout layout = readImageLayoutOf(path, true);
    if (endsWithCertificateTable(layout) && layout.certificateOffset >= tailSize + maxSigningPadding)
        return readTrailerBeforeCertificate(path, layout, t);
    BinaryFile file;
    assignFile(file, path);
    checkIo();
    openFile(file, 1);
    checkIo();
    const int32_t size = fileSize(file);
    checkIo();
    // The file is passed over, never seeked in: the trailer is reached by
    // reading everything before it.
    skipFile(file, size - tailSize);
    readBlock(file, &t, tailSize);
    checkIo();
    closeFile(file);
    checkIo();
    return size;
}

void storeStreamCrc(tail& t, uint32_t crc)
{
    char* at = t.signature.bytes + crcMarkerAt;
    std::memcpy(at, crcMarker.data(), crcMarker.size());
    storeLittleEndian32(reinterpret_cast<unsigned char*>(at + crcMarker.size()), crc);
}

bool storedStreamCrc(const tail& t, uint32_t& crc)
{
    const char* at = t.signature.bytes + crcMarkerAt;
    if (std::string_view(at, crcMarker.size()) != crcMarker)
        return false;
    crc = loadLittleEndian32(reinterpret_cast<const unsigned char*>(at + crcMarker.size()));
    return true;
}
