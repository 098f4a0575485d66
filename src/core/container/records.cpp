// Recognising and reading the trailer at the end of a packed executable.
#include "core/container/records.h"

#include <algorithm>
#include <cstddef>

#include <zlib.h>

#include "core/container/image.h"
#include "core/bytes/littleendian.h"
#include "core/bytes/filecopy.h"
#include "runtime/base/iocodes.h"
#include "runtime/fs/files.h"

namespace {

constexpr std::string_view crcMarker = "CRC1";
constexpr std::string_view sealTag = "TRL1";
constexpr std::size_t sealSize = 4;
// The marker and the CRC-32 sit in the signature's filler, at trailer
// offsets 339 to 346.
constexpr std::size_t crcMarkerAt = recognitionString.size();
static_assert(crcMarkerAt + 8 <= sizeof(tail{}.signature.bytes));

// Offsets of the filler within the trailer.
constexpr std::size_t signatureBytesAt = offsetof(tail, signature) + 1;
constexpr std::size_t fillerEnd = offsetof(tail, entryCount);
static_assert(signatureBytesAt + crcMarkerAt + 8 == trailerRecordsAt);

unsigned char* trailerBytes(tail& t)
{
    return reinterpret_cast<unsigned char*>(&t);
}

const unsigned char* trailerBytes(const tail& t)
{
    return reinterpret_cast<const unsigned char*>(&t);
}

// Walks the record list; calls visit(offset of the tag, payload size) for
// each record until visit returns true. Returns the offset after the last
// record walked (where the next one would go).
template <typename Visit>
std::size_t walkRecords(const tail& t, Visit visit)
{
    const unsigned char* bytes = trailerBytes(t);
    std::size_t at = trailerRecordsAt;
    while (at + trailerTagSize + 1 <= fillerEnd && bytes[at] != 0) {
        const std::size_t size = bytes[at + trailerTagSize];
        if (at + trailerTagSize + 1 + size > fillerEnd)
            break;
        if (visit(at, size))
            return at;
        at += trailerTagSize + 1 + size;
    }
    return at;
}

std::size_t endOfRecords(const tail& t)
{
    return walkRecords(t, [](std::size_t, std::size_t) { return false; });
}

// Packers that store the stream CRC clear the rest of the filler, and those
// that write records seal them: bytes there without a seal are damage (a
// hit on the seal's own tag), not an older file.
bool hasRecordBytes(const tail& t)
{
    uint32_t crc = 0;
    const unsigned char* bytes = trailerBytes(t);
    return storedStreamCrc(t, crc) &&
           std::any_of(bytes + trailerRecordsAt, bytes + fillerEnd, [](unsigned char b) { return b != 0; });
}

uint32_t sealOf(const tail& t, std::size_t payloadAt)
{
    unsigned char copy[tailSize];
    std::memcpy(copy, &t, tailSize);
    std::memset(copy + payloadAt, 0, sealSize);
    return static_cast<uint32_t>(crc32(0, copy, tailSize));
}

// A signed file: the trailer lies before the certificate table and the
// padding. The trailer itself may end with zero bytes (the high bytes of
// entryCount), so the padding is found by trying each length of zero bytes
// in front of the table, shortest first, for a recognised trailer.
uint16_t readTrailerBeforeCertificate(BinaryFile& file, const ImageLayout& layout, tail& t, int32_t& end)
{
    const int32_t tableAt = static_cast<int32_t>(layout.certificateOffset);
    const int32_t padding =
        static_cast<int32_t>(std::min<int64_t>(maxSigningPadding, layout.certificateOffset - layout.sectionsEnd));
    unsigned char window[tailSize + maxSigningPadding];
    const int32_t windowSize = tailSize + padding;
    seekFile(file, tableAt - windowSize);
    readBlock(file, window, windowSize);
    if (const uint16_t code = ioResult(); code != 0)
        return code;

    int32_t zeros = 0;
    while (zeros < padding && window[windowSize - 1 - zeros] == 0)
        ++zeros;
    for (int32_t pad = 0; pad <= zeros; ++pad) {
        std::memcpy(&t, window + windowSize - pad - tailSize, tailSize);
        if (isPackedTrailer(t)) {
            end = tableAt - pad;
            return 0;
        }
    }
    // No packed file (a signed bare stub): its bytes end before all the
    // padding, and t holds the last 520 of them.
    end = tableAt - zeros;
    return 0;
}

} // namespace

