// The container records: one `header` per entry of the entry stream and the
// 520-byte `tail` at the very end of a packed executable. Integers are 32-bit
// little-endian; short-text fields are a length byte and a fixed capacity.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

template <std::size_t Capacity>
struct ShortField {
    uint8_t length;
    char bytes[Capacity];

    std::string_view view() const { return {bytes, length}; }
    // Writes the length byte and the text bytes only; the filler after them
    // keeps what it held.
    void assign(std::string_view s)
    {
        length = static_cast<uint8_t>(s.size() < Capacity ? s.size() : Capacity);
        std::memcpy(bytes, s.data(), length);
    }
};

#pragma pack(push, 1)
struct header {
    ShortField<1> kind;
    ShortField<255> text;
    uint8_t gap[2];
    int32_t dataLength;
};

struct tail {
    ShortField<255> stubName;
    int32_t gzLength;
    ShortField<255> signature;
    int32_t entryCount;
};
#pragma pack(pop)

static_assert(sizeof(header) == 264, "header record is 264 bytes");
static_assert(sizeof(tail) == 520, "tail record is 520 bytes");

constexpr int32_t headerSize = 264;
constexpr int32_t tailSize = 520;

constexpr std::string_view recognitionString =
    "ZOP: Dit is mijn herkennigsstring voor het herkennen van pakin of pakuit mode.";
static_assert(recognitionString.size() == 78);

// True when the trailer's signature equals the recognition string as a short
// text (length and bytes); the filler plays no part.
bool isPackedTrailer(const tail& t);

// Reads the trailer of the executable at path into t and returns where the
// container ends (the byte after the trailer), every step checked. That is
// the end of the file, unless the file was signed after it was written (a
// certificate table after its PE image ends the file): then it is where the
// table starts, less the zero bytes of padding that signing put before it
// (as many as leave a recognised trailer in front of them; for a file
// without one, all zero bytes after the image, up to 7).
int32_t readTrailer(std::string_view path, tail& t);

// The integrity check of the entry stream: the signature's filler, right
// after the recognition string, holds "CRC1" and the CRC-32 of the gzLength
// stored bytes, little-endian. Readers that do not know it never look there.
void storeStreamCrc(tail& t, uint32_t crc);
// True, with the stored CRC-32, when the trailer carries the marker; a
// trailer without it (older output, other writers) is read as before.
bool storedStreamCrc(const tail& t, uint32_t& crc);
