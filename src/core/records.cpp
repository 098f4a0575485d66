// Recognising and reading the trailer at the end of a packed executable.
#include "core/records.h"

#include "core/transfer.h"
#include "runtime/failure.h"
#include "runtime/files.h"

namespace {

constexpr std::string_view crcMarker = "CRC1";
// The marker and the CRC-32 sit in the signature's filler, at trailer
// offsets 339 to 346.
constexpr std::size_t crcMarkerAt = recognitionString.size();
static_assert(crcMarkerAt + 8 <= sizeof(tail{}.signature.bytes));

} // namespace

bool isPackedTrailer(const tail& t)
{
    return t.signature.view() == recognitionString;
}

void readTrailer(std::string_view path, tail& t)
{
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
}

void storeStreamCrc(tail& t, uint32_t crc)
{
    char* at = t.signature.bytes + crcMarkerAt;
    std::memcpy(at, crcMarker.data(), crcMarker.size());
    for (int i = 0; i < 4; ++i)
        at[crcMarker.size() + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
}

bool storedStreamCrc(const tail& t, uint32_t& crc)
{
    const char* at = t.signature.bytes + crcMarkerAt;
    if (std::string_view(at, crcMarker.size()) != crcMarker)
        return false;
    crc = 0;
    for (int i = 0; i < 4; ++i)
        crc |= static_cast<uint32_t>(static_cast<unsigned char>(at[crcMarker.size() + i])) << (8 * i);
    return true;
}