bool isPackedTrailer(const tail& t)
{
    return t.signature.view() == recognitionString;
}

uint16_t readTrailerFrom(BinaryFile& file, const ImageLayout& layout, tail& t, int32_t& end)
{
    if (endsWithCertificateTable(layout) && layout.certificateOffset >= tailSize + maxSigningPadding)
        return readTrailerBeforeCertificate(file, layout, t, end);
    const int32_t size = static_cast<int32_t>(layout.fileSize);
    // The trailer is reached by seeking: a start reads its 520 bytes, not
    // everything before them. A file shorter than a trailer reads short.
    seekFile(file, size < tailSize ? 0 : size - tailSize);
    readBlock(file, &t, tailSize);
    end = size;
    return ioResult();
}

uint16_t readTrailer(std::string_view path, tail& t, int32_t& end)
{
    BinaryFile file;
    assignFile(file, path);
    openFile(file, 1);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    ImageLayout layout;
    uint16_t code = readImageLayout(file, layout, true);
    if (code == 0)
        code = readTrailerFrom(file, layout, t, end);
    return closeFileAfter(file, code);
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

bool addTrailerRecord(tail& t, std::string_view tag, std::string_view payload)
{
    const std::size_t at = endOfRecords(t);
    if (tag.size() != trailerTagSize || tag[0] == 0 || payload.size() > 255 ||
        at + trailerTagSize + 1 + payload.size() > fillerEnd)
        return false;
    unsigned char* bytes = trailerBytes(t);
    std::memcpy(bytes + at, tag.data(), trailerTagSize);
    bytes[at + trailerTagSize] = static_cast<unsigned char>(payload.size());
    if (!payload.empty())  // an empty view may hold no pointer at all
        std::memcpy(bytes + at + trailerTagSize + 1, payload.data(), payload.size());
    return true;
}

bool findTrailerRecord(const tail& t, std::string_view tag, std::string_view& payload)
{
    const unsigned char* bytes = trailerBytes(t);
    bool found = false;
    walkRecords(t, [&](std::size_t at, std::size_t size) {
        if (std::memcmp(bytes + at, tag.data(), trailerTagSize) != 0)
            return false;
        payload = std::string_view(reinterpret_cast<const char*>(bytes + at + trailerTagSize + 1), size);
        found = true;
        return true;
    });
    return found;
}

void sealTrailer(tail& t)
{
    const std::size_t at = endOfRecords(t);
    const char zeros[sealSize] = {};
    if (!addTrailerRecord(t, sealTag, std::string_view(zeros, sealSize)))
        return;
    const std::size_t payloadAt = at + trailerTagSize + 1;
    storeLittleEndian32(trailerBytes(t) + payloadAt, sealOf(t, payloadAt));
}

TrailerSeal trailerSeal(const tail& t)
{
    std::string_view payload;
    if (!findTrailerRecord(t, sealTag, payload))
        return hasRecordBytes(t) ? TrailerSeal::broken : TrailerSeal::absent;
    if (payload.size() != sealSize)
        return TrailerSeal::broken;
    const std::size_t payloadAt = static_cast<std::size_t>(payload.data() - reinterpret_cast<const char*>(&t));
    const uint32_t stored = loadLittleEndian32(reinterpret_cast<const unsigned char*>(payload.data()));
    return stored == sealOf(t, payloadAt) ? TrailerSeal::intact : TrailerSeal::broken;
}
